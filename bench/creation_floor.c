/* The floor of the creation benchmark: the least work any tool must do to create the same files,
 * with no list to read. It makes the folders, then does open(O_TRUNC)/write/close per file: over
 * existing files, the in-place floor. With --rename it writes each file as a new temporary file
 * beside it and renames that over it instead: the least work of a replace that never loses the
 * old content. With --keep KEEP (after --rename) the old file also gets a second name KEEP/i
 * (a hard link) before the rename: the least work of a replace that keeps the old file for an
 * undo, as a journal beside the files does.
 * Usage: creation_floor [--rename [--keep KEEP]] ROOT FOLDERS FILES fixed TEXT|perline
 *
 * With a list: creation_floor --list LIST TEXT reads LIST line by line (each line a path, CR LF
 * or LF), and writes TEXT into each named file, making a missing parent folder when the open
 * says so. The least work of a tool that is given the list.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int makeParents(char* path) {
    for (char* p = path + 1; *p != '\0'; ++p) {
        if (*p == '/') {
            *p = '\0';
            int failed = mkdir(path, 0777) != 0 && errno != EEXIST;
            *p = '/';
            if (failed) {
                return -1;
            }
        }
    }
    return 0;
}

static int fromList(const char* listPath, const char* text) {
    FILE* list = fopen(listPath, "r");
    if (list == NULL) {
        perror(listPath);
        return 1;
    }
    size_t textLength = strlen(text);
    char* line = NULL;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, list)) >= 0) {
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
            line[--length] = '\0';
        }
        if (length == 0) {
            continue;
        }
        int fd = open(line, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 && errno == ENOENT && makeParents(line) == 0) {
            fd = open(line, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
        if (fd < 0 || write(fd, text, textLength) != (ssize_t)textLength || close(fd) != 0) {
            perror(line);
            return 1;
        }
    }
    free(line);
    fclose(list);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--list") == 0) {
        return fromList(argv[2], argv[3]);
    }
    int byRename = argc > 1 && strcmp(argv[1], "--rename") == 0;
    if (byRename) {
        --argc;
        ++argv;
    }
    const char* keep = NULL;
    if (byRename && argc > 2 && strcmp(argv[1], "--keep") == 0) {
        keep = argv[2];
        mkdir(keep, 0777);
        argc -= 2;
        argv += 2;
    }
    if (argc < 5) {
        fprintf(stderr,
                "usage: creation_floor [--rename [--keep KEEP]] ROOT FOLDERS FILES fixed "
                "TEXT|perline\n");
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
    char kept[4200];
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
            if (keep != NULL) {
                snprintf(kept, sizeof kept, "%s/%ld", keep, i);
            }
            if (fd < 0 || write(fd, data, length) != (ssize_t)length || close(fd) != 0 ||
                (keep != NULL && link(path, kept) != 0) || rename(temp, path) != 0) {
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
