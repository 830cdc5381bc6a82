/* The least work of writing the files a list names, with one thread or many: the floor the
 * network benchmark holds the companion against. Each line of LIST is a path (LF or CR LF).
 * New files: open (create, truncate), write TEXT, close; a missing parent folder is made when the
 * open says so (and its own parents in turn). With --rename each file is written as a new
 * temporary file beside it (.NAME.tmp, exclusive create), closed and renamed over the path: the
 * least a replace that never loses the old content can do. With --keep DIR (implies --rename) each
 * step also does what an undo needs: the target is looked at first (a replace must know it is a
 * plain file), the written file is looked at after its write (what the undo compares later), and
 * the old file gets a second name DIR/tN/i (a hard link, into a folder per thread) before the
 * rename: the least work of a replace that can be taken back. New files with --keep: an exclusive
 * create (the name was free), the write, the look after it, the close.
 * With --threads N the lines are handed out one at a time to N threads, so N requests are in
 * flight at once.
 * Usage: parallel_floor [--rename | --keep DIR] [--threads N] LIST TEXT
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char** paths;
static size_t pathCount;
static atomic_size_t next;
static atomic_int failed;
static const char* text;
static size_t textLength;
static int byRename;
static const char* keepDir;
static _Thread_local long threadNumber;
static _Thread_local int keepFolderMade;

/* Makes the folder holding path, and its parents first when they are missing too. */
static int makeParent(const char* path) {
    char folder[4096];
    const char* slash = strrchr(path, '/');
    if (slash == NULL || slash == path || (size_t)(slash - path) >= sizeof folder) {
        errno = ENOENT;
        return -1;
    }
    memcpy(folder, path, (size_t)(slash - path));
    folder[slash - path] = '\0';
    if (mkdir(folder, 0777) == 0 || errno == EEXIST) {
        return 0;
    }
    if (errno != ENOENT || makeParent(folder) != 0) {
        return -1;
    }
    return mkdir(folder, 0777) == 0 || errno == EEXIST ? 0 : -1;
}

static int openFor(const char* path, int flags) {
    int fd = open(path, flags, 0666);
    if (fd < 0 && errno == ENOENT && makeParent(path) == 0) {
        fd = open(path, flags, 0666);
    }
    return fd;
}

/* The written file's size and time, as an undo would record them. */
static int written(int fd) {
    struct stat st;
    return write(fd, text, textLength) == (ssize_t)textLength && fstat(fd, &st) == 0 ? 0 : -1;
}

static int keepOne(const char* path, size_t i) {
    struct stat old;
    if (lstat(path, &old) != 0) {
        if (errno != ENOENT) {
            return -1;
        }
        int fd = openFor(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
        return fd >= 0 && written(fd) == 0 && close(fd) == 0 ? 0 : -1;
    }
    if (!S_ISREG(old.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    char temp[4200];
    char kept[4200];
    const char* slash = strrchr(path, '/');
    int folderLength = slash == NULL ? 0 : (int)(slash - path + 1);
    snprintf(temp, sizeof temp, "%.*s.%s.tmp", folderLength, path, path + folderLength);
    snprintf(kept, sizeof kept, "%s/t%ld", keepDir, threadNumber);
    if (!keepFolderMade && mkdir(kept, 0777) != 0 && errno != EEXIST) {
        return -1;
    }
    keepFolderMade = 1;
    snprintf(kept, sizeof kept, "%s/t%ld/%zu", keepDir, threadNumber, i);
    int fd = openFor(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    return fd >= 0 && written(fd) == 0 && close(fd) == 0 && link(path, kept) == 0 &&
                   rename(temp, path) == 0
               ? 0
               : -1;
}

static int writeOne(const char* path, size_t i) {
    if (keepDir != NULL) {
        return keepOne(path, i);
    }
    if (!byRename) {
        int fd = openFor(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
        return fd >= 0 && write(fd, text, textLength) == (ssize_t)textLength && close(fd) == 0 ? 0
                                                                                               : -1;
    }
    char temp[4200];
    const char* slash = strrchr(path, '/');
    int folderLength = slash == NULL ? 0 : (int)(slash - path + 1);
    snprintf(temp, sizeof temp, "%.*s.%s.tmp", folderLength, path, path + folderLength);
    int fd = openFor(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    return fd >= 0 && write(fd, text, textLength) == (ssize_t)textLength && close(fd) == 0 &&
                   rename(temp, path) == 0
               ? 0
               : -1;
}

static void* worker(void* number) {
    threadNumber = (long)number;
    for (;;) {
        size_t i = atomic_fetch_add(&next, 1);
        if (i >= pathCount || atomic_load(&failed)) {
            return NULL;
        }
        if (writeOne(paths[i], i) != 0) {
            perror(paths[i]);
            atomic_store(&failed, 1);
        }
    }
}

int main(int argc, char** argv) {
    long threads = 1;
    int a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a) {
        if (strcmp(argv[a], "--rename") == 0) {
            byRename = 1;
        } else if (strcmp(argv[a], "--keep") == 0 && a + 1 < argc) {
            keepDir = argv[++a];
        } else if (strcmp(argv[a], "--threads") == 0 && a + 1 < argc) {
            threads = atol(argv[++a]);
        } else {
            break;
        }
    }
    if (argc - a != 2 || threads < 1 || threads > 1024) {
        fprintf(stderr, "usage: parallel_floor [--rename | --keep DIR] [--threads N] LIST TEXT\n");
        return 2;
    }
    if (keepDir != NULL && mkdir(keepDir, 0777) != 0 && errno != EEXIST) {
        perror(keepDir);
        return 1;
    }
    text = argv[a + 1];
    textLength = strlen(text);
    FILE* list = fopen(argv[a], "r");
    if (list == NULL) {
        perror(argv[a]);
        return 1;
    }
    size_t capacity = 0;
    char* line = NULL;
    size_t lineCapacity = 0;
    ssize_t length;
    while ((length = getline(&line, &lineCapacity, list)) >= 0) {
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
            line[--length] = '\0';
        }
        if (length == 0) {
            continue;
        }
        if (pathCount == capacity) {
            capacity = capacity == 0 ? 1024 : capacity * 2;
            paths = realloc(paths, capacity * sizeof *paths);
            if (paths == NULL) {
                perror("realloc");
                return 1;
            }
        }
        paths[pathCount++] = strdup(line);
    }
    free(line);
    fclose(list);

    pthread_t ids[1024];
    for (long t = 1; t < threads; ++t) {
        if (pthread_create(&ids[t], NULL, worker, (void*)t) != 0) {
            fprintf(stderr, "parallel_floor: cannot start thread %ld\n", t);
            return 1;
        }
    }
    worker((void*)0);
    for (long t = 1; t < threads; ++t) {
        pthread_join(ids[t], NULL);
    }
    return atomic_load(&failed) ? 1 : 0;
}
