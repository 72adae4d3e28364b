#include "output_set.h"

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
#include <memory>
#include <string>

#include "failure.h"
#include "files.h"
#include "sink.h"
#include "task_pool.h"

namespace {

bool isStandard(const char* path) {
    return std::strcmp(path, "-") == 0;
}

// Who may touch the temporary files: a signal handler removing them, or the
// commit putting them in place. The first to claim it keeps it.
enum : int { Idle, Discarding, Committing };
std::atomic<int> owner{Idle};
static_assert(std::atomic<int>::is_always_lock_free);

// The run's outputs, for the signal handlers.
std::atomic<OutputSet*> currentOutputs{nullptr};

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

// The name a path stands for once its symbolic links are followed, whether
// or not the last target exists (a shell redirect creates it); empty when
// the links loop.
std::string followLinks(const char* path) {
    std::string name = path;
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
        if (n < 0) return name;  // not a link (or no such name)
        const std::string link(target, static_cast<size_t>(n));
        const size_t slash = name.rfind('/');
        name =
            link[0] == '/' || slash == std::string::npos ? link : name.substr(0, slash + 1) + link;
    }
    return {};
}


}  // namespace

// An output written to a temporary file and put in place by the commit:
// renamed over its final name, or, when staged (its directory takes no new
// file), copied into the existing file. Made whole before it is linked into
// the set, and freed only with the set, so that the signal handler may walk
// the list at any time; it reads `dir`, `temp`, `active` and `next` only.
struct OutputSet::Pending {
    int dir = -1;             // the directory of the temporary file
    char temp[NAME_MAX + 1];  // its name there, "" until it exists
    std::atomic<int> active{0};
    std::atomic<Pending*> next{nullptr};
    int finalDir = -1;  // the directory of the final name
    std::string base;   // the final name there
    const char* name;   // as given, for messages
    int target = -1;    // staged: the existing file, open for writing
};

namespace {

// Opens a temporary file for the output `path` as `slot` describes it, or
// returns -1 when the output is to be written in place. Sets *staged to
// the directory of a staged output.
int openTemporary(const char* path, OutputSet::Pending& slot, std::string* staged) {
    const std::string final = followLinks(path);
    if (final.empty()) return -1;  // a loop of links: opening it says so
    struct stat info;
    const bool exists = stat(final.c_str(), &info) == 0;
    if (exists && (!S_ISREG(info.st_mode) || info.st_nlink > 1)) return -1;
    if (!exists && errno != ENOENT) return -1;
    std::string dirName, base;
    splitPath(final, dirName, base);
    slot.finalDir = openDirectory(dirName.c_str());
    if (slot.finalDir < 0) return -1;
    slot.dir = slot.finalDir;
    slot.base = base;
    slot.name = path;
    slot.temp[0] = '\0';
    int fd = createUnique(slot.dir, temporaryPrefix(base), slot.temp);
    if (fd < 0 && exists && (errno == EACCES || errno == EPERM)) {
        // The directory takes no new file: the output is staged in the
        // temporary directory and copied into the file at the end.
        const int target = ::open(path, O_WRONLY | O_CLOEXEC);
        const char* tmp = temporaryDirectory();
        slot.dir = target < 0 ? -1 : openDirectory(tmp);
        fd = slot.dir < 0 ? -1 : createUnique(slot.dir, ".kmt.", slot.temp);
        if (fd < 0) {
            const int err = errno;
            if (target >= 0) ::close(target);
            if (slot.dir >= 0) ::close(slot.dir);
            ::close(slot.finalDir);
            if (target < 0) return -1;  // opening it in place says why
            fail("cannot create a temporary file for '%s' in '%s': %s", path, tmp,
                 std::strerror(err));
        }
        slot.target = target;
        *staged = tmp;
        return fd;
    }
    if (fd < 0) {
        const int err = errno;
        ::close(slot.finalDir);
        if (err == EACCES || err == EPERM || err == EROFS) return -1;
        fail("cannot create a temporary file beside '%s': %s", path, std::strerror(err));
    }
    if (exists) copyAttributes(fd, final.c_str(), info);
    return fd;
}

void cleanupAndDie(int sig) {
    int expected = Idle;
    if (owner.compare_exchange_strong(expected, Discarding))
        if (OutputSet* outputs = currentOutputs.load()) outputs->discard();
    // Otherwise the commit is under way: it ends the run by this signal
    // when it is done. The handler was reset to the default, so raising
    // the signal again ends the process once it is delivered.
    raise(sig);
}

// The caught signals, blocked during the commit and in every thread but
// the main one.
const int cleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGXFSZ, SIGXCPU,
                              SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGABRT};

