#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/FileSystem.h"
#include "engine/FsError.h"
#include "engine/ShownText.h"

namespace pellatrix {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
// How long a write to a pipe that has a reader but does not drain it may wait before it fails.
constexpr int kPipeWaitMs = 10000;

// The path as it is shown in a failure: quoted, shortened in the middle when it is longer than
// any path the system takes (a failure text stays small whatever the list held), with a NUL byte
// made visible instead of ending the text early.
std::string quoted(const std::string& path) {
    std::string out = "'";
    for (char c : ShortenedInTheMiddle(path)) {
        if (c == '\0') {
            out += "\\0";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

// A path with a NUL byte would reach the kernel cut short, naming another file; refuse it.
void refuseNul(const std::string& path, const std::string& what) {
    if (path.find('\0') != std::string::npos) {
        ThrowErrno(EINVAL, what);
    }
}

bool isNotFoundOnParentChain(int err) {
    return err == ENOENT || err == ENOTDIR;
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int get() const { return m_fd; }
    // Closes now and answers errno of a failing close (0 when it worked).
    int closeChecked() {
        int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

#ifdef __linux__
// Kernel and pseudo file systems whose folders are no place for list files; a scan skips them.
bool isVirtualFileSystem(const std::string& path, const struct stat& st) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) {
        return false;
    }
    static constexpr std::array<unsigned long, 19> kVirtual = {
        0x9fa0UL,      // proc
        0x62656572UL,  // sysfs
        0x1cd1UL,      // devpts
        0x27e0ebUL,    // cgroup
        0x63677270UL,  // cgroup2
        0x64626720UL,  // debugfs
        0x74726163UL,  // tracefs
        0x73636673UL,  // securityfs
        0x6165676cUL,  // pstore
        0xcafe4a11UL,  // bpf
        0x62656570UL,  // configfs
        0x42494e4dUL,  // binfmt_misc
        0x19800202UL,  // mqueue
        0x958458f6UL,  // hugetlbfs
        0x65735543UL,  // fusectl
        0xde5e81e4UL,  // efivarfs
        0xf97cff8cUL,  // selinuxfs
        0x6e736673UL,  // nsfs
        0x67596969UL,  // rpc_pipefs
    };
    auto type = static_cast<unsigned long>(fs.f_type) & 0xffffffffUL;
    for (unsigned long magic : kVirtual) {
        if (type == magic) {
            return true;
        }
    }
    // devtmpfs reports the tmpfs magic; tell it by sharing the device of /dev.
    if (type == 0x01021994UL) {
        struct stat dev {};
        return ::stat("/dev", &dev) == 0 && dev.st_dev == st.st_dev;
    }
    return false;
}
#else
bool isVirtualFileSystem(const std::string&, const struct stat&) {
    return false;
}
#endif

// The last name of `path` (final separators ignored) begins with "." and is not "..".
bool hasHiddenName(const std::string& path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return false;
    }
    const std::size_t slash = path.rfind('/', end);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::string_view name(path.data() + start, end - start + 1);
    return name.size() > 1 && name[0] == '.' && name != "..";
}

}  // namespace

void PosixFileSystem::readFile(const std::string& path,
                               const std::function<void(std::string_view)>& sink) {
    const std::string what = "Cannot open " + quoted(path) + " for reading";
    refuseNul(path, what);
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is refused just below.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        ThrowErrno(errno, what);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    if (S_ISDIR(st.st_mode)) {
        ThrowErrno(EISDIR, what);
    }
    if (!S_ISREG(st.st_mode)) {
        throw FsError(kErrPathFileAccess, what + ": Not a regular file");
    }
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer.get(), kReadChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno(errno, "Cannot read " + quoted(path));
        }
        if (got == 0) {
            break;
        }
        sink(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
}

void PosixFileSystem::writeFile(const std::string& path, std::string_view text,
                                const WriteGuard& guard) {
    const std::string what = "Cannot open " + quoted(path) + " for writing";
    refuseNul(path, what);
    // No O_TRUNC: the guard first sees the file the open really reached, whatever link led
    // there, and refusing it then leaves it untouched. O_NONBLOCK: a FIFO without a reader
    // fails with ENXIO instead of waiting for one.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        int err = errno;
        if (isNotFoundOnParentChain(err)) {
            throw FsError(kErrPathNotFound, what + ": " + std::strerror(err));
        }
        ThrowErrno(err, what);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    if (guard) {
        guard({static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    }
    // Only a regular file has a length to cut; a FIFO or device takes the text as it comes.
    const bool regular = S_ISREG(st.st_mode);
    // Emptying an empty file for an empty text still marks it as replaced, as O_TRUNC would.
    if (regular && (st.st_size != 0 || text.empty()) && ::ftruncate(fd.get(), 0) != 0) {
        ThrowErrno(errno, what);
    }
    const std::string writeWhat = "Cannot write " + quoted(path);
    // A write that fails part-way leaves the file empty, never holding the first part of the
    // text (best effort: the failure is reported whether or not the emptying works).
    auto fail = [&](int err) {
        if (regular) {
            [[maybe_unused]] int ignored = ::ftruncate(fd.get(), 0);
        }
        ThrowErrno(err, writeWhat);
    };
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t put = ::write(fd.get(), text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                // A pipe with a reader that is slow: wait a bounded time, never forever.
                struct pollfd p {
                    fd.get(), POLLOUT, 0
                };
                int ready = ::poll(&p, 1, kPipeWaitMs);
                if (ready > 0) {
                    continue;
                }
                fail(ready == 0 ? ETIMEDOUT : errno);
            }
            fail(errno);
        }
        if (put == 0) {
            fail(EIO);
        }
        done += static_cast<std::size_t>(put);
    }
    if (int err = fd.closeChecked(); err != 0) {
        // A failed close may have lost written data, so the file is emptied like after any
        // failed write. The descriptor is gone: open the path again and cut it only when it is
        // still the very file that was written.
        if (regular) {
            Fd again(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            struct stat now {};
            if (again.get() >= 0 && ::fstat(again.get(), &now) == 0 && now.st_dev == st.st_dev &&
                now.st_ino == st.st_ino) {
                [[maybe_unused]] int ignored = ::ftruncate(again.get(), 0);
            }
        }
        ThrowErrno(err, writeWhat);
    }
}

FileIdentity PosixFileSystem::fileIdentity(const std::string& path) {
    const std::string what = "Cannot read the identity of " + quoted(path);
    refuseNul(path, what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

void PosixFileSystem::createFolder(const std::string& path) {
    const std::string what = "Cannot create folder " + quoted(path);
    refuseNul(path, what);
    if (::mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        if (isNotFoundOnParentChain(err)) {
            throw FsError(kErrPathNotFound, what + ": " + std::strerror(err));
        }
        ThrowErrno(err, what);
    }
}

std::int64_t PosixFileSystem::lastModified(const std::string& path) {
    const std::string what = "Cannot read the time of " + quoted(path);
    refuseNul(path, what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

int PosixFileSystem::attributes(const std::string& path) {
    std::optional<FolderIdentity> identity;
    return attributesAndIdentity(path, identity);
}

int PosixFileSystem::attributesAndIdentity(const std::string& path,
                                           std::optional<FolderIdentity>& identity) {
    // The failure text is built only on failure: a scan asks this of every folder.
    const auto fail = [&](int err) {
        ThrowErrno(err, "Cannot read the attributes of " + quoted(path));
    };
    if (path.find('\0') != std::string::npos) {
        fail(EINVAL);
    }
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) != 0) {
        fail(errno);
    }
    int attrs = 0;
    struct stat st = lst;
    if (S_ISLNK(lst.st_mode)) {
        attrs |= kAttrReparsePoint;
        // A link answers for its target; a dangling one is just the link.
        if (::stat(path.c_str(), &st) != 0) {
            st = lst;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        attrs |= kAttrDirectory;
        identity = FolderIdentity{static_cast<std::uint64_t>(st.st_dev),
                                  static_cast<std::uint64_t>(st.st_ino)};
        if (isVirtualFileSystem(path, st)) {
            // Exactly a hidden system folder (22, 1046 through a link), whoever asks, so every
            // scan leaves /proc, /sys and /dev out; a read-only bit would make it 23 for users.
            return attrs | kAttrHidden | kAttrSystem;
        }
    } else if (S_ISREG(st.st_mode)) {
        attrs |= kAttrArchive;
    }
    if (hasHiddenName(path)) {
        attrs |= kAttrHidden;
    }
    if (::access(path.c_str(), W_OK) != 0) {
        attrs |= kAttrReadOnly;
    }
    return attrs;
}

bool PosixFileSystem::isRootFolder(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    struct stat st {};
    struct stat root {};
    return ::stat(path.c_str(), &st) == 0 && ::stat("/", &root) == 0 && S_ISDIR(st.st_mode) &&
           st.st_dev == root.st_dev && st.st_ino == root.st_ino;
}

bool PosixFileSystem::isExistingFile(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FolderIdentity PosixFileSystem::folderIdentity(const std::string& path) {
    const std::string what = "Cannot read folder " + quoted(path);
    refuseNul(path, what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (isNotFoundOnParentChain(err)) {
            throw FsError(kErrPathNotFound, what + ": " + std::strerror(err));
        }
        ThrowErrno(err, what);
    }
    if (!S_ISDIR(st.st_mode)) {
        throw FsError(kErrPathNotFound, what + ": " + std::strerror(ENOTDIR));
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace pellatrix
