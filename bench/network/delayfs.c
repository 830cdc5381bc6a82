/* A pass-through FUSE file system that answers every request after a set delay, standing in for
 * a network share where each create, write, close and rename is a round trip to a server.
 * Requests are served by many threads, each sleeping on its own, so requests in flight overlap as
 * they would on a real share: a tool that keeps many requests in flight gains, one that waits for
 * each does not. Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT) or signalled.
 *
 * Usage: delayfs [--no-inodes] [--threads=N] DELAY_MICROSECONDS BACKING_FOLDER MOUNTPOINT
 *
 * Inode numbers are passed through (use_ino), so identities seen through the mount are those of
 * the backing folder; an unlinked file still open stays reachable through its descriptor. With
 * --no-inodes they are not, as with sshfs without -o use_ino and most high-level FUSE file
 * systems: each name gets a number of its own, and a new one once the kernel forgets it.
 * --threads=N serves at most N requests at once (libfuse's default is 10, as a small server's
 * slots); otherwise 256, enough that no request waits behind a sleeping one. Kernel caches keep
 * their defaults (names and attributes for 1 s, no negative entries), as on a share.
 *
 * At the end it tells on standard error the requests it served, all and by kind
 * ("requests 1234 getattr=500 create=100 ..."), a name looked up counted as a getattr. A signal
 * USR1 tells them at once and starts counting from zero.
 */
#define FUSE_USE_VERSION 314
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static int base = -1;
static struct timespec delay;
static int passInodes = 1;

/* The requests served, by the operation that served them: told on standard error at the end,
 * so a benchmark can count the round trips a tool makes. */
enum { kOperationsMax = 32 };
static _Atomic(const char*) operationNames[kOperationsMax];
static _Atomic unsigned long operationCounts[kOperationsMax];

/* The slot of `operation`, taken the first time under a lock; looked up without one after. */
static void count(const char* operation) {
    for (int i = 0; i < kOperationsMax; ++i) {
        const char* name = atomic_load_explicit(&operationNames[i], memory_order_acquire);
        if (name == operation) {
            ++operationCounts[i];
            return;
        }
        if (name == NULL) {
            break;
        }
    }
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < kOperationsMax; ++i) {
        const char* name = atomic_load_explicit(&operationNames[i], memory_order_acquire);
        if (name == NULL) {
            name = operation;
            atomic_store_explicit(&operationNames[i], operation, memory_order_release);
        }
        if (name == operation) {
            ++operationCounts[i];
            break;
        }
    }
    pthread_mutex_unlock(&lock);
}

/* Tells the counts and starts again from zero. */
static void tellCounts(void) {
    unsigned long counts[kOperationsMax] = {0};
    const char* names[kOperationsMax] = {NULL};
    unsigned long total = 0;
    for (int i = 0; i < kOperationsMax; ++i) {
        names[i] = atomic_load_explicit(&operationNames[i], memory_order_acquire);
        if (names[i] == NULL) {
            break;
        }
        counts[i] = atomic_exchange(&operationCounts[i], 0);
        total += counts[i];
    }
    fprintf(stderr, "requests %lu", total);
    for (int i = 0; i < kOperationsMax && names[i] != NULL; ++i) {
        if (counts[i] != 0) {
            fprintf(stderr, " %s=%lu", names[i] + 3, counts[i]);
        }
    }
    fputc('\n', stderr);
    fflush(stderr);
}

/* Waits for USR1 (blocked in every other thread) and tells the counts each time. */
static void* countsOnSignal(void* unused) {
    (void)unused;
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    for (;;) {
        int signal = 0;
        if (sigwait(&usr1, &signal) == 0) {
            tellCounts();
        }
    }
    return NULL;
}

