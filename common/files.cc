#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "failure.h"
#include "sink.h"

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

// An output written to a temporary file and put in place by commitOutputs:
// renamed over its final name, or, when staged (its directory takes no new
// file), copied into the existing file. The signal handler reads `dir`,
// `temp` and `active` only.
struct Pending {
    int dir = -1;             // the directory of the temporary file
    char temp[NAME_MAX + 1];  // its name there
    volatile sig_atomic_t active = 0;
    int finalDir = -1;  // the directory of the final name
    std::string base;   // the final name there
    const char* name;   // as given, for messages
    int target = -1;    // staged: the existing file, open for writing
};
constexpr int maxPending = 8;
Pending pending[maxPending];
volatile sig_atomic_t pendingCount = 0;

// Who may touch the temporary files: a signal handler removing them, or the
// commit putting them in place. The first to claim it keeps it.
enum : int { Idle, Discarding, Committing };
std::atomic<int> owner{Idle};
static_assert(std::atomic<int>::is_always_lock_free);

// Creates a file of a fresh name `prefix` + six characters in `dir`, with
// mode 0666 less what the umask or the directory's default ACL take away.
int createUnique(int dir, const std::string& prefix, char* name) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    uint64_t seed = static_cast<uint64_t>(t.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                    reinterpret_cast<uintptr_t>(name);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::memcpy(name, prefix.data(), prefix.size());
        for (size_t i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            name[prefix.size() + i] = letters[(seed >> 33) % (sizeof letters - 1)];
        }
        name[prefix.size() + 6] = '\0';
        const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The hidden temporary name's prefix: the final name's when it fits.
std::string temporaryPrefix(const std::string& base) {
    return base.size() + 8 <= NAME_MAX ? "." + base + "." : std::string(".kmt.");
}

int openDirectory(const char* path) {
    return ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The replaced file's owner (where we may set it), mode and access ACL.
void copyAttributes(int fd, const char* from, const struct stat& info) {
    if (info.st_uid != geteuid() || info.st_gid != getegid())
        if (fchown(fd, info.st_uid, info.st_gid) != 0) {
        }
    fchmod(fd, info.st_mode & 07777);
    char acl[4096];
    const ssize_t n = getxattr(from, "system.posix_acl_access", acl, sizeof acl);
    if (n > 0) fsetxattr(fd, "system.posix_acl_access", acl, static_cast<size_t>(n), 0);
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
    std::string dirName, base;
    splitPath(final, dirName, base);
    if (pendingCount == maxPending) fail("more than %d outputs in one run", maxPending);
    Pending& slot = pending[pendingCount];
    slot.finalDir = openDirectory(dirName.c_str());
    if (slot.finalDir < 0) return -1;
    slot.dir = slot.finalDir;
    slot.base = base;
    slot.name = path;
    slot.target = -1;
    // The slot is counted before the file exists, so that a signal from
    // now on removes it.
    slot.temp[0] = '\0';
    slot.active = 1;
    pendingCount = pendingCount + 1;
    int fd = createUnique(slot.dir, temporaryPrefix(base), slot.temp);
    if (fd < 0 && exists && (errno == EACCES || errno == EPERM)) {
        // The directory takes no new file: the output is staged in the
        // temporary directory and copied into the file at the end.
        const int target = ::open(path, O_WRONLY | O_CLOEXEC);
        const char* tmp = std::getenv("TMPDIR");
        slot.dir = target < 0 ? -1 : openDirectory(tmp && *tmp ? tmp : "/tmp");
        fd = slot.dir < 0 ? -1 : createUnique(slot.dir, ".kmt.", slot.temp);
        if (fd < 0) {
            const int err = errno;
            if (target >= 0) ::close(target);
            if (slot.dir >= 0) ::close(slot.dir);
            ::close(slot.finalDir);
            slot.active = 0;
            pendingCount = pendingCount - 1;
            if (target < 0) return -1;  // opening it in place says why
            fail("cannot create a temporary file for '%s' in '%s': %s", path,
                 tmp && *tmp ? tmp : "/tmp", std::strerror(err));
        }
        slot.target = target;
        return fd;
    }
    if (fd < 0) {
        const int err = errno;
        slot.active = 0;
        pendingCount = pendingCount - 1;
        ::close(slot.finalDir);
        if (err == EACCES || err == EPERM || err == EROFS) return -1;
        fail("cannot create a temporary file beside '%s': %s", path, std::strerror(err));
    }
    if (exists) copyAttributes(fd, final.c_str(), info);
    return fd;
}

void cleanupAndDie(int sig) {
    int expected = Idle;
    if (owner.compare_exchange_strong(expected, Discarding)) discardOutputs();
    // Otherwise the commit is under way (on another thread, as this one
    // did not block the signal): it ends the run by this signal when it
    // is done. The handler was reset to the default, so raising the signal
    // again ends the process once it is delivered.
    raise(sig);
}

// The caught signals, blocked during the commit.
const int cleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGXFSZ, SIGXCPU,
                              SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

enum class Step { None, Exchanged, Created, Renamed };

// Puts one output in place by a rename; returns how, or Step::None with
// errno set.
Step place(const Pending& slot) {
    const char* base = slot.base.c_str();
    if (renameat2(slot.dir, slot.temp, slot.finalDir, base, RENAME_EXCHANGE) == 0)
        return Step::Exchanged;
    if (errno == ENOENT || errno == EINVAL || errno == ENOSYS) {
        // No file there any more, or no renameat2 on this file system.
        const bool unsupported = errno != ENOENT;
        if (!unsupported &&
            renameat2(slot.dir, slot.temp, slot.finalDir, base, RENAME_NOREPLACE) == 0)
            return Step::Created;
        if (unsupported && renameat(slot.dir, slot.temp, slot.finalDir, base) == 0)
            return Step::Renamed;
    }
    return Step::None;
}

// Takes back a step of a commit that could not finish. Should that fail
// too, the temporary name holds the old contents of an exchanged file (or
// the new output): it is kept, never removed.
void undo(Step step, Pending& slot) {
    const char* base = slot.base.c_str();
    const bool undone = (step != Step::Exchanged || renameat2(slot.dir, slot.temp, slot.finalDir,
                                                              base, RENAME_EXCHANGE) == 0) &&
                        (step != Step::Created || renameat2(slot.finalDir, base, slot.dir,
                                                            slot.temp, RENAME_NOREPLACE) == 0);
    if (!undone) slot.active = 0;
}

// Copies a staged output into its file, emptied first.
int copyStaged(const Pending& slot) {
    const int in = openat(slot.dir, slot.temp, O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    int err = ftruncate(slot.target, 0) == 0 ? 0 : errno;
    char buffer[1 << 16];
    while (!err) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0)
            err = errno == EINTR ? 0 : errno;
        else
            err = writeAll(slot.target, buffer, static_cast<size_t>(got));
    }
    ::close(in);
    if (::close(slot.target) != 0 && !err && errno != EINTR) err = errno;
    return err;
}

}  // namespace

