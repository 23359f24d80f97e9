// Archive files with libzstd: a streaming compressor and decompressor, so
// that neither side holds more than a buffer of the file.
#include "results/archive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "results/store.h"

namespace results {

namespace {

constexpr int kLevel = 6;  // about gzip -9's size at many times its speed

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ArchiveWriter::ArchiveWriter(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        if (errno == EEXIST) throw StoreError(path + " already exists: an archive never replaces a file");
        throw StoreError("cannot create " + path + ": " + strerror(errno));
    }
    cctx_ = ZSTD_createCCtx();
    if (!cctx_) fail("out of memory");
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1);
    out_.resize(ZSTD_CStreamOutSize());
}

ArchiveWriter::~ArchiveWriter() {
    ZSTD_freeCCtx(cctx_);
    if (fd_ >= 0) ::close(fd_);
    if (!done_) ::unlink(path_.c_str());
}

void ArchiveWriter::fail(const std::string &what) { throw StoreError("writing " + path_ + ": " + what); }

void ArchiveWriter::compress(ZSTD_EndDirective mode, const char *data, size_t size) {
    ZSTD_inBuffer in = {data, size, 0};
    for (;;) {
        ZSTD_outBuffer out = {&out_[0], out_.size(), 0};
        size_t left = ZSTD_compressStream2(cctx_, &out, &in, mode);
        if (ZSTD_isError(left)) fail(ZSTD_getErrorName(left));
        for (size_t at = 0; at < out.pos;) {
            ssize_t n = ::write(fd_, out_.data() + at, out.pos - at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(strerror(errno));
            at += (size_t)n;
        }
        bytes_ += (int64_t)out.pos;
        bool drained = mode == ZSTD_e_continue ? in.pos == in.size : left == 0;
        if (drained) return;
    }
}

void ArchiveWriter::line(const std::string &text) {
    compress(ZSTD_e_continue, text.data(), text.size());
    compress(ZSTD_e_continue, "\n", 1);
}

// The stream's end, the file's bytes and its name in the directory on disk.
void ArchiveWriter::finish() {
    compress(ZSTD_e_end, nullptr, 0);
    if (::fsync(fd_) != 0) fail(strerror(errno));
    if (::close(fd_) != 0) {
        fd_ = -1;
        fail(strerror(errno));
    }
    fd_ = -1;
    int dir = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    done_ = true;
}

ArchiveReader::ArchiveReader(const std::string &path) : path_(path) {
    f_ = fopen(path.c_str(), "rbe");
    if (!f_) throw StoreError("cannot read " + path + ": " + strerror(errno));
    dctx_ = ZSTD_createDCtx();
    if (!dctx_) fail("out of memory");
    in_.resize(ZSTD_DStreamInSize());
    out_.resize(ZSTD_DStreamOutSize());
}

ArchiveReader::~ArchiveReader() {
    ZSTD_freeDCtx(dctx_);
    if (f_) fclose(f_);
}

void ArchiveReader::fail(const std::string &what) {
    throw StoreError(path_ + " is not a complete rfprobe archive (zstd-compressed JSON lines): " + what);
}

bool ArchiveReader::fill() {
    if (inPos_ == inLen_ && !outputFull_) {
        size_t n = fread(&in_[0], 1, in_.size(), f_);
        if (n == 0) {
            if (ferror(f_)) fail(strerror(errno));
            if (!sawInput_) fail("the file is empty");
            if (lastRet_ != 0) fail("the file ends inside its compressed stream");
            return false;
        }
        sawInput_ = true;
        inLen_ = n;
        inPos_ = 0;
    }
    ZSTD_inBuffer in = {in_.data(), inLen_, inPos_};
    ZSTD_outBuffer o = {&out_[0], out_.size(), 0};
    lastRet_ = ZSTD_decompressStream(dctx_, &o, &in);
    if (ZSTD_isError(lastRet_)) fail(ZSTD_getErrorName(lastRet_));
    inPos_ = in.pos;
    outputFull_ = o.pos == o.size;
    pending_.append(out_.data(), o.pos);
    return true;
}

bool ArchiveReader::next(std::string *line) {
    for (;;) {
        size_t nl = pending_.find('\n', pendingPos_);
        if (nl != std::string::npos) {
            line->assign(pending_, pendingPos_, nl - pendingPos_);
            pendingPos_ = nl + 1;
            if (pendingPos_ > (1u << 20)) {
                pending_.erase(0, pendingPos_);
                pendingPos_ = 0;
            }
            lineNo_++;
            return true;
        }
        if (!fill()) {
            if (pendingPos_ < pending_.size()) fail("its last line has no end");
            return false;
        }
    }
}

}  // namespace results