/* The round trip of one request, counted under the name of the function that serves it. */
#define roundTrip() roundTripOf(__func__)
static void roundTripOf(const char* operation) {
    count(operation);
    if (delay.tv_sec != 0 || delay.tv_nsec != 0) {
        struct timespec left = delay;
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
}

/* The path inside the backing folder: "/" is the folder itself. */
static const char* rel(const char* path) {
    return path[1] == '\0' ? "." : path + 1;
}

static int result(int rc) {
    return rc < 0 ? -errno : rc;
}

static void* dfsInit(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    (void)conn;
    cfg->use_ino = passInodes;
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    return NULL;
}

static int dfsGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    roundTrip();
    if (fi != NULL) {
        return result(fstat((int)fi->fh, st));
    }
    return result(fstatat(base, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int dfsAccess(const char* path, int mask) {
    roundTrip();
    return result(faccessat(base, rel(path), mask, 0));
}

static int dfsReadlink(const char* path, char* buffer, size_t size) {
    roundTrip();
    ssize_t n = readlinkat(base, rel(path), buffer, size - 1);
    if (n < 0) {
        return -errno;
    }
    buffer[n] = '\0';
    return 0;
}

static int dfsMknod(const char* path, mode_t mode, dev_t rdev) {
    roundTrip();
    return result(mknodat(base, rel(path), mode, rdev));
}

static int dfsMkdir(const char* path, mode_t mode) {
    roundTrip();
    return result(mkdirat(base, rel(path), mode));
}

static int dfsUnlink(const char* path) {
    roundTrip();
    return result(unlinkat(base, rel(path), 0));
}

static int dfsRmdir(const char* path) {
    roundTrip();
    return result(unlinkat(base, rel(path), AT_REMOVEDIR));
}

static int dfsSymlink(const char* target, const char* path) {
    roundTrip();
    return result(symlinkat(target, base, rel(path)));
}

static int dfsRename(const char* from, const char* to, unsigned int flags) {
    roundTrip();
    return result(renameat2(base, rel(from), base, rel(to), flags));
}

static int dfsLink(const char* from, const char* to) {
    roundTrip();
    return result(linkat(base, rel(from), base, rel(to), 0));
}

static int dfsChmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    roundTrip();
    if (fi != NULL) {
        return result(fchmod((int)fi->fh, mode));
    }
    return result(fchmodat(base, rel(path), mode, 0));
}

static int dfsChown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    roundTrip();
    if (fi != NULL) {
        return result(fchown((int)fi->fh, uid, gid));
    }
    return result(fchownat(base, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int dfsTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
    roundTrip();
    if (fi != NULL) {
        return result(ftruncate((int)fi->fh, size));
    }
    int fd = openat(base, rel(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    int rc = result(ftruncate(fd, size));
    close(fd);
    return rc;
}

static int dfsUtimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi) {
    roundTrip();
    if (fi != NULL) {
        return result(futimens((int)fi->fh, times));
    }
    return result(utimensat(base, rel(path), times, AT_SYMLINK_NOFOLLOW));
}

static int dfsCreate(const char* path, mode_t mode, struct fuse_file_info* fi) {
    roundTrip();
    int fd = openat(base, rel(path), fi->flags | O_CLOEXEC, mode);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = (uint64_t)fd;
    return 0;
}

static int dfsOpen(const char* path, struct fuse_file_info* fi) {
    roundTrip();
    int fd = openat(base, rel(path), fi->flags | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = (uint64_t)fd;
    return 0;
}

static int dfsRead(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
    (void)path;
    roundTrip();
    return result((int)pread((int)fi->fh, buffer, size, offset));
}

static int dfsWrite(const char* path, const char* buffer, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    (void)path;
    roundTrip();
    return result((int)pwrite((int)fi->fh, buffer, size, offset));
}

static int dfsStatfs(const char* path, struct statvfs* st) {
    (void)path;
    roundTrip();
    return result(fstatvfs(base, st));
}

/* Every close of a descriptor asks the server once (NFS and SMB flush on close). */
static int dfsFlush(const char* path, struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    roundTrip();
    return 0;
}

static int dfsRelease(const char* path, struct fuse_file_info* fi) {
    (void)path;
    roundTrip();
    close((int)fi->fh);
    return 0;
}

static int dfsFsync(const char* path, int dataOnly, struct fuse_file_info* fi) {
    (void)path;
    roundTrip();
    return result(dataOnly ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int dfsOpendir(const char* path, struct fuse_file_info* fi) {
    roundTrip();
    int fd = openat(base, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? NULL : fdopendir(fd);
    if (dir == NULL) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return -error;
    }
    fi->fh = (uint64_t)(uintptr_t)dir;
    return 0;
}

static int dfsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)path;
    (void)offset;
    (void)flags;
    roundTrip();
    DIR* dir = (DIR*)(uintptr_t)fi->fh;
    rewinddir(dir);
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        struct stat st = {.st_ino = entry->d_ino, .st_mode = (mode_t)DTTOIF(entry->d_type)};
        if (fill(buffer, entry->d_name, &st, 0, 0) != 0) {
            break;
        }
    }
    return 0;
}

static int dfsReleasedir(const char* path, struct fuse_file_info* fi) {
    (void)path;
    roundTrip();
    closedir((DIR*)(uintptr_t)fi->fh);
    return 0;
}

static const struct fuse_operations operations = {
    .init = dfsInit,
    .getattr = dfsGetattr,
    .access = dfsAccess,
    .readlink = dfsReadlink,
    .mknod = dfsMknod,
    .mkdir = dfsMkdir,
    .unlink = dfsUnlink,
    .rmdir = dfsRmdir,
    .symlink = dfsSymlink,
    .rename = dfsRename,
    .link = dfsLink,
    .chmod = dfsChmod,
    .chown = dfsChown,
    .truncate = dfsTruncate,
    .utimens = dfsUtimens,
    .create = dfsCreate,
    .open = dfsOpen,
    .read = dfsRead,
    .write = dfsWrite,
    .statfs = dfsStatfs,
    .flush = dfsFlush,
    .release = dfsRelease,
    .fsync = dfsFsync,
    .opendir = dfsOpendir,
    .readdir = dfsReaddir,
    .releasedir = dfsReleasedir,
};

int main(int argc, char** argv) {
    long threads = 256;
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first) {
        char* end = NULL;
        if (strcmp(argv[first], "--no-inodes") == 0) {
            passInodes = 0;
        } else if (strncmp(argv[first], "--threads=", 10) == 0 &&
                   (threads = strtol(argv[first] + 10, &end, 10)) > 0 && *end == '\0') {
            continue;
        } else {
            first = argc;
        }
    }
    char* end = NULL;
    long micros = argc - first == 3 ? strtol(argv[first], &end, 10) : -1;
    if (argc - first != 3 || end == argv[first] || *end != '\0' || micros < 0) {
        fprintf(stderr,
                "usage: delayfs [--no-inodes] [--threads=N] DELAY_MICROSECONDS BACKING_FOLDER "
                "MOUNTPOINT\n");
        return 2;
    }
    char* program = argv[0];
    argv += first - 1;
    delay.tv_sec = micros / 1000000;
    delay.tv_nsec = (micros % 1000000) * 1000;
    base = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (base < 0) {
        perror(argv[2]);
        return 1;
    }
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);
    pthread_t teller;
    pthread_create(&teller, NULL, countsOnSignal, NULL);
    pthread_detach(teller);
    char* fuseArgv[] = {program, "-o", "fsname=delayfs,subtype=delayfs", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    struct fuse* fuse = fuse_new(&args, &operations, sizeof operations, NULL);
    if (fuse == NULL) {
        return 1;
    }
    int rc = 1;
    if (fuse_mount(fuse, argv[3]) == 0) {
        if (fuse_set_signal_handlers(fuse_get_session(fuse)) == 0) {
            struct fuse_loop_config* loop = fuse_loop_cfg_create();
            fuse_loop_cfg_set_max_threads(loop, (unsigned)threads);
            fuse_loop_cfg_set_idle_threads(loop, (unsigned)(threads < 64 ? threads : 64));
            rc = fuse_loop_mt(fuse, loop) == 0 ? 0 : 1;
            tellCounts();
            fuse_loop_cfg_destroy(loop);
            fuse_remove_signal_handlers(fuse_get_session(fuse));
        }
        fuse_unmount(fuse);
    }
    fuse_destroy(fuse);
    return rc;
}
