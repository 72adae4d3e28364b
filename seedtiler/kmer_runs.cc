#include "kmer_runs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "failure.h"
#include "files.h"

namespace {

// The window of the runs' zstd streams: small, so that a reader of a run
// holds little (a merge reads many at once).
constexpr int windowLog = 17;
// The bytes of a run read from the file at a time, and decoded at a time
// (more when a record is larger).
constexpr size_t readSize = size_t{64} << 10;
constexpr size_t decodeSize = size_t{128} << 10;

}  // namespace

RunFile::~RunFile() {
    if (fd_ >= 0) ::close(fd_);
}

void RunFile::fail(const char* what, int err) const {
    ::fail("cannot %s a temporary file in '%s': %s", what, dir_.c_str(), std::strerror(err));
}

int RunFile::fd() {
    if (fd_ >= 0) return fd_;
    fd_ = openTemporaryFile(dir_.c_str());
    if (fd_ < 0) fail("create", errno);
    return fd_;
}

void RunFile::release(const Run& run) {
    // Where holes cannot be punched the space stays taken until the end.
    fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(run.offset),
              static_cast<off_t>(run.size));
}

RunWriter::RunWriter(RunFile& file, size_t size)
    : file_(file),
      size_(size),
      ctx_(ZSTD_createCCtx()),
      in_(std::max(decodeSize, size)),
      out_(ZSTD_CStreamOutSize()),
      start_(file.end()),
      at_(file.end()) {
    if (!ctx_) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, 1);
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_windowLog, windowLog);
    file_.fd();
}

RunWriter::~RunWriter() {
    ZSTD_freeCCtx(ctx_);
}

void RunWriter::flush(ZSTD_EndDirective mode) {
    ZSTD_inBuffer input{in_.data(), used_, 0};
    for (;;) {
        ZSTD_outBuffer output{out_.data(), out_.size(), 0};
        const size_t left = ZSTD_compressStream2(ctx_, &output, &input, mode);
        if (ZSTD_isError(left)) file_.fail("write", ENOMEM);
        for (size_t done = 0; done < output.pos;) {
            const ssize_t n = ::pwrite(file_.fd(), out_.data() + done, output.pos - done,
                                       static_cast<off_t>(at_));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) file_.fail("write", errno);
            done += static_cast<size_t>(n), at_ += static_cast<uint64_t>(n);
        }
        if (mode == ZSTD_e_end ? left == 0 : input.pos == input.size) break;
    }
    used_ = 0;
}

RunFile::Run RunWriter::finish(int level) {
    flush(ZSTD_e_end);
    file_.end() = at_;
    return {start_, at_ - start_, records_, level};
}

RunReader::RunReader(RunFile& file, const RunFile::Run& run, size_t size)
    : file_(file),
      run_(run),
      size_(size),
      ctx_(ZSTD_createDCtx()),
      in_(readSize),
      out_(std::max(decodeSize, 2 * size)) {
    if (!ctx_) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(ctx_, ZSTD_d_windowLogMax, windowLog);
    refill();
}

RunReader::~RunReader() {
    ZSTD_freeDCtx(ctx_);
}

void RunReader::refill() {
    // What is left of a record, then as much as decodes into the buffer.
    const size_t left = end_ - at_;
    std::memmove(out_.data(), out_.data() + at_, left);
    at_ = 0, end_ = left;
    while (end_ < out_.size()) {
        if (input_.pos == input_.size && read_ < run_.size) {
            if (end_ >= size_) break;  // a record at hand: the rest later
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(in_.size(), run_.size - read_));
            const ssize_t got =
                ::pread(file_.fd(), in_.data(), want, static_cast<off_t>(run_.offset + read_));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) file_.fail("read", got < 0 ? errno : EIO);
            read_ += static_cast<uint64_t>(got);
            input_ = {in_.data(), static_cast<size_t>(got), 0};
        }
        ZSTD_outBuffer output{out_.data() + end_, out_.size() - end_, 0};
        const size_t r = ZSTD_decompressStream(ctx_, &output, &input_);
        if (ZSTD_isError(r)) file_.fail("read", EIO);
        end_ += output.pos;
        if (output.pos == 0 && input_.pos == input_.size && (read_ == run_.size || end_ >= size_))
            break;
    }
    if (end_ % size_ != 0 && read_ == run_.size && input_.pos == input_.size && end_ < size_)
        file_.fail("read", EIO);  // a record cut short
}
