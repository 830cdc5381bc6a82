#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pellatrix::test {

/// A scratch folder on the real disk, readable by every user, removed with everything in it.
class TempTree {
public:
    TempTree() {
        std::string pattern = "/tmp/pellatrix-scan-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_root = pattern;
        // Open to the unprivileged user that the permission tests switch to.
        ::chmod(m_root.c_str(), 0755);
    }
    ~TempTree() {
        for (const std::string& path : m_locked) {
            ::chmod(path.c_str(), 0755);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    /// The root, without a final separator.
    const std::string& root() const { return m_root; }
    std::string path(const std::string& relative) const { return m_root + "/" + relative; }

    void folder(const std::string& relative) {
        std::filesystem::create_directories(path(relative));
    }
    void file(const std::string& relative, const std::string& text = "x") {
        const std::string p = path(relative);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) < 0 || ::close(fd) != 0) {
            throw std::runtime_error("cannot write " + p);
        }
    }
    void link(const std::string& relative, const std::string& target) {
        std::filesystem::create_symlink(target, path(relative));
    }
    void fifo(const std::string& relative) {
        if (::mkfifo(path(relative).c_str(), 0644) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
    }
    /// Takes every permission away from a folder, or sets `mode` (restored before removal).
    void lock(const std::string& relative, mode_t mode = 0) {
        ::chmod(path(relative).c_str(), mode);
        m_locked.push_back(path(relative));
    }

private:
    std::string m_root;
    std::vector<std::string> m_locked;
};

/// The entry names of `folder` in readdir order, without "." and "..".
inline std::vector<std::string> ReaddirOrder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

/// Runs `work` as a user without privileges and answers its text. As root it forks a child that
/// drops to uid/gid 65534 (so permission checks apply); otherwise it runs in place.
inline std::string RunUnprivileged(const std::function<std::string()>& work) {
    if (::geteuid() != 0) {
        return work();
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return "fork failed";
    }
    if (child == 0) {
        ::close(fds[0]);
        int code = 1;
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const std::string text = work();
            std::size_t done = 0;
            while (done < text.size()) {
                const ssize_t put = ::write(fds[1], text.data() + done, text.size() - done);
                if (put <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(put);
            }
            code = done == text.size() ? 0 : 1;
        }
        ::close(fds[1]);
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "unprivileged child failed";
    }
    return text;
}

}  // namespace pellatrix::test
