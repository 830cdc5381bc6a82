#include "cli/StandardInput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "engine/fs/Fd.h"
#include "engine/fs/FsError.h"

namespace pellatrix {

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 20;

// Reads `fd` to its end. Anything but a regular file is waited for with poll before each read:
// a FIFO opened without blocking has no writer yet, and reading it at once would end it empty,
// while poll waits until a writer has come (and answers at once when it has already gone).
void readStream(int fd, bool regular, const std::string& what,
                const std::function<void(std::string_view)>& sink) {
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        if (!regular) {
            struct pollfd in {
                fd, POLLIN, 0
            };
            if (::poll(&in, 1, -1) < 0 && errno != EINTR) {
                ThrowErrno(errno, what);
            }
        }
        ssize_t got = ::read(fd, buffer.get(), kReadChunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            ThrowErrno(errno, what);
        }
        if (got == 0) {
            return;
        }
        sink(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
}

}  // namespace

void PipedFileSystem::readFile(const std::string& path,
                               const std::function<void(std::string_view)>& sink) {
    if (const auto kept = m_kept.find(path); kept != m_kept.end()) {
        readKept(kept->second.get(), sink);
        return;
    }
    const bool standardInput = path == kStandardInputName;
    // Every report of a list or of the fixed text names the file in front already.
    const std::string what =
        standardInput ? std::string("Cannot read standard input") : "Cannot open for reading";
    if (!standardInput && path.find('\0') != std::string::npos) {
        ThrowErrno(EINVAL, what);
    }
    // O_NONBLOCK: opening a FIFO does not wait for its writer here; readStream waits instead.
    // Standard input is the process's own: read, never closed here.
    const Fd opened(standardInput ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const int fd = standardInput ? STDIN_FILENO : opened.get();
    if (fd < 0) {
        ThrowErrno(errno, what);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ThrowErrno(errno, what);
    }
    if (S_ISDIR(st.st_mode)) {
        ThrowErrno(EISDIR, what);
    }
    if (S_ISBLK(st.st_mode)) {
        // A disk is no list: reading it would take its whole size as one line.
        throw FsError(kErrPathFileAccess, what + ": Is a block device, not a file or a stream");
    }
    const std::string failed = standardInput ? what : "Cannot read";
    // Standard input from a file is kept too: read again, it would start where the run ended.
    if ((S_ISREG(st.st_mode) && !standardInput) || !m_keepStreams) {
        readStream(fd, S_ISREG(st.st_mode), failed, sink);
        return;
    }
    // Kept where temporary files go, without a name: nothing is left behind, whatever ends the
    // run. Where it cannot be kept, or only in part, the stream is read as ever and not kept.
    const char* folder = std::getenv("TMPDIR");
    Fd copy(::open(folder != nullptr && folder[0] == '/' ? folder : "/tmp",
                   O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    bool whole = copy.get() >= 0;
    readStream(fd, S_ISREG(st.st_mode), failed, [&](std::string_view chunk) {
        whole = whole && ::write(copy.get(), chunk.data(), chunk.size()) ==
                             static_cast<ssize_t>(chunk.size());
        sink(chunk);
    });
    if (whole) {
        m_kept[path] = std::move(copy);
    }
}

void PipedFileSystem::readKept(int fd, const std::function<void(std::string_view)>& sink) {
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer.get(), kReadChunk, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ThrowErrno(errno, "Cannot read the kept copy of a stream");
        }
        if (got == 0) {
            return;
        }
        sink(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
        at += got;
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
