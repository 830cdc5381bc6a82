// A preloaded library that makes one system call fail on one path, so the real file-system
// adapter meets the failures a full disk, a broken device or a signal bring, unprivileged and
// without touching the adapter. Configured by the environment:
//   PELLATRIX_FAULT_CALL   write, close, mkdir, rename (renameat too) or openat (only one that
//                          creates: with HOLD alone)
//   PELLATRIX_FAULT_PATH   the call fails only on a path ending in this text "/NAME", or on the
//                          temporary file ".NAME.pellatrix-XXXXXX" that replaces it (rename: the
//                          new path)
//   PELLATRIX_FAULT_ERRNO  ENOSPC, EIO, EINTR, EDQUOT, EFBIG, or STALL (the call waits for a
//                          signal, after creating the file PELLATRIX_FAULT_MARK; one that the
//                          program catches ends the wait with EINTR), or HOLD (the call is
//                          made, and when it works, waits like STALL before it answers: a
//                          kill then comes right after the step)
//   PELLATRIX_FAULT_AFTER  bytes a write lets through first: the write that reaches the limit is
//                          cut short there, and the next one fails (default 0)
//   PELLATRIX_FAULT_TIMES  how many calls fail; later ones work again (default: all)
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { kStall = -1, kHold = -2, kMaxFd = 4096 };

static const char* fault_call;
static const char* fault_path;
static int fault_errno;
static long long fault_after;
static long long fault_times = -1;
static long long written[kMaxFd];  // bytes let through per descriptor since it was opened

static int errno_named(const char* name) {
    static const struct {
        const char* name;
        int value;
    } kNames[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},      {"EINTR", EINTR}, {"EDQUOT", EDQUOT},
                  {"EFBIG", EFBIG},   {"STALL", kStall}, {"HOLD", kHold}};
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (strcmp(name, kNames[i].name) == 0) {
            return kNames[i].value;
        }
    }
    return atoi(name);
}

__attribute__((constructor)) static void configure(void) {
    fault_call = getenv("PELLATRIX_FAULT_CALL");
    fault_path = getenv("PELLATRIX_FAULT_PATH");
    const char* e = getenv("PELLATRIX_FAULT_ERRNO");
    fault_errno = e ? errno_named(e) : EIO;
    const char* after = getenv("PELLATRIX_FAULT_AFTER");
    fault_after = after ? atoll(after) : 0;
    const char* times = getenv("PELLATRIX_FAULT_TIMES");
    fault_times = times ? atoll(times) : -1;
}

static int ends_with(const char* text, const char* tail) {
    size_t n = strlen(text);
    size_t m = strlen(tail);
    return m <= n && strcmp(text + n - m, tail) == 0;
}

// "/.NAME.pellatrix-XXXXXX" for the fault path "/NAME".
static int is_temporary_of(const char* path, const char* tail) {
    const char* name = strrchr(path, '/');
    const char* mark = ".pellatrix-";
    size_t tailLength = strlen(tail);
    if (name == NULL || tail[0] != '/' || name[1] != '.' ||
        strncmp(name + 2, tail + 1, tailLength - 1) != 0) {
        return 0;
    }
    const char* rest = name + 2 + tailLength - 1;
    return strncmp(rest, mark, strlen(mark)) == 0 && strlen(rest + strlen(mark)) == 6;
}

static int path_matches(const char* path) {
    return fault_path != NULL && path != NULL &&
           (ends_with(path, fault_path) || is_temporary_of(path, fault_path));
}

// The path the descriptor `fd` reaches, in `out` (PATH_MAX + 1 bytes); 0 when there is none.
static int path_of(int fd, char* out) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, PATH_MAX);
    if (n < 0) {
        return 0;
    }
    out[n] = '\0';
    return 1;
}

static int fd_matches(int fd) {
    char target[PATH_MAX + 1];
    return fault_path != NULL && fd >= 0 && path_of(fd, target) && path_matches(target);
}

static int armed(const char* call) {
    return fault_call != NULL && strcmp(fault_call, call) == 0 && fault_times != 0;
}

// Makes the mark file and waits for a signal.
static void wait_for_signal(void) {
    // Signals wait from before the mark until the suspend, so one sent as soon as the mark
    // appears is never lost between the two.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const char* mark = getenv("PELLATRIX_FAULT_MARK");
    if (mark != NULL) {
        int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
    sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, NULL);
}

