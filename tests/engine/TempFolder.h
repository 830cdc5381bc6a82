#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>

namespace pellatrix::test {

/// A scoped temporary folder on the real disk, removed with everything in it.
class TempFolder {
public:
    /// In the system's temporary folder, or in `base` when one is given.
    explicit TempFolder(const std::string& base = {}) {
        std::string pattern =
            ((base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base)) /
             "pellatrix-XXXXXX")
                .string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
        // Open to everyone, so the unprivileged child of permission checks can reach it.
        ::chmod(m_path.c_str(), 0755);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ec;
        // Give back every permission first, so nothing stays behind.
        for (auto it = std::filesystem::recursive_directory_iterator(
                 m_path, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) {
                ::chmod(it->path().c_str(), 0777);
            }
        }
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Runs `body` in a child process without root rights (uid/gid 65534 when run as root), so
/// permission checks hold in CI too. Answers the child's exit status; 0 means every check held.
inline int runUnprivileged(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid < 0) {
        return 97;
    }
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(99);
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return 96;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

}  // namespace pellatrix::test
