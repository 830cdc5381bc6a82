// A preloaded library that makes one system call fail on one path, so the real file-system
// adapter meets the failures a full disk, a broken device or a signal bring, unprivileged and
// without touching the adapter. Configured by the environment:
//   PELLATRIX_FAULT_CALL   write (and a copy_file_range at the file's own position, as a template
//                          is copied; not one at an offset, as pwrite is not), close,
//                          mkdir, mkdirat (a relative name, matched as the folder's
//                          path and the name), rename (renameat too), unlink (unlinkat too), or
//                          openat (only one that creates: the temporary file, with STALL also a
//                          new file under its own name, with PAUSE any)
//   PELLATRIX_FAULT_PATH   the call fails only on a path ending in this text "/NAME", or on the
//                          temporary file ".NAME.pellatrix-XXXXXX" that replaces it (rename: the
//                          new path), or on a file made without a name (O_TMPFILE) for it
//   PELLATRIX_FAULT_ERRNO  ENOSPC, EIO, EINTR, EDQUOT, EFBIG, or STALL (the call waits for a
//                          signal, after creating the file PELLATRIX_FAULT_MARK; one that the
//                          program catches ends the wait with EINTR), or HOLD (write, rename,
//                          unlink: the call creates the mark, waits until the file
//                          PELLATRIX_FAULT_RELEASE exists, or without one until the test removes
//                          the mark (30 s at most), then works: a hold point between a
//                          program's look and its act, or another process let through),
//                          or PLANT (openat: a symbolic link to PELLATRIX_FAULT_MARK is put
//                          where the temporary file is to be made, or named (linkat), as a hostile
//                          user racing for the name would, and the call then goes on), or PAUSE
//                          (mkdir and openat: the call is made, and when it works, waits like STALL
//                          before it answers: a kill then comes right after the step)
//   PELLATRIX_FAULT_AFTER  bytes a write lets through first: the write that reaches the limit is
//                          cut short there, and the next one fails (default 0)
//   PELLATRIX_FAULT_TIMES  how many calls fail; later ones work again (default: all)
//   PELLATRIX_FAULT_KILL_AFTER  N: the process kills itself (SIGKILL) right after its N-th call
//                          that can change a file system (any wrapped here, or pwrite,
//                          ftruncate, fallocate, fchmod, fchown, fsync, copy_file_range),
//                          whatever it was: a sweep over every point a kill can come
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
#include <time.h>
#include <unistd.h>

enum { kStall = -1, kHold = -2, kPlant = -3, kPause = -4, kMaxFd = 4096 };

static const char* fault_call;
static const char* fault_path;
static int fault_errno;
static long long fault_after;
static long long fault_times = -1;
static long long kill_after = -1;
static long long calls_made;
static long long written[kMaxFd];  // bytes let through per descriptor since it was opened

static int errno_named(const char* name) {
    static const struct {
        const char* name;
        int value;
    } kNames[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},      {"EINTR", EINTR},
                  {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG},  {"STALL", kStall},
                  {"HOLD", kHold},    {"PLANT", kPlant}, {"PAUSE", kPause}};
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
    const char* kill = getenv("PELLATRIX_FAULT_KILL_AFTER");
    kill_after = kill ? atoll(kill) : -1;
}

// One more call made; the one the sweep kills after ends the process here.
static void counted(void) {
    if (kill_after > 0 && __atomic_add_fetch(&calls_made, 1, __ATOMIC_SEQ_CST) == kill_after) {
        kill(getpid(), SIGKILL);
    }
}

// The result of a real call, counted once it is made.
#define COUNTED(call)                       \
    __extension__({                         \
        __typeof__(call) counted_ = (call); \
        counted();                          \
        counted_;                           \
    })

