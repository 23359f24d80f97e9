// Output files written whole or not at all; see output.h.
#include "format/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace format {

namespace {

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// A stream buffer over a file descriptor that keeps the first write error.
class OutputFile::Buf : public std::streambuf {
  public:
    explicit Buf(int fd) : fd_(fd), data_(1 << 16) { setp(data_.data(), data_.data() + data_.size()); }
    int error() const { return err_; }
    bool flushAll() { return drain() && err_ == 0; }

  protected:
    int_type overflow(int_type c) override {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

  private:
    bool drain() {
        const char *p = pbase();
        size_t left = (size_t)(pptr() - pbase());
        while (left > 0 && err_ == 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) err_ = n < 0 ? errno : EIO;
            else {
                p += n;
                left -= (size_t)n;
            }
        }
        setp(data_.data(), data_.data() + data_.size());
        return err_ == 0;
    }

    int fd_;
    int err_ = 0;
    std::vector<char> data_;
};

std::string outputPathProblem(const std::string &path) {
    if (path == "-") return "";
    if (path.empty() || path.back() == '/') return "no file name";
    std::string dir = directoryOf(path);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) return "it is a directory";
        return "";  // a device or a pipe, written to as it is
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write in " + dir + ": " + strerror(errno);
    return "";
}

OutputFile::OutputFile(const std::string &path) : path_(path), out_(nullptr) {
    if (path == "-") {
        // What the C and C++ streams hold goes first.
        fflush(stdout);
        std::cout.flush();
        fd_ = STDOUT_FILENO;
    } else {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            // Renaming a file over a device would replace the device.
            fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd_ < 0) throw OutputError("cannot write " + path + ": " + strerror(errno));
        } else {
            std::string target = path;
            if (char *real = realpath(path.c_str(), nullptr)) {
                target = real;
                free(real);
            }
            tmp_ = target + ".XXXXXX";
            fd_ = mkostemp(&tmp_[0], O_CLOEXEC);
            if (fd_ < 0) {
                int err = errno;
                tmp_.clear();
                throw OutputError("cannot write " + path + ": " + strerror(err));
            }
            // mkstemp makes the file 0600; an output file is as readable as
            // any new file of the user's.
            mode_t mask = umask(0);
            umask(mask);
            fchmod(fd_, 0666 & ~mask);
            target_ = target;
        }
    }
    buf_.reset(new Buf(fd_));
    out_.rdbuf(buf_.get());
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    if (!tmp_.empty()) unlink(tmp_.c_str());
}

void OutputFile::commit() {
    std::string where = path_ == "-" ? "to standard output" : path_;
    bool ok = buf_->flushAll() && !out_.bad();
    int err = buf_->error() ? buf_->error() : EIO;
    // A new file's content reaches the disk before its name does: a crash
    // leaves the old file or the new one, never an empty one.
    if (ok && !tmp_.empty() && fsync(fd_) != 0) {
        ok = false;
        err = errno;
    }
    if (ok && fd_ != STDOUT_FILENO) {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            ok = false;
            err = errno;
        }
    }
    if (ok && !tmp_.empty()) {
        if (rename(tmp_.c_str(), target_.c_str()) != 0) {
            ok = false;
            err = errno;
        } else {
            tmp_.clear();
        }
    }
    if (!ok) {
        if (!tmp_.empty()) {
            unlink(tmp_.c_str());
            tmp_.clear();
        }
        throw OutputError("cannot write " + where + ": " + strerror(err));
    }
}

void writeOutput(const std::string &path, const std::string &bytes) {
    OutputFile f(path);
    f.stream().write(bytes.data(), (std::streamsize)bytes.size());
    f.commit();
}

}  // namespace format
