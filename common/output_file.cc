#include "output_file.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "failure.h"
#include "output_set.h"
#include "task_pool.h"

OutputFile::OutputFile(int fd, const char* name, size_t capacity, const char* path,
                       const OutputOptions& options)
    : fd_(fd),
      standard_(fd == STDOUT_FILENO && (!path || std::strcmp(path, "-") == 0)),
      name_(name),
      sink_(openSink(fd, path ? path : "", options.threads ? *options.threads : RunThreads::none(),
                     options.level)),
      buf_(static_cast<char*>(std::malloc(capacity))),
      cap_(capacity) {
    if (!buf_) fail("cannot write '%s': %s", name_, std::strerror(ENOMEM));
}

OutputFile::OutputFile(Output& output, size_t capacity, const OutputOptions& options)
    : OutputFile(std::exchange(output.fd, -1), outputName(output.path), capacity, output.path,
                 options) {
    stagedIn_ = output.stagedIn;
}

void OutputFile::failWrite(int err) {
    if (err == EPIPE && standard_) {
        // The reader of standard output has gone, as when piped into
        // head: end as other filters do, killed by SIGPIPE, no message.
        throw Failure{exitFailure, {}, SIGPIPE};
    }
    // A staged output's bytes go to the temporary directory first: a full
    // disk there is that directory's.
    if (!stagedIn_.empty())
        fail("cannot write '%s' (staged in '%s'): %s", name_, stagedIn_.c_str(),
             std::strerror(err));
    fail("cannot write '%s': %s", name_, std::strerror(err));
}

OutputFile::~OutputFile() {
    std::free(buf_);
}

void OutputFile::write(const char* data, size_t n) {
    if (cap_ - used_ >= n) {
        std::memcpy(buf_ + used_, data, n);
        used_ += n;
        return;
    }
    flush();
    if (n >= cap_) {
        if (int err = sink_->write(data, n)) failWrite(err);
        return;
    }
    std::memcpy(buf_, data, n);
    used_ = n;
}

void OutputFile::flush() {
    if (used_ == 0) return;
    if (int err = sink_->write(buf_, used_)) failWrite(err);
    used_ = 0;
}

void OutputFile::close() {
    flush();
    if (int err = sink_->finish()) failWrite(err);
    if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR) failWrite(errno);
    fd_ = -1;
}

void writeWhole(Output& output, std::string_view text, const OutputOptions& options) {
    OutputFile out(output, size_t{64} << 10, options);
    out.write(text.data(), text.size());
    out.close();
}