void noteStandardInputClosed() {
    standardInputWasClosed = true;
}

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
    if (isStandard(path)) {
        if (standardInputWasClosed) fail("cannot read '-': standard input is closed");
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
    if (count > maxPending) fail("more than %d outputs in one run", maxPending);
    // An existing file that this user may not write is refused, as a shell
    // redirect refuses it, before any output is made.
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (!isStandard(paths[i]) && stat(paths[i], &info) == 0 && S_ISREG(info.st_mode) &&
            faccessat(AT_FDCWD, paths[i], W_OK, AT_EACCESS) != 0 && errno == EACCES)
            fail("cannot write '%s': %s", paths[i], std::strerror(EACCES));
    }
    int i = 0;
    try {
        for (; i < count; ++i) {
            if (isStandard(paths[i])) {
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
            if (fds[i] < 0) fail("cannot open '%s': %s", paths[i], std::strerror(errno));
        }
    } catch (const Failure&) {
        for (int j = 0; j < i; ++j) {
            if (fds[j] == STDOUT_FILENO) continue;
            ::close(fds[j]);
            if (created[j]) ::unlink(paths[j]);
        }
        throw;
    }
    for (int j = 0; j < count; ++j) {
        struct stat info;
        if (inPlace[j] && fstat(fds[j], &info) == 0 && S_ISREG(info.st_mode) &&
            ftruncate(fds[j], 0) != 0)
            fail("cannot write '%s': %s", paths[j], std::strerror(errno));
    }
}

int createOutput(const char* path) {
    int fd;
    createOutputs(&path, &fd, 1);
    return fd;
}

void commitOutputs() {
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (const int sig : cleanupSignals) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    int expected = Idle;
    if (!owner.compare_exchange_strong(expected, Committing)) {
        // A handler on another thread is removing the files: the process
        // ends by its signal.
        for (;;) pause();
    }
    Step steps[maxPending] = {};
    int failedAt = -1, err = 0;
    for (int i = 0; i < pendingCount && failedAt < 0; ++i) {
        if (!pending[i].active || pending[i].target >= 0) continue;
        steps[i] = place(pending[i]);
        if (steps[i] == Step::None) failedAt = i, err = errno;
    }
    // Staged outputs last: a copy cannot be taken back.
    for (int i = 0; i < pendingCount && failedAt < 0; ++i) {
        if (!pending[i].active || pending[i].target < 0) continue;
        if ((err = copyStaged(pending[i])) != 0) failedAt = i;
        pending[i].target = -1;
    }
    if (failedAt >= 0) {
        for (int i = pendingCount - 1; i >= 0; --i) undo(steps[i], pending[i]);
    } else {
        // The temporary names now hold the old contents of the exchanged
        // files, and the copied staged outputs; a renamed or newly linked
        // output left none.
        for (int i = 0; i < pendingCount; ++i) {
            Pending& slot = pending[i];
            if (!slot.active) continue;
            if (steps[i] != Step::Created && steps[i] != Step::Renamed)
                unlinkat(slot.dir, slot.temp, 0);
            slot.active = 0;
        }
    }
    owner = Idle;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (failedAt >= 0) fail("cannot write '%s': %s", pending[failedAt].name, std::strerror(err));
}

void discardOutputs() {
    for (int i = 0; i < pendingCount; ++i) {
        if (pending[i].active) {
            if (pending[i].temp[0]) unlinkat(pending[i].dir, pending[i].temp, 0);
            pending[i].active = 0;
        }
    }
}

void installCleanupHandlers() {
    for (const int sig : cleanupSignals) {
        struct sigaction action, old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = cleanupAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int other : cleanupSignals) sigaddset(&action.sa_mask, other);
        sigaction(sig, &action, nullptr);
    }
}
