#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pellatrix {

/// An open descriptor, closed when it goes (-1: none). Moved, never copied.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    int get() const { return m_fd; }
    /// Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(m_fd, -1); }
    /// Closes it now, answering 0 or errno: a failed close may have lost written data.
    int closeChecked() {
        const int fd = release();
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

}  // namespace pellatrix
