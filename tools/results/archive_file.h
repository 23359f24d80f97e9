// An archive file: records as JSON lines (one compact document a line, as
// toJson writes it), compressed as one zstd stream.  Internal to the
// results library (the store's archive and restore).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <zstd.h>

namespace results {

// What an archive holds, told by the store's digests of its records: how
// many, and a sum of a part of each (the store is checked against it
// again at the delete, so that a record that came meanwhile stays).
struct ArchiveTally {
    int64_t count = 0;
    uint64_t sum = 0;
    void add(const std::string &digest);
    bool operator==(const ArchiveTally &o) const { return count == o.count && sum == o.sum; }
};

// Writes a new archive file; never replaces one: open() refuses a path
// that exists.  finish() completes the stream and flushes it to disk;
// until then the file is incomplete, and a writer destroyed before
// finish() removes it.  Errors throw StoreError naming the file.
class ArchiveWriter {
  public:
    explicit ArchiveWriter(const std::string &path);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter &) = delete;
    ArchiveWriter &operator=(const ArchiveWriter &) = delete;

    void line(const std::string &text);  // text without its newline
    void finish();
    int64_t bytes() const { return bytes_; }  // compressed, written so far

  private:
    void compress(ZSTD_EndDirective mode, const char *data, size_t size);
    [[noreturn]] void fail(const std::string &what);

    std::string path_;
    int fd_ = -1;
    ZSTD_CCtx *cctx_ = nullptr;
    std::string out_;
    int64_t bytes_ = 0;
    bool done_ = false;
};

// Reads an archive's lines back.  A file that is not zstd, is cut short or
// fails its checksum throws StoreError naming the file.
class ArchiveReader {
  public:
    explicit ArchiveReader(const std::string &path);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    // The next line (without its newline); false at the end of the file.
    bool next(std::string *line);
    int64_t lineNumber() const { return lineNo_; }  // of the last line read, from 1

  private:
    bool fill();  // decompresses more into pending_; false at the end
    [[noreturn]] void fail(const std::string &what);

    std::string path_;
    FILE *f_ = nullptr;
    ZSTD_DCtx *dctx_ = nullptr;
    std::string in_, out_, pending_;
    size_t inLen_ = 0, inPos_ = 0, pendingPos_ = 0;
    size_t lastRet_ = 0;       // 0: the last frame was complete
    bool outputFull_ = false;  // the last call filled out_: more may come without input
    bool sawInput_ = false;
    int64_t lineNo_ = 0;
};

}  // namespace results
