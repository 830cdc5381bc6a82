// The undo's half of PosixFileSystem: folders held open, and every look and act relative to
// one of them, never through a symbolic link.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/fs/FsError.h"
#include "engine/journal/JournalFormat.h"
#include "engine/lists/ShownText.h"
#include "engine/posix/FileSystemKind.h"
#include "engine/posix/PosixFileSystem.h"

namespace pellatrix {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Copies what putBackContent puts back into `to`, from its start.
int copyInto(int source, std::uint64_t offset, int to, std::uint64_t size) {
    bool plain = false;
    off_t from = static_cast<off_t>(offset);
    off_t at = 0;
    return journal::CopyRange(source, &from, to, &at, size, plain);
}

}  // namespace

FolderHandle PosixFileSystem::openFolder(const std::string& path, bool followLinks) {
    const std::string what = "Cannot open folder " + QuotedPath(path);
    if (followLinks) {
        Fd fd(::open(path.c_str(), kFolderFlags));
        if (fd.get() < 0) {
            ThrowErrno(errno, what);
        }
        return FolderHandle(std::move(fd));
    }
    const bool absolute = !path.empty() && path[0] == '/';
    Fd at(::open(absolute ? "/" : ".", kFolderFlags));
    std::size_t begin = absolute ? 1 : 0;
    while (at.get() >= 0 && begin < path.size()) {
        std::size_t next = path.find('/', begin);
        if (next == std::string::npos) {
            next = path.size();
        }
        const std::string level = path.substr(begin, next - begin);
        if (!level.empty() && level != ".") {
            at = Fd(::openat(at.get(), level.c_str(), kFolderFlags | O_NOFOLLOW));
        }
        begin = next + 1;
    }
    if (at.get() < 0) {
        ThrowErrno(errno, what);
    }
    return FolderHandle(std::move(at));
}

FolderHandle PosixFileSystem::openFolderIn(const FolderHandle& at, const std::string& name) {
    Fd fd(::openat(at.fd(), name.c_str(), kFolderFlags | O_NOFOLLOW));
    if (fd.get() < 0) {
        ThrowErrno(errno, "Cannot open folder " + QuotedPath(name));
    }
    return FolderHandle(std::move(fd));
}

bool PosixFileSystem::keepsFileNumbers(const FolderHandle& at) {
    struct statfs fs {};
    return ::fstatfs(at.fd(), &fs) != 0 ||
           NumbersKeptByFileSystemType(static_cast<unsigned long>(fs.f_type));
}

std::optional<EntryStat> PosixFileSystem::lookAt(const FolderHandle& at, const std::string& name) {
    struct stat st {};
    if (::fstatat(at.fd(), name.c_str(), &st,
                  AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0)) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        ThrowErrno(errno, "Cannot look at " + QuotedPath(name));
    }
    return journal::EntryStatOf(st);
}

Fd PosixFileSystem::openFileIn(const FolderHandle& at, const std::string& name, EntryStat& opened) {
    Fd fd(::openat(at.fd(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        ThrowErrno(errno, "Cannot open " + QuotedPath(name));
    }
    opened = journal::EntryStatOf(st);
    return fd;
}

void PosixFileSystem::createFileIn(const FolderHandle& at, const std::string& name) {
    Fd fd(::openat(at.fd(), name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        ThrowErrno(errno, "Cannot create " + QuotedPath(name));
    }
}

void PosixFileSystem::removeIn(const FolderHandle& at, const std::string& name, bool folder) {
    if (::unlinkat(at.fd(), name.c_str(), folder ? AT_REMOVEDIR : 0) != 0) {
        ThrowErrno(errno, "Cannot remove " + QuotedPath(name));
    }
}

void PosixFileSystem::renameIn(const FolderHandle& from, const std::string& fromName,
                               const FolderHandle& to, const std::string& toName) {
    if (::renameat(from.fd(), fromName.c_str(), to.fd(), toName.c_str()) != 0) {
        ThrowErrno(errno, "Cannot rename " + QuotedPath(fromName) + " to " + QuotedPath(toName));
    }
}

FileIdentity PosixFileSystem::putBackContent(const FolderHandle& at, const std::string& name,
                                             const FileIdentity& checked, bool inPlace,
                                             const KeptContent& kept) {
    const std::string what = "Cannot put back the old content of " + QuotedPath(name);
    struct stat st {};
    if (inPlace) {
        // Emptied only once the open is seen to reach the file checked.
        Fd to(::openat(at.fd(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (to.get() < 0 || ::fstat(to.get(), &st) != 0) {
            ThrowErrno(errno, what);
        }
        if (!(journal::IdentityOf(st) == checked)) {
            ThrowErrno(ESTALE, what);
        }
        int err = ::ftruncate(to.get(), 0) != 0
                      ? errno
                      : copyInto(kept.source, kept.offset, to.get(), kept.size);
        if (const int closeErr = to.closeChecked(); err == 0) {
            err = closeErr;
        }
        if (err != 0) {
            ThrowErrno(err, what);
        }
        return journal::IdentityOf(st);
    }
    // The run's file kept the old file's owner and group: the old content goes back with them,
    // also when root undoes a user's run.
    struct stat now {};
    if (::fstatat(at.fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        ThrowErrno(errno, what);
    }
    if (!(journal::IdentityOf(now) == checked)) {
        ThrowErrno(ESTALE, what);
    }
    const std::string temp = ".pellatrix-undo-" + std::to_string(::getpid());
    Fd to(::openat(at.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
    if (to.get() < 0) {
        ThrowErrno(errno, what);
    }
    int err = copyInto(kept.source, kept.offset, to.get(), kept.size);
    if (err == 0 && (now.st_uid != processIds().uid || now.st_gid != processIds().gid) &&
        ::fchown(to.get(), now.st_uid, now.st_gid) != 0 && errno != EPERM) {
        err = errno;
    }
    if (err == 0 && ::fchmod(to.get(), kept.mode & 07777) != 0) {
        err = errno;
    }
    if (err == 0 && ::fstat(to.get(), &st) != 0) {
        err = errno;
    }
    if (const int closeErr = to.closeChecked(); err == 0) {
        err = closeErr;
    }
    if (err == 0 && ::renameat(at.fd(), temp.c_str(), at.fd(), name.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlinkat(at.fd(), temp.c_str(), 0);
        ThrowErrno(err, what);
    }
    return journal::IdentityOf(st);
}

}  // namespace pellatrix
