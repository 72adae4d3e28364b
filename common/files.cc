#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool.h"

namespace {

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

// Splits a path into its directory and its last component.
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

Identity identify(const char* path) {
    Identity id;
    if (std::strcmp(path, "-") == 0) return id;
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

// An output being written to a temporary file. The signal handler reads
// `temp` and `active` only.
struct Pending {
    char temp[PATH_MAX + 16];
    std::string final;  // the name renamed over
    const char* name;   // as given, for messages
    volatile sig_atomic_t active;
};
constexpr int maxPending = 8;
Pending pending[maxPending];
volatile sig_atomic_t pendingCount = 0;

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Opens a temporary file for the output `path`, or returns -1 when the
// output is to be written in place.
int openTemporary(const char* path) {
    struct stat info, link;
    const bool exists = stat(path, &info) == 0;
    if (exists && (!S_ISREG(info.st_mode) || info.st_nlink > 1)) return -1;
    if (!exists && (errno != ENOENT || lstat(path, &link) == 0)) return -1;  // a dangling link
    std::string final = path;
    if (exists && lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        char* target = realpath(path, nullptr);
        if (!target) return -1;
        final = target;
        std::free(target);
    }
    std::string dir, base;
    splitPath(final, dir, base);
    std::string temp = dir;
    temp.append("/.").append(base).append(".XXXXXX");
    if (pendingCount == maxPending || temp.size() >= sizeof pending[0].temp) return -1;
    Pending& slot = pending[pendingCount];
    std::memcpy(slot.temp, temp.c_str(), temp.size() + 1);
    slot.final = final;
    slot.name = path;
    slot.active = 1;
    pendingCount = pendingCount + 1;
    const int fd = mkostemp(slot.temp, O_CLOEXEC);
    if (fd < 0) {
        slot.active = 0;
        pendingCount = pendingCount - 1;
        return -1;
    }
    if (exists) {
        // The owner is kept where we may set it; otherwise the file is ours.
        if ((info.st_uid != geteuid() || info.st_gid != getegid()) &&
            fchown(fd, info.st_uid, info.st_gid) != 0) {
        }
        fchmod(fd, info.st_mode & 07777);
    } else {
        fchmod(fd, 0666 & ~currentUmask());
    }
    return fd;
}

void cleanupAndDie(int sig) {
    discardOutputs();
    // The handler was reset to the default: the signal ends the process
    // once this handler returns.
    raise(sig);
}

}  // namespace

void checkDistinct(const char* const* inputs, size_t inputCount, const char* const* outputs,
                   size_t outputCount) {
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
}

int openInput(const char* path) {
    if (std::strcmp(path, "-") == 0) {
        if (standardInputClosed()) fail("cannot read '-': standard input is closed");
        return STDIN_FILENO;
    }
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open '%s': %s", path, std::strerror(errno));
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        fail("cannot open '%s': %s", path, std::strerror(EISDIR));
    return fd;
}

void createOutputs(const char* const* paths, int* fds, int count) {
    bool created[maxPending] = {}, inPlace[maxPending] = {};
    if (count > maxPending) std::abort();
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(paths[i], "-") == 0) {
            fds[i] = STDOUT_FILENO;
            continue;
        }
        fds[i] = openTemporary(paths[i]);
        if (fds[i] >= 0) continue;
        // In place: opened without truncating first, so that nothing
        // changes until every file is known to be writable.
        inPlace[i] = true;
        fds[i] = ::open(paths[i], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created[i] = fds[i] >= 0;
        if (fds[i] < 0 && errno == EEXIST) fds[i] = ::open(paths[i], O_WRONLY | O_CLOEXEC);
        if (fds[i] < 0) {
            const int err = errno;
            for (int j = 0; j < i; ++j) {
                if (fds[j] == STDOUT_FILENO) continue;
                ::close(fds[j]);
                if (created[j]) ::unlink(paths[j]);
            }
            fail("cannot open '%s': %s", paths[i], std::strerror(err));
        }
    }
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (inPlace[i] && fstat(fds[i], &info) == 0 && S_ISREG(info.st_mode) &&
            ftruncate(fds[i], 0) != 0)
            fail("cannot write '%s': %s", paths[i], std::strerror(errno));
    }
}

int createOutput(const char* path) {
    int fd;
    createOutputs(&path, &fd, 1);
    return fd;
}

void commitOutputs() {
    for (int i = 0; i < pendingCount; ++i) {
        Pending& slot = pending[i];
        if (!slot.active) continue;
        if (rename(slot.temp, slot.final.c_str()) != 0)
            fail("cannot write '%s': %s", slot.name, std::strerror(errno));
        slot.active = 0;
    }
}

void discardOutputs() {
    for (int i = 0; i < pendingCount; ++i) {
        if (pending[i].active) {
            unlink(pending[i].temp);
            pending[i].active = 0;
        }
    }
}

void installCleanupHandlers() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action, old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = cleanupAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}
