/* The floor of the content benchmark: the least work any tool must do to fill N new files with a
 * template or a size, with no list to read. Each file is made exclusively, filled and closed.
 * Usage: content_floor copy TEMPLATE FOLDER N    (copy_file_range from TEMPLATE)
 *        content_floor clone TEMPLATE FOLDER N   (FICLONE from TEMPLATE)
 *        content_floor write SIZE TEXT FOLDER N  (TEXT repeated and cut to SIZE bytes, write)
 * File i is FOLDER/fNNNNN (i from 1); FOLDER must exist.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char* what) {
    perror(what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr,
                "usage: content_floor copy|clone TEMPLATE FOLDER N | write SIZE TEXT FOLDER N\n");
        return 2;
    }
    const int write_mode = strcmp(argv[1], "write") == 0;
    const int clone = strcmp(argv[1], "clone") == 0;
    const char* folder = argv[write_mode ? 4 : 3];
    const long n = atol(argv[write_mode ? 5 : 4]);
    int source = -1;
    off_t size = 0;
    char* unit = NULL;
    size_t unit_size = 0;
    if (write_mode) {
        size = atoll(argv[2]);
        const size_t text = strlen(argv[3]);
        unit_size = size < (1 << 16) ? (size_t)size : (1 << 16);
        unit_size = (unit_size + text - 1) / text * text;
        unit = malloc(unit_size);
        for (size_t at = 0; at < unit_size; at += text) {
            memcpy(unit + at, argv[3], text);
        }
    } else {
        source = open(argv[2], O_RDONLY);
        struct stat st;
        if (source < 0 || fstat(source, &st) != 0) {
            return fail(argv[2]);
        }
        size = st.st_size;
    }
    char path[4096];
    for (long i = 1; i <= n; ++i) {
        snprintf(path, sizeof path, "%s/f%05ld", folder, i);
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            return fail(path);
        }
        if (clone) {
            if (ioctl(fd, FICLONE, source) != 0) {
                return fail("FICLONE");
            }
        } else if (!write_mode) {
            off_t from = 0;
            while (from < size) {
                ssize_t got = copy_file_range(source, &from, fd, NULL, (size_t)(size - from), 0);
                if (got <= 0) {
                    return fail("copy_file_range");
                }
            }
        } else {
            for (off_t left = size; left > 0;) {
                size_t part = left < (off_t)unit_size ? (size_t)left : unit_size;
                if (write(fd, unit, part) != (ssize_t)part) {
                    return fail("write");
                }
                left -= (off_t)part;
            }
        }
        if (close(fd) != 0) {
            return fail("close");
        }
    }
    free(unit);
    return 0;
}
