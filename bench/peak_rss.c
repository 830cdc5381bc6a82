/* Runs a command and prints, on stderr, its peak resident set in KiB and the processor time it
 * used (user + system, in milliseconds), both from getrusage of the child.
 * Usage: peak_rss COMMAND [ARGS...]; exits with the command's status. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: peak_rss COMMAND [ARGS...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("wait4");
        return 2;
    }
    fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
    fprintf(stderr, "cpu_ms %ld\n",
            (long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                (long)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
