#include "cli/StandardInput.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "engine/FsError.h"

namespace pellatrix {

namespace {

constexpr std::size_t kReadChunk = 1 << 16;

// True when `path` and standard input are one regular file (a list redirected from a file).
bool isStandardInput(const std::string& path) {
    struct stat in {};
    struct stat other {};
    return ::fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) &&
           ::stat(path.c_str(), &other) == 0 && in.st_dev == other.st_dev &&
           in.st_ino == other.st_ino;
}

}  // namespace

void PipedFileSystem::readFile(const std::string& path,
                               const std::function<void(std::string_view)>& sink) {
    if (path != kStandardInputName) {
        PosixFileSystem::readFile(path, sink);
        return;
    }
    // A pipe or a terminal is read until its writer ends it, as any filter does.
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        ssize_t got = ::read(STDIN_FILENO, buffer.get(), kReadChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Standard input was left non-blocking by whoever handed it over: wait for it.
                struct pollfd in {
                    STDIN_FILENO, POLLIN, 0
                };
                ::poll(&in, 1, -1);
                continue;
            }
            ThrowErrno(errno, "Cannot read standard input");
        }
        if (got == 0) {
            return;
        }
        sink(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
}

bool PipedFileSystem::isSameFile(const std::string& a, const std::string& b) {
    if (a == kStandardInputName) {
        return isStandardInput(b);
    }
    if (b == kStandardInputName) {
        return isStandardInput(a);
    }
    return PosixFileSystem::isSameFile(a, b);
}

}  // namespace pellatrix
