// Loaded with LD_PRELOAD into a tool under test, to make the steps that
// put outputs in place fail on demand:
//   KMT_FAIL_RENAME=NAME  renameat2 onto NAME fails with EPERM
//   KMT_FAIL_CREATE=N     creating a hidden (".*") file fails with errno N
//   KMT_FAIL_UNLINKED_WRITE=N  writing to a file that has no name (a
//                         temporary run) fails with errno N, as on a full disk
//   KMT_FAIL_THREADS=1    no thread can be started (as under ulimit -u)
//   KMT_CHANGE_INPUT      see below
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath,
                         unsigned flags) {
    const char* name = std::getenv("KMT_FAIL_RENAME");
    if (name && std::strcmp(name, newPath) == 0) {
        errno = EPERM;
        return -1;
    }
    using Real = int (*)(int, const char*, int, const char*, unsigned);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat2"));
    return real(oldDir, oldPath, newDir, newPath, flags);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    if (std::getenv("KMT_FAIL_THREADS")) return EAGAIN;
    using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    return real(thread, attr, start, arg);
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned));
        va_end(args);
    }
    const char* err = std::getenv("KMT_FAIL_CREATE");
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    if (err && (flags & O_CREAT) && base[0] == '.') {
        errno = std::atoi(err);
        return -1;
    }
    using Real = int (*)(int, const char*, int, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "openat"));
    return real(dir, path, flags, mode);
}

// Whether a write to fd fails as KMT_FAIL_UNLINKED_WRITE says.
static bool failUnlinked(int fd) {
    const char* err = std::getenv("KMT_FAIL_UNLINKED_WRITE");
    struct stat info;
    if (!err || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 0) return false;
    errno = std::atoi(err);
    return true;
}

extern "C" ssize_t write(int fd, const void* data, size_t n) {
    if (failUnlinked(fd)) return -1;
    using Real = ssize_t (*)(int, const void*, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    return real(fd, data, n);
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t n, off_t at) {
    if (failUnlinked(fd)) return -1;
    using Real = ssize_t (*)(int, const void*, size_t, off_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pwrite64"));
    return real(fd, data, n, at);
}

extern "C" ssize_t pwrite(int fd, const void* data, size_t n, off_t at) {
    return pwrite64(fd, data, n, at);
}

// KMT_CHANGE_INPUT=FILE:N:ACTION[@read] changes the file FILE when it is
// opened for the N-th time (a file of that base name), just before it is
// opened, or with "@read" at the first read of that opening: "append" adds
// a record, "truncate" cuts it to half, "rewrite" changes a digit of its
// last line, "link=NAME" makes NAME a symbolic link to it, "hardlink=NAME"
// a hard link, "dir=NAME" puts a directory (holding a file) in NAME's
// place. It then creates FILE.changed, so that a test knows it came.
namespace {

using OpenFn = int (*)(const char*, int, ...);
OpenFn realOpen() {
    static OpenFn real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    return real;
}

int changeOpens = 0;
int changeFd = -1;  // the opening whose first read changes the file
char changePath[4096];

// The name an action such as "link=NAME@read" gives: after '=', up to '@'.
std::string named(const char* action) {
    const std::string name(std::strchr(action, '=') + 1);
    return name.substr(0, name.find('@'));
}

void changeFile() {
    const char* request = std::getenv("KMT_CHANGE_INPUT");
    const char* action = std::strchr(std::strchr(request, ':') + 1, ':') + 1;
    const int fd = realOpen()(changePath, O_RDWR);
    struct stat info;
    fstat(fd, &info);
    const off_t size = info.st_size;
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    static WriteFn realWrite = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
    if (std::strncmp(action, "append", 6) == 0) {
        lseek(fd, 0, SEEK_END);
        const char record[] = "KAPPENDED 1 2 1e-300\n";
        if (realWrite(fd, record, sizeof record - 1) < 0) std::abort();
    } else if (std::strncmp(action, "truncate", 8) == 0) {
        if (ftruncate(fd, size / 2) != 0) std::abort();
    } else if (std::strncmp(action, "rewrite", 7) == 0) {
        char c;
        for (off_t at = size - 2; at > 0; --at)  // the last digit of the last line
            if (pread(fd, &c, 1, at) == 1 && c >= '0' && c <= '9') {
                c = c == '9' ? '8' : static_cast<char>(c + 1);
                if (pwrite(fd, &c, 1, at) != 1) std::abort();
                break;
            }
    } else if (std::strncmp(action, "link=", 5) == 0) {
        if (symlink(changePath, named(action).c_str()) != 0) std::abort();
    } else if (std::strncmp(action, "hardlink=", 9) == 0) {
        if (link(changePath, named(action).c_str()) != 0) std::abort();
    } else if (std::strncmp(action, "dir=", 4) == 0) {
        const std::string name = named(action);
        unlink(name.c_str());
        if (mkdir(name.c_str(), 0755) != 0) std::abort();
        close(realOpen()((name + "/kept").c_str(), O_WRONLY | O_CREAT, 0644));
    }
    close(fd);
    const std::string marker = std::string(changePath) + ".changed";
    close(realOpen()(marker.c_str(), O_WRONLY | O_CREAT, 0644));
}

// Notes an opening of `path`: whether the file changes now, at the first
// read of this opening, or not.
enum class Change { None, Now, AtRead };
Change changeAtOpen(const char* path) {
    const char* request = std::getenv("KMT_CHANGE_INPUT");
    if (!request) return Change::None;
    const char* colon = std::strchr(request, ':');
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    if (std::strlen(base) != static_cast<size_t>(colon - request) ||
        std::strncmp(base, request, static_cast<size_t>(colon - request)) != 0)
        return Change::None;
    if (++changeOpens != std::atoi(colon + 1)) return Change::None;
    std::snprintf(changePath, sizeof changePath, "%s", path);
    return std::strstr(request, "@read") ? Change::AtRead : Change::Now;
}

void changeAtRead(int fd) {
    if (fd < 0 || fd != changeFd) return;
    changeFd = -1;
    changeFile();
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned));
        va_end(args);
    }
    const Change change = changeAtOpen(path);
    if (change == Change::Now) changeFile();
    const int fd = realOpen()(path, flags, mode);
    if (change == Change::AtRead) changeFd = fd;
    return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned));
        va_end(args);
    }
    return open(path, flags, mode);
}

extern "C" ssize_t read(int fd, void* data, size_t n) {
    changeAtRead(fd);
    using Real = ssize_t (*)(int, void*, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "read"));
    return real(fd, data, n);
}

extern "C" ssize_t pread64(int fd, void* data, size_t n, off_t at) {
    changeAtRead(fd);
    using Real = ssize_t (*)(int, void*, size_t, off_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pread64"));
    return real(fd, data, n, at);
}

extern "C" ssize_t pread(int fd, void* data, size_t n, off_t at) {
    return pread64(fd, data, n, at);
}
