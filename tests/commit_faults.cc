// Loaded with LD_PRELOAD into a tool under test, to make the steps that
// put outputs in place fail on demand:
//   KMT_FAIL_RENAME=NAME  renameat2 onto NAME fails with EPERM
//   KMT_FAIL_CREATE=N     creating a hidden (".*") file fails with errno N
//   KMT_FAIL_UNLINKED_WRITE=N  writing to a file that has no name (a
//                         temporary run) fails with errno N, as on a full disk
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

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
