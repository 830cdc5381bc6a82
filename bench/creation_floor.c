/* The floor of the creation benchmark: the least work any tool must do to create the same files,
 * with no list to read. It makes the folders, then does open(O_TRUNC)/write/close per file: over
 * existing files, the in-place floor. With --rename it writes each file as a new temporary file
 * beside it and renames that over it instead: the least work of a replace that never loses the
 * old content.
 * Usage: creation_floor [--rename] ROOT FOLDERS FILES fixed TEXT|perline
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int byRename = argc > 1 && strcmp(argv[1], "--rename") == 0;
    if (byRename) {
        --argc;
        ++argv;
    }
    if (argc < 5) {
        fprintf(stderr, "usage: creation_floor [--rename] ROOT FOLDERS FILES fixed TEXT|perline\n");
        return 2;
    }
    const char* root = argv[1];
    long folders = atol(argv[2]);
    long files = atol(argv[3]);
    int perLine = strcmp(argv[4], "perline") == 0;
    const char* text = argc > 5 ? argv[5] : "";
    size_t textLength = strlen(text);
    char path[4096];
    char temp[4200];
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
        if (byRename) {
            snprintf(temp, sizeof temp, "%s/d%03ld/.f%07ld.txt.tmp", root, i % folders, i);
            int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 || write(fd, data, length) != (ssize_t)length || close(fd) != 0 ||
                rename(temp, path) != 0) {
                perror(path);
                return 1;
            }
            continue;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, data, length) != (ssize_t)length || close(fd) != 0) {
            perror(path);
            return 1;
        }
    }
    return 0;
}