// A call wrapped only to be counted.
#define COUNTED_WRAPPER(type, name, params, args) \
    type name params {                            \
        static type(*real) params;                \
        if (real == NULL) {                       \
            union {                               \
                void* object;                     \
                type(*function) params;           \
            } next = {dlsym(RTLD_NEXT, #name)};   \
            real = next.function;                 \
        }                                         \
        return COUNTED(real args);                \
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

// Descriptors of files made without a name (O_TMPFILE): the new text of a replace without a
// journal, named only once whole. Taken for the temporary file of any name.
static char unnamed[kMaxFd];

static int fd_matches(int fd) {
    char target[PATH_MAX + 1];
    return fault_path != NULL && fd >= 0 &&
           ((fd < kMaxFd && unnamed[fd]) || (path_of(fd, target) && path_matches(target)));
}

static int armed(const char* call) {
    return fault_call != NULL && strcmp(fault_call, call) == 0 && fault_times != 0;
}

static void make_mark(void) {
    const char* mark = getenv("PELLATRIX_FAULT_MARK");
    if (mark != NULL) {
        int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
}

// Makes the mark file and waits for a signal.
static void wait_for_signal(void) {
    // Signals wait from before the mark until the suspend, so one sent as soon as the mark
    // appears is never lost between the two.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    make_mark();
    sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, NULL);
}

// After a call that worked: waits to be killed when so configured.
static void pause_after(int worked) {
    if (worked && fault_errno == kPause) {
        if (fault_times > 0) {
            --fault_times;
        }
        wait_for_signal();
    }
}

// Fails the current call as configured (or waits to be killed, or holds it); answers -1, or 0
// when the call is to go on.
static int fail_now(void) {
    if (fault_times > 0) {
        --fault_times;
    }
    if (fault_errno == kHold) {
        make_mark();
        const char* release = getenv("PELLATRIX_FAULT_RELEASE");
        const char* mark = getenv("PELLATRIX_FAULT_MARK");
        const struct timespec tick = {0, 1000000};
        for (int i = 0; i < 30000; ++i) {
            if (release != NULL ? access(release, F_OK) == 0
                                : mark == NULL || access(mark, F_OK) != 0) {
                break;
            }
            nanosleep(&tick, NULL);
        }
        return 0;
    }
    if (fault_errno == kStall) {
        wait_for_signal();
        errno = EINTR;
        return -1;
    }
    errno = fault_errno;
    return -1;
}

// The bytes a write lets through to `fd`: `count`, or fewer up to the limit of a faulty one; -1
// when the call fails now.
static long long write_allowance(int fd, size_t count) {
    if (!(armed("write") && count > 0 && fd_matches(fd))) {
        return (long long)count;
    }
    long long* done = fd < kMaxFd ? &written[fd] : NULL;
    long long left = done ? fault_after - *done : 0;
    if (left <= 0) {
        return fail_now() != 0 ? -1 : (long long)count;
    }
    return (long long)count > left ? left : (long long)count;  // a short write up to the limit
}

static void note_written(int fd, ssize_t put) {
    if (put > 0 && fd >= 0 && fd < kMaxFd && armed("write") && fd_matches(fd)) {
        written[fd] += put;
    }
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
    const long long allowed = write_allowance(fd, count);
    if (allowed < 0) {
        return -1;
    }
    ssize_t put = COUNTED(real_write(fd, buffer, (size_t)allowed));
    note_written(fd, put);
    return put;
}

// A template copied by the kernel into the file fails as its write would; a copy at an offset
// (the journal putting an old content back) is let through, as pwrite is.
ssize_t copy_file_range(int in, off_t* inAt, int out, off_t* outAt, size_t length, unsigned flags) {
    static ssize_t (*real_copy)(int, off_t*, int, off_t*, size_t, unsigned);
    if (real_copy == NULL) {
        union {
            void* object;
            ssize_t (*function)(int, off_t*, int, off_t*, size_t, unsigned);
        } next = {dlsym(RTLD_NEXT, "copy_file_range")};
        real_copy = next.function;
    }
    if (outAt != NULL) {
        return COUNTED(real_copy(in, inAt, out, outAt, length, flags));
    }
    const long long allowed = write_allowance(out, length);
    if (allowed < 0) {
        return -1;
    }
    ssize_t put = COUNTED(real_copy(in, inAt, out, outAt, (size_t)allowed, flags));
    note_written(out, put);
    return put;
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
        unnamed[fd] = 0;
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
        if (fault_errno == kPause) {
            int result = COUNTED(real_mkdir(path, mode));
            pause_after(result == 0);
            return result;
        }
        return fail_now();
    }
    return COUNTED(real_mkdir(path, mode));
}

int mkdirat(int dir, const char* name, mode_t mode) {
    static int (*real_mkdirat)(int, const char*, mode_t);
    if (real_mkdirat == NULL) {
        union {
            void* object;
            int (*function)(int, const char*, mode_t);
        } next = {dlsym(RTLD_NEXT, "mkdirat")};
        real_mkdirat = next.function;
    }
    char path[PATH_MAX + 1];
    if (armed("mkdirat") && name[0] != '/' && path_of(dir, path) &&
        strlen(path) + strlen(name) + 1 < sizeof path) {
        strcat(strcat(path, "/"), name);
        if (path_matches(path)) {
            if (fault_errno == kPause) {
                int result = COUNTED(real_mkdirat(dir, name, mode));
                pause_after(result == 0);
                return result;
            }
            return fail_now();
        }
    }
    return COUNTED(real_mkdirat(dir, name, mode));
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
    if (armed("rename") && path_matches(to) && fail_now() != 0) {
        return -1;
    }
    return COUNTED(real_rename(from, to));
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
    if (armed("rename") && at_matches(toDir, to) && fail_now() != 0) {
        return -1;
    }
    return COUNTED(real_renameat(fromDir, from, toDir, to));
}

int unlink(const char* path) {
    static int (*real_unlink)(const char*);
    if (real_unlink == NULL) {
        union {
            void* object;
            int (*function)(const char*);
        } next = {dlsym(RTLD_NEXT, "unlink")};
        real_unlink = next.function;
    }
    if (armed("unlink") && path_matches(path) && fail_now() != 0) {
        return -1;
    }
    return COUNTED(real_unlink(path));
}

int unlinkat(int dir, const char* name, int flags) {
    static int (*real_unlinkat)(int, const char*, int);
    if (real_unlinkat == NULL) {
        union {
            void* object;
            int (*function)(int, const char*, int);
        } next = {dlsym(RTLD_NEXT, "unlinkat")};
        real_unlinkat = next.function;
    }
    if (armed("unlink") && at_matches(dir, name) && fail_now() != 0) {
        return -1;
    }
    return COUNTED(real_unlinkat(dir, name, flags));
}

// Gives a name to a file made without one: with PLANT (under "openat"), the hostile link is put
// where the name is to be, as at the create of a named temporary file.
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static int (*real_linkat)(int, const char*, int, const char*, int);
    if (real_linkat == NULL) {
        union {
            void* object;
            int (*function)(int, const char*, int, const char*, int);
        } next = {dlsym(RTLD_NEXT, "linkat")};
        real_linkat = next.function;
    }
    char folder[PATH_MAX + 1];
    char whole[2 * PATH_MAX + 2];
    if (armed("openat") && fault_errno == kPlant && fault_path != NULL &&
        (toDir == AT_FDCWD || to[0] == '/' || path_of(toDir, folder))) {
        if (toDir == AT_FDCWD || to[0] == '/') {
            snprintf(whole, sizeof whole, "%s", to);
        } else {
            snprintf(whole, sizeof whole, "%s/%s", folder, to);
        }
        const char* victim = getenv("PELLATRIX_FAULT_MARK");
        if (is_temporary_of(whole, fault_path) && victim != NULL) {
            if (fault_times > 0) {
                --fault_times;
            }
            if (symlinkat(victim, toDir, to) != 0) {
                return -1;
            }
        }
    }
    return COUNTED(real_linkat(fromDir, from, toDir, to, flags));
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
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    char folder[PATH_MAX + 1];
    char whole[2 * PATH_MAX + 2];
    if (armed("openat") && (flags & O_CREAT) != 0 && fault_path != NULL && fault_errno != kPause) {
        if (dir == AT_FDCWD || path[0] == '/') {
            snprintf(whole, sizeof whole, "%s", path);
        } else if (path_of(dir, folder)) {
            snprintf(whole, sizeof whole, "%s/%s", folder, path);
        } else {
            whole[0] = '\0';
        }
        // STALL waits before a new file under its own name is made too.
        if (is_temporary_of(whole, fault_path) ||
            (fault_errno == kStall && ends_with(whole, fault_path))) {
            if (fault_errno != kPlant) {
                return fail_now();
            }
            if (fault_times > 0) {
                --fault_times;
            }
            const char* victim = getenv("PELLATRIX_FAULT_MARK");
            if (victim != NULL && symlinkat(victim, dir, path) != 0) {
                return -1;
            }
        }
    }
    int fd = real_openat(dir, path, flags, mode);
    if ((flags & O_CREAT) != 0) {
        counted();
    }
    if (fd >= 0 && fd < kMaxFd) {
        unnamed[fd] = (flags & O_TMPFILE) == O_TMPFILE;
    }
    if ((flags & O_CREAT) != 0 && fault_errno == kPause && armed("openat") &&
        at_matches(dir, path)) {
        pause_after(fd >= 0);
    }
    return fd;
}

COUNTED_WRAPPER(ssize_t, pwrite, (int fd, const void* buffer, size_t count, off_t at),
                (fd, buffer, count, at))
COUNTED_WRAPPER(int, ftruncate, (int fd, off_t length), (fd, length))
COUNTED_WRAPPER(int, fallocate, (int fd, int mode, off_t at, off_t length), (fd, mode, at, length))
COUNTED_WRAPPER(int, fchmod, (int fd, mode_t mode), (fd, mode))
COUNTED_WRAPPER(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
COUNTED_WRAPPER(int, fsync, (int fd), (fd))
