/* The floor of the undo benchmark: the least work a checked removal of the files a run made
 * must do, with no journal to read. For each path of LIST (one a line): lstat, to tell it is
 * the file, then unlink; then each folder met is removed once, deeper ones first.
 * Usage: undo_floor LIST
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int byPath(const void* a, const void* b) {
    return strcmp(*(char* const*)a, *(char* const*)b);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: undo_floor LIST\n", stderr);
        return 2;
    }
    FILE* list = fopen(argv[1], "r");
    if (list == NULL) {
        perror(argv[1]);
        return 1;
    }
    char** folders = NULL;
    size_t count = 0;
    size_t room = 0;
    char line[4096];
    while (fgets(line, sizeof line, list) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        struct stat st;
        if (line[0] == '\0' || lstat(line, &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        unlink(line);
        char* slash = strrchr(line, '/');
        if (slash == NULL) {
            continue;
        }
        *slash = '\0';
        if (count == 0 || strcmp(folders[count - 1], line) != 0) {
            if (count == room) {
                room = room == 0 ? 64 : room * 2;
                folders = realloc(folders, room * sizeof *folders);
            }
            folders[count++] = strdup(line);
        }
    }
    fclose(list);
    qsort(folders, count, sizeof *folders, byPath);
    while (count > 0) {
        --count;
        if (count == 0 || strcmp(folders[count], folders[count - 1]) != 0) {
            rmdir(folders[count]);
        }
        free(folders[count]);
    }
    free(folders);
    return 0;
}
