// Times the folder scan of one add (GetSubDirectories2016, then ListFilesInFolder with "*.txt"
// for every folder) against `find DIR -type f -name '*.txt'` on the same tree, alternating the
// two, and prints the medians and their ratio.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/FileSystem.h"
#include "folderservices/FolderScan.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    double seconds = 0;
    std::size_t files = 0;
};

Timed runScan(const std::string& root) {
    const auto start = Clock::now();
    pellatrix::PosixFileSystem fs;
    std::size_t reports = 0;
    pellatrix::FolderScan scan(
        fs, [] {}, [&](const std::string&, const std::string&, int) { ++reports; });
    pellatrix::FolderList folders = {root + "/"};
    scan.GetSubDirectories2016(folders, true);
    std::vector<std::string> paths;
    for (const std::string& entry : folders) {
        const std::string folder = entry.substr(0, entry.size() - 1);
        for (const std::string& name : pellatrix::ListFilesInFolder(fs, folder, "*.txt")) {
            paths.push_back(entry + name);
        }
    }
    Timed t;
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    t.files = paths.size();
    if (reports != 0) {
        std::fprintf(stderr, "scan reported %zu failures\n", reports);
    }
    return t;
}

// Runs find with its output read through a pipe, as the scan's paths are gathered in memory.
Timed runFind(const std::string& root) {
    const auto start = Clock::now();
    int fds[2];
    if (::pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execlp("find", "find", root.c_str(), "-type", "f", "-name", "*.txt",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    Timed t;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fds[0], buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        t.files += static_cast<std::size_t>(std::count(buffer.begin(), buffer.begin() + got, '\n'));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "find failed\n");
        std::exit(1);
    }
    return t;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TREE [REPEATS]\n", argv[0]);
        return 2;
    }
    // The window runs in the user's locale, which decides how file names are matched.
    std::setlocale(LC_ALL, "");
    std::string root = argv[1];
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    // One warm-up of each, so both start from the same cached tree.
    runScan(root);
    runFind(root);
    std::vector<double> scans;
    std::vector<double> finds;
    std::size_t scanFiles = 0;
    std::size_t findFiles = 0;
    for (int i = 0; i < repeats; ++i) {
        // Alternate which one goes first, so neither always meets the other's leftovers.
        Timed s;
        Timed f;
        if (i % 2 == 0) {
            s = runScan(root);
            f = runFind(root);
        } else {
            f = runFind(root);
            s = runScan(root);
        }
        scans.push_back(s.seconds);
        finds.push_back(f.seconds);
        scanFiles = s.files;
        findFiles = f.files;
    }
    const double scan = median(scans);
    const double find = median(finds);
    std::printf("files: scan %zu, find %zu%s\n", scanFiles, findFiles,
                scanFiles == findFiles ? "" : "  (DIFFERENT)");
    std::printf("median of %d: scan %.1f ms, find %.1f ms, ratio scan/find %.2f\n", repeats,
                scan * 1000, find * 1000, scan / find);
    return scanFiles == findFiles ? 0 : 1;
}
