#include "engine/posix/ContentWrite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engine/fs/FsError.h"
#include "engine/lists/ShownText.h"
#include "engine/posix/PosixFileSystem.h"

namespace pellatrix {

namespace {

// A stop signal is looked at between chunks of a copy, as between chunks of a text.
constexpr std::uint64_t kCopyChunk = std::uint64_t{64} << 20;
constexpr std::size_t kBufferChunk = std::size_t{1} << 20;
constexpr std::size_t kZeroChunk = std::size_t{64} << 10;

// Whether the last write of this thread failed because its template changed: told in words of
// its own, whatever errno the write path carried it as.
thread_local bool t_templateChanged = false;

std::int64_t nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether the template is still the file it was when opened: its name reaches the same file (an
// editor's save renames a new file over it), of the same size and times (any write moves them).
// One look by name answers both.
bool unchanged(const TemplateFile& file) {
    struct stat st {};
    return ::stat(file.path.c_str(), &st) == 0 &&
           static_cast<std::uint64_t>(st.st_dev) == file.device &&
           static_cast<std::uint64_t>(st.st_ino) == file.inode &&
           static_cast<std::uint64_t>(st.st_size) == file.size &&
           nanoseconds(st.st_mtim) == file.mtimeNs && nanoseconds(st.st_ctim) == file.ctimeNs;
}

// Whether a failure says only that this way of copying does not work between these two files.
bool wayNotOffered(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTTY ||
           err == EBADF || err == ETXTBSY || err == EPERM;
}

int writeZeros(int fd, std::uint64_t size, const WriteSection& section, WriteText writeText) {
    // Its length alone: the file system keeps the zeros as holes where it can. Only a regular
    // file has a length (a stream answers EINVAL); looked at only then, as most targets are files.
    if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
        return 0;
    }
    const int err = errno;
    struct stat target {};
    if (err != EINVAL || ::fstat(fd, &target) != 0 || S_ISREG(target.st_mode)) {
        return err;
    }
    static const char kZeros[kZeroChunk] = {};
    for (std::uint64_t left = size; left != 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kZeroChunk));
        if (int err = writeText(fd, std::string_view(kZeros, n), section); err != 0) {
            return err;
        }
        left -= n;
    }
    return 0;
}

int copyTemplate(int fd, const ContentBody& body, const WriteSection& section,
                 WriteText writeText) {
    const TemplateFile& source = *body.source;
    const std::uint64_t length = body.length();
    // Where blocks cannot be shared (another file system, a stream) this fails at once.
    if (length == source.size && ::ioctl(fd, FICLONE, source.fd.get()) == 0) {
        return 0;
    }
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    for (std::uint64_t done = 0; done < length;) {
        if (section.stopRequested()) {
            return kWriteStopped;
        }
        auto from = static_cast<loff_t>(done % source.size);
        const std::uint64_t want =
            std::min({source.size - static_cast<std::uint64_t>(from), length - done, kCopyChunk});
        if (kernelCopy) {
            // Into the file's own position, so a fall-back to the buffer goes on from there.
            const ssize_t got = ::copy_file_range(source.fd.get(), &from, fd, nullptr,
                                                  static_cast<std::size_t>(want), 0);
            if (got > 0) {
                done += static_cast<std::uint64_t>(got);
                continue;
            }
            if (got == 0) {
                return kTemplateChanged;  // shorter than when opened
            }
            if (errno == EINTR) {
                continue;
            }
            if (!wayNotOffered(errno)) {
                return errno;
            }
            kernelCopy = false;
        }
        if (!buffer) {
            buffer.reset(new char[kBufferChunk]);
        }
        const ssize_t got =
            ::pread(source.fd.get(), buffer.get(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(want, kBufferChunk)),
                    static_cast<off_t>(from));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0 ? kTemplateChanged : errno;
        }
        if (int err = writeText(fd, std::string_view(buffer.get(), static_cast<std::size_t>(got)),
                                section);
            err != 0) {
            return err;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return 0;
}

}  // namespace

const ContentBody*& BodyOnThisThread() {
    thread_local const ContentBody* body = nullptr;
    return body;
}

int WriteBody(int fd, const ContentBody& body, const WriteSection& section, WriteText writeText) {
    if (body.source != nullptr) {
        const int err = body.source->size == 0 ? writeZeros(fd, body.length(), section, writeText)
                                               : copyTemplate(fd, body, section, writeText);
        // Looked at once copied: a change before or during the copy would leave a mix.
        if (err != kWriteStopped && !unchanged(*body.source)) {
            t_templateChanged = true;
            return kTemplateChanged;
        }
        return err;
    }
    if (!body.sized) {
        return writeText(fd, body.text, section);
    }
    if (body.text.empty()) {
        return writeZeros(fd, body.size, section, writeText);
    }
    // The text holds whole repeats of its unit: one after another, the last cut.
    for (std::uint64_t left = body.size; left != 0;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, body.text.size()));
        if (int err = writeText(fd, body.text.substr(0, n), section); err != 0) {
            return err;
        }
        left -= n;
    }
    return 0;
}

std::unique_ptr<TemplateFile> PosixFileSystem::openTemplate(const std::string& path) {
    const std::string what = "Cannot open " + QuotedPath(path) + " for reading";
    if (path.find('\0') != std::string::npos) {
        ThrowErrno(EINVAL, what);
    }
    auto file = std::make_unique<TemplateFile>();
    file->path = path;
    file->fd = Fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file->fd.get() < 0 || ::fstat(file->fd.get(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    if (S_ISDIR(st.st_mode)) {
        ThrowErrno(EISDIR, what);
    }
    if (!S_ISREG(st.st_mode)) {
        return nullptr;
    }
    file->size = static_cast<std::uint64_t>(st.st_size);
    file->device = static_cast<std::uint64_t>(st.st_dev);
    file->inode = static_cast<std::uint64_t>(st.st_ino);
    file->mtimeNs = nanoseconds(st.st_mtim);
    file->ctimeNs = nanoseconds(st.st_ctim);
    return file;
}

void PosixFileSystem::writeFileFrom(const std::string& path, const ContentBody& body,
                                    const WriteGuard& guard) {
    struct Scope {
        const ContentBody*& slot;
        ~Scope() { slot = nullptr; }
    } scope{BodyOnThisThread() = &body};
    t_templateChanged = false;
    try {
        writeFile(path, {}, guard);
    } catch (const FsError& e) {
        if (body.source == nullptr || !t_templateChanged) {
            throw;
        }
        throw FsError(kErrPathFileAccess,
                      "Cannot write " + QuotedPath(path) + ": the template " +
                          QuotedPath(body.source->path) +
                          " changed during the run (its size, time or identity)",
                      e.cause());
    }
}

}  // namespace pellatrix
