#include "engine/fs/FullIo.h"

#include <unistd.h>

#include <cerrno>

namespace pellatrix {

int WriteFully(int fd, std::string_view bytes, off_t at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = at < 0 ? ::write(fd, bytes.data() + done, bytes.size() - done)
                                   : ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                              at + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(put);
    }
    return 0;
}

int ReadFully(int fd, char* into, std::size_t length, off_t at) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd, into + done, length - done, at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

int ReadToEnd(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        into.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace pellatrix
