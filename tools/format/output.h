// The one writer of output files (reports, exports): FILE appears whole or
// not at all.  Output goes to a new temporary file beside FILE (beside the
// file a link points to: the link stays), renamed over it once complete; a
// failure removes it and leaves an existing FILE as it was.  Each writer
// has a temporary file of its own, so two runs at once do not collide.
// "-" is standard output; a path that names a device or a pipe
// (/dev/null, /dev/stdout, a FIFO) is written to directly, never replaced.
#pragma once

#include <ostream>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace format {

// The output cannot be written.  what() is a complete message.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why path can never take a file (no file name, a directory that is not
// there or not writable), or "" when it may.  For checking an option
// before any work is done.
std::string outputPathProblem(const std::string &path);

class OutputFile {
  public:
    // Opens the output: the temporary file, the device, or standard
    // output.  Throws OutputError.
    explicit OutputFile(const std::string &path);
    // Without commit(): the temporary file is removed.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    std::ostream &stream() { return out_; }
    // Writes what is buffered and puts the file in place.  Throws
    // OutputError (and the temporary file is removed).
    void commit();

  private:
    class Buf;
    std::string path_, target_, tmp_;  // as given; the file renamed over; the temporary file
    int fd_ = -1;
    std::unique_ptr<Buf> buf_;
    std::ostream out_;
};

// bytes as the whole of path's content.  Throws OutputError.
void writeOutput(const std::string &path, const std::string &bytes);

}  // namespace format