// After a call that worked: waits to be killed when so configured.
static void hold_after(int worked) {
    if (worked && fault_errno == kHold) {
        if (fault_times > 0) {
            --fault_times;
        }
        wait_for_signal();
    }
}

// Fails the current call as configured (or waits to be killed); answers -1.
static int fail_now(void) {
    if (fault_times > 0) {
        --fault_times;
    }
    if (fault_errno == kStall) {
        wait_for_signal();
        errno = EINTR;
        return -1;
    }
    errno = fault_errno;
    return -1;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static ssize_t (*real_write)(int, const void*, size_t);
    if (real_write == NULL) {
        union {
            void* object;
            ssize_t (*function)(int, const void*, size_t);
        } next = {dlsym(RTLD_NEXT, "write")};
        real_write = next.function;
    }
    if (armed("write") && count > 0 && fd_matches(fd)) {
        long long* done = fd < kMaxFd ? &written[fd] : NULL;
        long long left = done ? fault_after - *done : 0;
        if (left <= 0) {
            return fail_now();
        }
        if ((long long)count > left) {
            count = (size_t)left;  // a short write up to the limit
        }
        ssize_t put = real_write(fd, buffer, count);
        if (put > 0) {
            *done += put;
        }
        return put;
    }
    return real_write(fd, buffer, count);
}

int close(int fd) {
    static int (*real_close)(int);
    if (real_close == NULL) {
        union {
            void* object;
            int (*function)(int);
        } next = {dlsym(RTLD_NEXT, "close")};
        real_close = next.function;
    }
    int matches = armed("close") && fd_matches(fd);
    if (fd >= 0 && fd < kMaxFd) {
        written[fd] = 0;
    }
    int result = real_close(fd);
    if (matches && result == 0) {
        // Linux releases the descriptor even when close reports a failure.
        return fail_now();
    }
    return result;
}

int mkdir(const char* path, mode_t mode) {
    static int (*real_mkdir)(const char*, mode_t);
    if (real_mkdir == NULL) {
        union {
            void* object;
            int (*function)(const char*, mode_t);
        } next = {dlsym(RTLD_NEXT, "mkdir")};
        real_mkdir = next.function;
    }
    if (armed("mkdir") && path_matches(path)) {
        if (fault_errno == kHold) {
            int result = real_mkdir(path, mode);
            hold_after(result == 0);
            return result;
        }
        return fail_now();
    }
    return real_mkdir(path, mode);
}

int rename(const char* from, const char* to) {
    static int (*real_rename)(const char*, const char*);
    if (real_rename == NULL) {
        union {
            void* object;
            int (*function)(const char*, const char*);
        } next = {dlsym(RTLD_NEXT, "rename")};
        real_rename = next.function;
    }
    if (armed("rename") && path_matches(to)) {
        return fail_now();
    }
    return real_rename(from, to);
}

// A name reached from an open folder, matched as its whole path.
static int at_matches(int dir, const char* name) {
    if (dir == AT_FDCWD || name[0] == '/') {
        return path_matches(name);
    }
    char folder[PATH_MAX + 1];
    if (!path_of(dir, folder)) {
        return 0;
    }
    char whole[2 * PATH_MAX + 2];
    snprintf(whole, sizeof whole, "%s/%s", folder, name);
    return path_matches(whole);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static int (*real_renameat)(int, const char*, int, const char*);
    if (real_renameat == NULL) {
        union {
            void* object;
            int (*function)(int, const char*, int, const char*);
        } next = {dlsym(RTLD_NEXT, "renameat")};
        real_renameat = next.function;
    }
    if (armed("rename") && at_matches(toDir, to)) {
        return fail_now();
    }
    return real_renameat(fromDir, from, toDir, to);
}

int openat(int dir, const char* path, int flags, ...) {
    static int (*real_openat)(int, const char*, int, ...);
    if (real_openat == NULL) {
        union {
            void* object;
            int (*function)(int, const char*, int, ...);
        } next = {dlsym(RTLD_NEXT, "openat")};
        real_openat = next.function;
    }
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int fd = real_openat(dir, path, flags, mode);
    if ((flags & O_CREAT) != 0 && armed("openat") && at_matches(dir, path)) {
        hold_after(fd >= 0);
    }
    return fd;
}
