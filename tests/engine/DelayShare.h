#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "tests/engine/TempFolder.h"

namespace pellatrix::test {

/// A folder `root` in a temporary folder, on delayfs (bench/network: a pass-through FUSE file
/// system answering each request after a set delay) where FUSE can be mounted here, as on a
/// network share; otherwise a plain folder. Unmounted when it goes. Without `inodes`, the share
/// gives each name a number of its own, as sshfs and most FUSE file systems do.
class DelayShare {
public:
    explicit DelayShare(long delayMicroseconds, bool inodes = true) {
        ::mkdir(root.c_str(), 0755);
        ::mkdir(backing.c_str(), 0755);
        const std::string delayfs = std::string(PELLATRIX_BIN_DIR) + "/delayfs";
        if (::access(delayfs.c_str(), X_OK) != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0 ||
            std::system("command -v fusermount3 >/dev/null 2>&1") != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            const std::string delay = std::to_string(delayMicroseconds);
            ::execl(delayfs.c_str(), delayfs.c_str(), inodes ? "--threads=256" : "--no-inodes",
                    delay.c_str(), backing.c_str(), root.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !m_mounted; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            m_mounted = isMounted();
            if (!m_mounted && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
        }
    }
    DelayShare(const DelayShare&) = delete;
    DelayShare& operator=(const DelayShare&) = delete;
    ~DelayShare() {
        if (m_pid > 0) {
            const std::string unmount = "fusermount3 -u '" + root +
                                        "' 2>/dev/null || fusermount3 -uz '" + root +
                                        "' 2>/dev/null";
            if (m_mounted && std::system(unmount.c_str()) != 0) {
                ::kill(m_pid, SIGTERM);
            }
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool onFuse() const { return m_mounted; }

    TempFolder tmp;
    const std::string root = tmp / "t";
    const std::string backing = tmp / "backing";

private:
    bool isMounted() const {
        std::ifstream info("/proc/self/mountinfo");
        std::string line;
        while (std::getline(info, line)) {
            if (line.find(" " + root + " ") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    pid_t m_pid = -1;
    bool m_mounted = false;
};

}  // namespace pellatrix::test