sigset_t cleanupSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : cleanupSignals) sigaddset(&set, sig);
    return set;
}

enum class Step { None, Exchanged, Created, Renamed };

// Puts one output in place by a rename; returns how, or Step::None with
// errno set. A name that became a directory is refused, as a shell
// redirect refuses one.
Step place(const OutputSet::Pending& slot) {
    const char* base = slot.base.c_str();
    struct stat info;
    if (fstatat(slot.finalDir, base, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return Step::None;
    }
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
void undo(Step step, OutputSet::Pending& slot) {
    const char* base = slot.base.c_str();
    const bool undone = (step != Step::Exchanged || renameat2(slot.dir, slot.temp, slot.finalDir,
                                                              base, RENAME_EXCHANGE) == 0) &&
                        (step != Step::Created || renameat2(slot.finalDir, base, slot.dir,
                                                            slot.temp, RENAME_NOREPLACE) == 0);
    if (!undone) slot.active = 0;
}

// Copies a staged output into its file, emptied first.
int copyStaged(const OutputSet::Pending& slot) {
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
CleanupSignalsBlocked::CleanupSignalsBlocked() {
    const sigset_t set = cleanupSet();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

OutputSet::OutputSet() {
    currentOutputs = this;
}

OutputSet::~OutputSet() {
    {
        const CleanupSignalsBlocked blocked;
        discard();
        if (currentOutputs == this) currentOutputs = nullptr;
    }
    for (Pending* p = first_.load(); p;) {
        Pending* next = p->next.load();
        if (p->dir >= 0 && p->dir != p->finalDir) ::close(p->dir);
        if (p->finalDir >= 0) ::close(p->finalDir);
        if (p->target >= 0) ::close(p->target);
        delete p;
        p = next;
    }
    for (Output& o : outputs_)
        if (o.fd >= 0 && o.fd != STDOUT_FILENO) ::close(o.fd);
}

OutputSet* OutputSet::current() {
    return currentOutputs.load();
}

void OutputSet::noteInput(int fd) {
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        inputs_.emplace_back(info.st_dev, info.st_ino);
}

void OutputSet::failIfInput(const char* path, const struct stat& target) const {
    if (!S_ISREG(target.st_mode)) return;
    for (const auto& [dev, ino] : inputs_)
        if (target.st_dev == dev && target.st_ino == ino)
            fail("'%s' is both an input and an output", path);
}

std::vector<Output*> OutputSet::create(const std::vector<const char*>& paths) {
    const size_t count = paths.size();
    // An existing file that this user may not write is refused, as a shell
    // redirect refuses it, before any output is made; so is an input.
    for (const char* path : paths) {
        struct stat info;
        if (isStandard(path) || stat(path, &info) != 0) continue;
        failIfInput(path, info);
        if (S_ISREG(info.st_mode) && faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 &&
            errno == EACCES)
            fail("cannot write '%s': %s", path, std::strerror(EACCES));
    }
    std::vector<Output*> made;
    std::vector<bool> created(count), inPlace(count);
    const size_t before = outputs_.size();
    try {
        for (size_t i = 0; i < count; ++i) {
            Output& out = outputs_.emplace_back(Output{paths[i]});
            made.push_back(&out);
            if (isStandard(paths[i])) {
                out.fd = STDOUT_FILENO;
                continue;
            }
            auto slot = std::make_unique<Pending>();
            // The slot is linked before the file exists, so that a signal
            // from now on removes it.
            slot->active = 1;
            Pending* node = slot.get();
            (last_ ? last_->next : first_).store(slot.release());
            last_ = node;
            out.fd = openTemporary(paths[i], *node, &out.stagedIn);
            if (out.fd >= 0) continue;
            node->active = 0;
            // In place: opened without truncating first, so that nothing
            // changes until every file is known to be writable.
            inPlace[i] = true;
            out.fd = ::open(paths[i], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            created[i] = out.fd >= 0;
            if (out.fd < 0 && errno == EEXIST) out.fd = ::open(paths[i], O_WRONLY | O_CLOEXEC);
            if (out.fd < 0) fail("cannot open '%s': %s", paths[i], std::strerror(errno));
            struct stat info;
            if (fstat(out.fd, &info) == 0) failIfInput(paths[i], info);
        }
    } catch (const Failure&) {
        for (size_t j = 0; j < made.size(); ++j) {
            Output& out = *made[j];
            if (out.fd < 0 || out.fd == STDOUT_FILENO) continue;
            ::close(out.fd);
            out.fd = -1;
            if (created[j]) ::unlink(paths[j]);
        }
        discard();
        outputs_.resize(before);
        throw;
    }
    for (size_t j = 0; j < count; ++j) {
        struct stat info;
        if (inPlace[j] && fstat(made[j]->fd, &info) == 0 && S_ISREG(info.st_mode) &&
            ftruncate(made[j]->fd, 0) != 0)
            fail("cannot write '%s': %s", paths[j], std::strerror(errno));
    }
    return made;
}

void OutputSet::commit() {
    const CleanupSignalsBlocked blocked;
    int expected = Idle;
    if (!owner.compare_exchange_strong(expected, Committing)) {
        // A handler is removing the files: the process ends by its signal.
        for (;;) pause();
    }
    struct Release {
        ~Release() { owner = Idle; }
    } release;
    std::vector<Pending*> slots;
    for (Pending* p = first_.load(); p; p = p->next.load())
        if (p->active) slots.push_back(p);
    // A name that became a link to an input, or the input itself, fails
    // the run before anything is changed.
    for (Pending* p : slots) {
        struct stat info;
        if (p->target < 0 && fstatat(p->finalDir, p->base.c_str(), &info, 0) == 0)
            failIfInput(p->name, info);
    }
    std::vector<Step> steps(slots.size(), Step::None);
    size_t failedAt = slots.size();
    int err = 0;
    const auto undoAll = [&] {
        for (size_t i = slots.size(); i-- > 0;) undo(steps[i], *slots[i]);
    };
    for (size_t i = 0; i < slots.size() && failedAt == slots.size(); ++i) {
        if (slots[i]->target >= 0) continue;
        steps[i] = place(*slots[i]);
        if (steps[i] == Step::None) failedAt = i, err = errno;
    }
    // The temporary names now hold the old contents of the exchanged files.
    // One that holds a directory took the output's name meanwhile: all is
    // taken back, the directory and its contents as they were.
    for (size_t i = 0; i < slots.size() && failedAt == slots.size(); ++i) {
        struct stat info;
        if (steps[i] == Step::Exchanged &&
            fstatat(slots[i]->dir, slots[i]->temp, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode))
            failedAt = i, err = EISDIR;
    }
    if (failedAt < slots.size()) {
        undoAll();
        fail("cannot write '%s': %s", slots[failedAt]->name, std::strerror(err));
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        Pending& slot = *slots[i];
        if (steps[i] != Step::Exchanged) continue;
        slot.active = 0;
        if (unlinkat(slot.dir, slot.temp, 0) != 0)
            fail("cannot remove '%s', the old contents of '%s': %s", slot.temp, slot.name,
                 std::strerror(errno));
    }
    // Staged outputs last: a copy cannot be taken back.
    for (size_t i = 0; i < slots.size(); ++i) {
        Pending& slot = *slots[i];
        if (slot.target < 0) continue;
        err = copyStaged(slot);
        slot.target = -1;
        unlinkat(slot.dir, slot.temp, 0);
        slot.active = 0;
        if (err) fail("cannot write '%s': %s", slot.name, std::strerror(err));
    }
    for (Pending* p : slots) p->active = 0;
}

void OutputSet::discard() {
    for (Pending* p = first_.load(); p; p = p->next.load()) {
        if (p->active) {
            if (p->temp[0]) unlinkat(p->dir, p->temp, 0);
            p->active = 0;
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
        action.sa_mask = cleanupSet();
        sigaction(sig, &action, nullptr);
    }
}
