/* The floor of the preview benchmark: a plain read of the list files plus one stat per path.
 * Reads each list in 1 MiB chunks, takes each non-empty line (a final CR dropped) up to its
 * first '>', and asks stat() of it, printing nothing. Usage: preview_floor LIST... */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long found;

static void look(char* line, size_t length) {
    if (length > 0 && line[length - 1] == '\r') {
        --length;
    }
    char* cut = memchr(line, '>', length);
    if (cut != NULL) {
        length = (size_t)(cut - line);
    }
    if (length == 0) {
        return;
    }
    line[length] = '\0';
    struct stat st;
    found += stat(line, &st) == 0;
}

int main(int argc, char** argv) {
    enum { kChunk = 1 << 20 };
    char* buffer = malloc(2 * kChunk + 1);
    for (int i = 1; i < argc; ++i) {
        int fd = open(argv[i], O_RDONLY);
        if (fd < 0) {
            perror(argv[i]);
            return 1;
        }
        size_t kept = 0;
        for (;;) {
            ssize_t got = read(fd, buffer + kept, kChunk);
            if (got <= 0) {
                break;
            }
            size_t end = kept + (size_t)got;
            size_t start = 0;
            for (char* nl; (nl = memchr(buffer + start, '\n', end - start)) != NULL;) {
                look(buffer + start, (size_t)(nl - buffer) - start);
                start = (size_t)(nl - buffer) + 1;
            }
            memmove(buffer, buffer + start, end - start);
            kept = end - start;
        }
        if (kept > 0) {
            look(buffer, kept);
        }
        close(fd);
    }
    free(buffer);
    return found < 0;
}
