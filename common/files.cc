#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "failure.h"
#include "output_set.h"

namespace {

bool standardInputWasClosed = false;

// What makes two names the same file: an existing regular file is its
// device and inode; a name that does not exist yet is its directory's
// device and inode and its last component.
struct Identity {
    bool compared = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;
    bool operator==(const Identity& o) const {
        return compared && o.compared && dev == o.dev && ino == o.ino && name == o.name;
    }
};

bool isStandard(const char* path) {
    return std::strcmp(path, "-") == 0;
}

Identity identify(const char* path) {
    Identity id;
    if (isStandard(path)) return id;
    struct stat info;
    if (stat(path, &info) == 0) {
        if (S_ISREG(info.st_mode)) id = {true, info.st_dev, info.st_ino, {}};
        return id;
    }
    if (errno != ENOENT) return id;
    std::string dir, base;
    splitPath(path, dir, base);
    if (stat(dir.c_str(), &info) == 0) id = {true, info.st_dev, info.st_ino, base};
    return id;
}

// A standard stream is compared only when it is a regular file.
Identity identifyStream(int fd) {
    Identity id;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) id = {true, info.st_dev, info.st_ino, {}};
    return id;
}

}  // namespace

void splitPath(const std::string& path, std::string& dir, std::string& base) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir.assign(1, '.');
        base = path;
    } else {
        dir.assign(path, 0, slash == 0 ? 1 : slash);
        base.assign(path, slash + 1);
    }
}

void noteStandardInputClosed() {
    standardInputWasClosed = true;
}

void checkDistinct(const char* const* inputs, size_t inputCount, const char* const* outputs,
                   size_t outputCount) {
    for (size_t j = 0; j < outputCount; ++j)
        if (!*outputs[j]) failUsage("invalid output file name: ''");
    for (size_t j = 0; j < outputCount; ++j) {
        const Identity out = identify(outputs[j]);
        if (!out.compared) continue;
        for (size_t i = 0; i < inputCount; ++i)
            if (identify(inputs[i]) == out)
                failUsage("'%s' is both an input and an output", outputs[j]);
        for (size_t k = 0; k < j; ++k)
            if (identify(outputs[k]) == out)
                failUsage("'%s' is given for both outputs", outputs[j]);
    }
    // A standard stream that the shell points at a named file of the run.
    bool readsIn = false, writesOut = false;
    for (size_t i = 0; i < inputCount; ++i) readsIn = readsIn || isStandard(inputs[i]);
    for (size_t j = 0; j < outputCount; ++j) writesOut = writesOut || isStandard(outputs[j]);
    const Identity in = readsIn ? identifyStream(STDIN_FILENO) : Identity{};
    const Identity out = writesOut ? identifyStream(STDOUT_FILENO) : Identity{};
    if (in.compared && in == out) failUsage("standard input is standard output");
    for (size_t j = 0; j < outputCount; ++j)
        if (in.compared && identify(outputs[j]) == in)
            failUsage("standard input is the output '%s'", outputs[j]);
    for (size_t i = 0; i < inputCount; ++i)
        if (out.compared && identify(inputs[i]) == out)
            failUsage("standard output is the input '%s'", inputs[i]);
    for (size_t j = 0; j < outputCount; ++j)
        if (out.compared && identify(outputs[j]) == out)
            failUsage("standard output is the output '%s'", outputs[j]);
}

int openInput(const char* path) {
    int fd = STDIN_FILENO;
    if (isStandard(path)) {
        if (standardInputWasClosed) fail("cannot read '-': standard input is closed");
    } else {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("cannot open '%s': %s", path, std::strerror(errno));
        struct stat info;
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
            fail("cannot open '%s': %s", path, std::strerror(EISDIR));
    }
    if (OutputSet* outputs = OutputSet::current()) outputs->noteInput(fd);
    return fd;
}

const char* temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

int openTemporaryFile(const char* dir) {
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        std::string name = std::string(dir) + "/.kmt-temp.XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        ::unlink(name.c_str());
    }
    return fd;
}
