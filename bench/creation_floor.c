/* The floor of the creation benchmark: the least work any tool must do to create the same files,
 * with no list to read. It makes the folders, then does open/write/close per file.
 * Usage: creation_floor ROOT FOLDERS FILES fixed TEXT | creation_floor ROOT FOLDERS FILES perline
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: creation_floor ROOT FOLDERS FILES fixed TEXT|perline\n");
        return 2;
    }
    const char* root = argv[1];
    long folders = atol(argv[2]);
    long files = atol(argv[3]);
    int perLine = strcmp(argv[4], "perline") == 0;
    const char* text = argc > 5 ? argv[5] : "";
    size_t textLength = strlen(text);
    char path[4096];
    char content[64];
    if (mkdir(root, 0777) != 0) {
        /* an existing root is fine */
    }
    for (long f = 0; f < folders; ++f) {
        snprintf(path, sizeof path, "%s/d%03ld", root, f);
        mkdir(path, 0777);
    }
    for (long i = 0; i < files; ++i) {
        snprintf(path, sizeof path, "%s/d%03ld/f%07ld.txt", root, i % folders, i);
        const char* data = text;
        size_t length = textLength;
        if (perLine) {
            length = (size_t)snprintf(content, sizeof content, "content of file %ld", i);
            data = content;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, data, length) != (ssize_t)length || close(fd) != 0) {
            perror(path);
            return 1;
        }
    }
    return 0;
}
