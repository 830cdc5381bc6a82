// Times the folder scan of one add against `find DIR -type f -name '*.txt'` on the same tree,
// in rotating order, and prints the medians and their ratios to find. Three scans, each
// GetSubDirectories2016 and then per folder:
//   list    ListFilesInFolder(folder, "*.txt"), the engine's listing alone;
//   filter  that listing, then the folder add's filter per file as path look-ups
//           (IsExistingFile && attributes != 34);
//   listed  ListFilesWithAttributes(folder, "*.txt"), the same answer from the listing;
//   kept    the folder add's way: the streamed scan (streamTree) hands each folder on with the
//           files from the read that found its subfolders (ListFilesWithAttributes only where
//           it read none).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "folderservices/FolderScan.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    double seconds = 0;
    std::size_t files = 0;
};

enum class Files { List, Filter, Listed, Kept };

Timed runScan(const std::string& root, Files files) {
    const auto start = Clock::now();
    pellatrix::PosixFileSystem fs;
    std::size_t reports = 0;
    pellatrix::FolderScan scan(
        fs, [] {}, [&](const std::string&, const std::string&, int) { ++reports; });
    std::vector<std::string> paths;
    constexpr int kHiddenArchive = pellatrix::kAttrHidden | pellatrix::kAttrArchive;
    const auto keep = [&](const std::string& entry,
                          const std::vector<pellatrix::ListedFile>& listed) {
        for (const pellatrix::ListedFile& file : listed) {
            if (!file.hiddenArchive) {
                paths.push_back(entry + file.name);
            }
        }
    };
    if (files == Files::Kept) {
        // The folder add's way: each folder's files from the scan's one read, as it goes.
        const pellatrix::FolderScan::FolderSink sink =
            [&](const std::string& entry, std::optional<std::vector<pellatrix::ListedFile>> kept) {
                const std::string folder = entry.substr(0, entry.size() - 1);
                keep(entry, kept ? *kept : pellatrix::ListFilesWithAttributes(fs, folder, "*.txt"));
            };
        scan.streamTree(root + "/", "*.txt", sink);
    }
    pellatrix::FolderList folders;
    if (files != Files::Kept) {
        folders = {root + "/"};
        scan.GetSubDirectories2016(folders, true);
    }
    for (const std::string& entry : folders) {
        const std::string folder = entry.substr(0, entry.size() - 1);
        if (files == Files::Listed) {
            keep(entry, pellatrix::ListFilesWithAttributes(fs, folder, "*.txt"));
            continue;
        }
        for (const std::string& name : pellatrix::ListFilesInFolder(fs, folder, "*.txt")) {
            std::string full = entry + name;
            if (files == Files::Filter &&
                !(pellatrix::IsExistingFile(fs, full) && fs.attributes(full) != kHiddenArchive)) {
                continue;
            }
            paths.push_back(std::move(full));
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
        std::fprintf(stderr, "usage: %s TREE [REPEATS [ONLY]]\n", argv[0]);
        return 2;
    }
    // The window runs in the user's locale, which decides how file names are matched.
    std::setlocale(LC_ALL, "");
    std::string root = argv[1];
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    struct Contender {
        const char* name;
        std::function<Timed()> run;
        std::vector<double> seconds;
        std::size_t files = 0;
    };
    std::vector<Contender> contenders = {
        {"find", [&] { return runFind(root); }, {}},
        {"list", [&] { return runScan(root, Files::List); }, {}},
        {"filter", [&] { return runScan(root, Files::Filter); }, {}},
        {"listed", [&] { return runScan(root, Files::Listed); }, {}},
        {"kept", [&] { return runScan(root, Files::Kept); }, {}},
    };
    // ONLY names one contender to run once, untimed, for counting its system calls
    // (strace -c pellatrix_scan_bench TREE 1 listed).
    if (argc > 3) {
        for (Contender& c : contenders) {
            if (std::string(argv[3]) == c.name) {
                std::printf("%s: %zu files\n", c.name, c.run().files);
                return 0;
            }
        }
        std::fprintf(stderr, "no contender named %s\n", argv[3]);
        return 2;
    }
    // One warm-up of each, so all start from the same cached tree.
    for (Contender& c : contenders) {
        c.run();
    }
    for (int i = 0; i < repeats; ++i) {
        // Rotate which one goes first, so none always meets another's leftovers.
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            Contender& c = contenders[(i + k) % contenders.size()];
            const Timed t = c.run();
            c.seconds.push_back(t.seconds);
            c.files = t.files;
        }
    }
    const double find = median(contenders[0].seconds);
    bool same = true;
    std::printf("median of %d runs (ms), files found, ratio to find:\n", repeats);
    for (const Contender& c : contenders) {
        const double ms = median(c.seconds) * 1000;
        same = same && c.files == contenders[0].files;
        std::printf("  %-7s %8.1f ms  %7zu files  %.2fx%s\n", c.name, ms, c.files,
                    median(c.seconds) / find,
                    c.files == contenders[0].files ? "" : "  (DIFFERENT)");
    }
    return same ? 0 : 1;
}
