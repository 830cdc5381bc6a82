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

FileIdentity PipedFileSystem::fileIdentity(const std::string& path) {
    if (path != kStandardInputName) {
        return PosixFileSystem::fileIdentity(path);
    }
    struct stat in {};
    if (::fstat(STDIN_FILENO, &in) != 0) {
        ThrowErrno(errno, "Cannot read the identity of standard input");
    }
    return {static_cast<std::uint64_t>(in.st_dev), static_cast<std::uint64_t>(in.st_ino)};
}

}  // namespace pellatrix
