#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

#include "engine/fs/Fd.h"
#include "engine/fs/FsError.h"
#include "engine/fs/FullIo.h"
#include "engine/fs/StopSignals.h"
#include "engine/journal/JournalFormat.h"
#include "engine/lists/ShownText.h"
#include "engine/posix/ContentWrite.h"
#include "engine/posix/FileSystemKind.h"
#include "engine/posix/PosixFileSystem.h"
#include "engine/posix/WriteDecision.h"

namespace pellatrix {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
// How long a write to a pipe that has a reader but does not drain it may wait before it fails.
constexpr int kPipeWaitMs = 10000;
// How often a worker waiting for another run's lock tries it again.
constexpr std::chrono::milliseconds kLockLook{20};

// What a failure on a path says ("Cannot open 'p' for writing"), put together only when it
// is said: a run of a million files builds no text it never shows.
class Failing {
public:
    Failing(const char* lead, const std::string& path, const char* tail = "")
        : m_lead(lead), m_path(path), m_tail(tail) {}
    std::string text() const { return m_lead + QuotedPath(m_path) + m_tail; }
    std::string operator+(const char* more) const { return text() + more; }

private:
    const char* m_lead;
    const std::string& m_path;
    const char* m_tail;
};

using pellatrix::ThrowErrno;
[[noreturn]] void ThrowErrno(int err, const Failing& what) {
    ThrowErrno(err, what.text());
}

// A path with a NUL byte would reach the kernel cut short, naming another file: refused, as is
// one longer than any the system takes.
template <typename What>
void refuseUnusablePath(const std::string& path, const What& what) {
    if (path.find('\0') != std::string::npos) {
        ThrowErrno(EINVAL, what);
    }
    // Refused as the system would, before anything (the journal) copies it: a list line of
    // 2 GiB is one path.
    if (path.size() >= PATH_MAX) {
        ThrowErrno(ENAMETOOLONG, what);
    }
}

bool isNotFoundOnParentChain(int err) {
    return err == ENOENT || err == ENOTDIR;
}

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

// What writeAll answers when a stop signal came: the caller takes back what it made.
constexpr int kStopped = -1;
// A stop signal is looked at between chunks, so even a very large text stops within moments.
constexpr std::size_t kWriteChunk = std::size_t{4} << 20;
// The temporary name keeps at most this much of the target's name, so it stays within NAME_MAX.
constexpr std::size_t kTempNameMax = NAME_MAX - 1 - kTemporaryMark.size() - kTemporaryRandom;
constexpr int kTempAttempts = 3;
// At most this many folders are kept open during a run (and an eighth of the open-file limit).
constexpr std::size_t kFolderFdsMax = 256;
constexpr int kTempNameTries = 100;

[[noreturn]] void throwOpenFailure(int err, const Failing& what) {
    if (isNotFoundOnParentChain(err)) {
        ThrowErrnoAs(kErrPathNotFound, err, what.text());
    }
    ThrowErrno(err, what);
}

// Writes all of `text` (or the body writeFileFrom gave this thread); answers 0, the errno of
// the failure, or kStopped.
int writeAll(int fd, std::string_view text, const WriteSection& section) {
    static_assert(kStopped == kWriteStopped);
    if (const ContentBody* body = std::exchange(BodyOnThisThread(), nullptr)) {
        const int err = WriteBody(fd, *body, section, writeAll);
        BodyOnThisThread() = body;
        return err;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        if (section.stopRequested()) {
            return kStopped;
        }
        ssize_t put = ::write(fd, text.data() + done, std::min(kWriteChunk, text.size() - done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return errno;
            }
            // A pipe with a reader that is slow: wait a bounded time, never forever. A worker,
            // which no stop signal interrupts, is woken by the stop's own descriptor.
            pollfd p[2] = {{fd, POLLOUT, 0}, {StopSignalFd(), POLLIN, 0}};
            const int ready = ::poll(p, 2, kPipeWaitMs);
            if (section.stopRequested()) {
                return kStopped;
            }
            if (ready == 0) {
                return ETIMEDOUT;
            }
            if (ready < 0 && errno != EINTR) {
                return errno;
            }
            continue;
        }
        if (put == 0) {
            return EIO;
        }
        done += static_cast<std::size_t>(put);
    }
    return section.stopRequested() ? kStopped : 0;
}

// Random letters and digits for a temporary name; O_EXCL settles any clash.
std::string randomLetters() {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::uint64_t state = [] {
        std::uint64_t seed = std::random_device()();
        seed =
            seed << 32 ^ static_cast<std::uint64_t>(::getpid()) ^
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return seed | 1;
    }();
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::string out(kTemporaryRandom, 'x');
    std::uint64_t bits = state * 0x2545f4914f6cdd1dULL;
    for (char& c : out) {
        c = kAlphabet[bits % kAlphabet.size()];
        bits /= kAlphabet.size();
    }
    return out;
}

// Where a file is reached: `name` in the open folder `dir`, or the whole path as `name` with
// AT_FDCWD. Every step on one file goes through the same place, so they all meet one file.
using Place = PosixFileSystem::Place;

bool identityOf(int fd, FileStamp& out);

// A file a rename replaces: `path` as the list names it, `target` where it is reached (`name`
// its last part, after `folder`, which is empty for a place in an open folder), `whole` its
// whole path for the journal, `old` the file as looked at.
struct Replacement {
    const std::string& path;
    Place target;
    std::string_view folder;
    std::string_view name;
    const std::string& whole;
    const struct stat& old;
};

// The hidden name of a try, in `temp`, as reached from target.dir.
void temporaryName(const Replacement& r, std::string& temp) {
    temp.assign(r.folder);
    temp += '.';
    temp.append(r.name);
    temp.append(kTemporaryMark);
    temp += randomLetters();
}

// Creates a temporary file for `r` exclusively, beside its target; answers its descriptor (its
// name in `temp`) or -1 with errno set. Each try is announced to the journal by its whole path,
// beside r.whole, and confirmed or withdrawn.
int createTemporary(const Replacement& r, std::string& temp, WriteJournal::Entry* journal) {
    std::string announced;
    for (int tries = 0; tries < kTempNameTries; ++tries) {
        temporaryName(r, temp);
        if (journal != nullptr) {
            announced.assign(r.whole, 0, r.whole.rfind('/') + 1);
            announced.append(temp, r.folder.size());
            journal->makingHidden(announced);
        }
        int fd = ::openat(r.target.dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          r.old.st_mode & 0777);
        if (journal != nullptr) {
            const int err = errno;
            if (FileStamp identity; fd >= 0 && identityOf(fd, identity)) {
                journal->hiddenMade(identity);
            } else if (fd < 0) {
                journal->withdrawn();
            }
            errno = err;
        }
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Without a journal, a kill must leave no hidden file that nothing would ever remove: the new text
// goes into a file without a name (O_TMPFILE) in the target's folder, named only once whole, just
// before the rename. -1 where the file system has no such files; a named one is made instead.
int openUnnamed(const Replacement& r) {
    const std::string in = r.folder.empty() ? std::string(".") : std::string(r.folder);
    return ::openat(r.target.dir, in.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                    r.old.st_mode & 0777);
}

// Gives the unnamed file `fd` a hidden name beside its target, in `temp`; answers 0 or errno.
int nameUnnamed(int fd, const Replacement& r, std::string& temp) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int tries = 0; tries < kTempNameTries; ++tries) {
        temporaryName(r, temp);
        if (::linkat(AT_FDCWD, self.c_str(), r.target.dir, temp.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            (errno == ENOENT && ::linkat(fd, "", r.target.dir, temp.c_str(), AT_EMPTY_PATH) == 0)) {
            return 0;
        }
        if (errno != EEXIST) {
            const int err = errno;
            temp.clear();
            return err;
        }
    }
    temp.clear();
    return EEXIST;
}

// Gives the new file `fd` the owner, group and mode of the file it replaces, as far as allowed;
// answers 0 or errno. Costs nothing in the usual case: the writer's own file, with a mode the
// umask left alone at the create.
int carryOwnerAndMode(int fd, const struct stat& old, const ProcessIds& ids) {
    mode_t mode = old.st_mode & 07777;
    bool setMode = (mode & ~mode_t{0777}) != 0 || (mode & processUmask()) != 0;
    if (old.st_uid != ids.uid || old.st_gid != ids.gid) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not allowed: the file becomes the writer's, never set-user-ID for him. Its group
            // may still be kept; where not, the group gets no more than others had.
            struct stat now {};
            bool groupKept = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0 ||
                             (::fstat(fd, &now) == 0 && now.st_gid == old.st_gid);
            mode &= ~mode_t{S_ISUID};
            if (!groupKept) {
                mode = (mode & ~mode_t{S_ISGID | 070}) | ((mode & 07) << 3);
            }
        }
        // A change of owner clears the set-ID bits: set the mode again.
        setMode = true;
    }
    return setMode && ::fchmod(fd, mode) != 0 ? errno : 0;
}

// The identity of the file `fd` (its other fields zero), for the journal. Asked for nothing
// else: a look at the times would make the kernel give the write that follows a finer, dearer
// time stamp.
bool identityOf(int fd, FileStamp& out) {
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO, &sx) == 0) {
        out = {{static_cast<std::uint64_t>(::makedev(sx.stx_dev_major, sx.stx_dev_minor)),
                static_cast<std::uint64_t>(sx.stx_ino)}};
        return true;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        out = {journal::IdentityOf(st)};
        return true;
    }
    return false;
}

// Tells the journal what `fd` now holds, as the run leaves it.
void journalWritten(WriteJournal::Entry* journal, int fd) {
    struct stat st {};
    if (journal != nullptr && ::fstat(fd, &st) == 0) {
        journal->written(journal::StampOf(st));
    }
}

// A new file made by this write: on failure or stop it is removed again.
void writeNewFile(int rawFd, const std::string& path, std::string_view text,
                  const WriteSection& section, WriteJournal::Entry* journal) {
    Fd fd(rawFd);
    if (journal != nullptr) {
        // Recorded before its first byte, so a kill at any later moment leaves a file the
        // journal knows by its identity.
        if (FileStamp identity; identityOf(fd.get(), identity)) {
            journal->newFileOpened(path, identity);
        }
    }
    int err = writeAll(fd.get(), text, section);
    if (err == 0) {
        journalWritten(journal, fd.get());
    }
    if (err != 0) {
        // It held nothing before: take it away, but only while the name still reaches it.
        struct stat mine {};
        struct stat now {};
        if (::fstat(fd.get(), &mine) == 0 && ::lstat(path.c_str(), &now) == 0 &&
            journal::IdentityOf(now) == journal::IdentityOf(mine)) {
            ::unlink(path.c_str());
            if (journal != nullptr) {
                journal->withdrawn();
            }
        }
        if (err == kStopped) {
            EndByStopSignal();
        }
        ThrowErrno(err, "Cannot write " + QuotedPath(path));
    }
    if (int closeErr = fd.closeChecked(); closeErr != 0) {
        ::unlink(path.c_str());
        if (journal != nullptr) {
            journal->withdrawn();
        }
        ThrowErrno(closeErr, "Cannot write " + QuotedPath(path));
    }
}

// Tells the journal, just before the rename, what it takes away and what takes its place. The
// old file is kept only now that the new text is whole: a write that fails leaves it without a
// second name, so a retry replaces it whole again. The new file needs no look of its own: until
// the rename, after its written record, it is no file of the user's. The old file is described
// as the decision looked it up, not looked at again (a request per file on a share): should
// another run have replaced it meanwhile, the kept link differs from its record, and the undo
// leaves that file alone instead of putting back what it cannot vouch for.
void recordReplacing(const Replacement& r, const struct stat* made, WriteJournal::Entry* journal) {
    journal->replacing(r.whole, journal::StampOf(r.old), false, r.target.dir, r.target.name);
    if (made != nullptr) {
        journal->written(journal::StampOf(*made));
    }
}

// Writes `text` to a new temporary file beside the target of `r` and renames it over the
// target; false when no new file can be made in that folder.
bool replaceByRename(const Replacement& r, const ProcessIds& ids, std::string_view text,
                     const WriteSection& section, WriteJournal::Entry* journal) {
    const Failing what("Cannot open ", r.path, " for writing");
    const Failing writeWhat("Cannot write ", r.path);
    // A temporary file that a concurrent run's clean-up took away is written again, a few
    // times at most.
    for (int attempt = 1;; ++attempt) {
        std::string temp;
        int rawFd = journal == nullptr ? openUnnamed(r) : -1;
        const bool unnamed = rawFd >= 0;
        if (!unnamed) {
            rawFd = createTemporary(r, temp, journal);
        }
        if (rawFd < 0) {
            int err = errno;
            // No new file can be made here (a writable file in a read-only folder): in place.
            if (err == EACCES || err == EPERM || err == EROFS || err == ENAMETOOLONG) {
                return false;
            }
            throwOpenFailure(err, what);
        }
        Fd fd(rawFd);
        bool journaled = false;
        auto fail = [&](int err, const Failing& description) {
            if (fd.get() >= 0) {
                fd.closeChecked();
            }
            if (!temp.empty()) {
                ::unlinkat(r.target.dir, temp.c_str(), 0);
            }
            if (journaled) {
                journal->withdrawn();
            }
            if (err == kStopped) {
                EndByStopSignal();
            }
            ThrowErrno(err, description);
        };
        if (int err = carryOwnerAndMode(fd.get(), r.old, ids); err != 0) {
            fail(err, writeWhat);
        }
        if (int err = writeAll(fd.get(), text, section); err != 0) {
            fail(err, writeWhat);
        }
        struct stat made {};
        const bool madeKnown = journal != nullptr && ::fstat(fd.get(), &made) == 0;
        if (unnamed && section.stopRequested()) {
            fail(kStopped, writeWhat);  // nothing of it has a name
        }
        if (int err = unnamed ? nameUnnamed(fd.get(), r, temp) : 0; err != 0) {
            fail(err, writeWhat);
        }
        if (int err = fd.closeChecked(); err != 0) {
            fail(err, writeWhat);
        }
        if (section.stopRequested()) {
            fail(kStopped, writeWhat);
        }
        if (journal != nullptr) {
            recordReplacing(r, madeKnown ? &made : nullptr, journal);
            journaled = true;
        }
        if (::renameat(r.target.dir, temp.c_str(), r.target.dir, r.target.name) != 0) {
            int err = errno;
            if (err == ENOENT && attempt < kTempAttempts) {
                if (journaled) {
                    journal->withdrawn();
                }
                continue;
            }
            fail(err, what);
        }
        return true;
    }
}

// Takes the exclusive lock of a file written in place; a lock another run holds is waited for.
// Answers 0, or kStopped when a stop signal came during the wait. A file system that has no
// locks is written without.
int lockForWrite(int fd, const std::string& path, const WriteSection& section) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return 0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
        return 0;
    }
    TellLockWait(path);
    if (OnStepWorker()) {
        // No stop signal interrupts a worker's wait on the lock: it tries the lock now and
        // then, and waits for a stop in between.
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return 0;
            }
            if (WaitForStopSignalFor(kLockLook) || section.stopRequested()) {
                return kStopped;
            }
        }
        return 0;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return 0;
        }
        if (section.stopRequested()) {
            return kStopped;
        }
    }
    return 0;
}

// Writes all of `bytes` at the start of `fd`; a stop signal does not cut this short.
bool putAll(int fd, std::string_view bytes) {
    return WriteFully(fd, bytes, 0) == 0;
}

// The old content of a regular file written in place, where the journal keeps no copy of it:
// read before the file is emptied, so a write that fails can put it back. Only up to this size;
// a larger file whose write fails is left empty.
constexpr std::uint64_t kHeldOldMax = std::uint64_t{64} << 20;

std::optional<std::string> holdOldContent(const std::string& path, const struct stat& st) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > kHeldOldMax) {
        return std::nullopt;
    }
    // Read through an open of its own (the write's is write-only), of the same file.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat now {};
    if (fd.get() < 0 || ::fstat(fd.get(), &now) != 0 ||
        !(journal::IdentityOf(now) == journal::IdentityOf(st))) {
        return std::nullopt;
    }
    std::string old(static_cast<std::size_t>(size), '\0');
    if (ReadFully(fd.get(), old.data(), old.size(), 0) != 0) {
        return std::nullopt;
    }
    return old;
}

// After a failed or stopped write in place: the old content back in `fd`, from the journal's
// copy or from `held`, and the journal told the step left nothing; where neither has it, the
// file is left empty and the journal told so, for the undo.
void takeBackInPlace(int fd, WriteJournal::Entry* journal, const std::optional<std::string>& held) {
    const bool back = (journal != nullptr && journal->putBackOld(fd)) ||
                      (held && ::ftruncate(fd, 0) == 0 && putAll(fd, *held));
    if (back) {
        if (journal != nullptr) {
            journal->withdrawn();
        }
        return;
    }
    [[maybe_unused]] int ignored = ::ftruncate(fd, 0);
    journalWritten(journal, fd);
}

// The text written into the file that `path` reaches, emptied first: for what a rename cannot
// replace.
void writeInPlace(const std::string& path, std::string_view text,
                  const FileSystem::WriteGuard& guard, const Failing& what,
                  const WriteSection& section, WriteJournal::Entry* journal) {
    // No O_TRUNC: the guard first sees the file the open really reached, whatever link led
    // there, and refusing it then leaves it untouched. O_NONBLOCK: a FIFO without a reader
    // fails with ENXIO instead of waiting for one.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        throwOpenFailure(errno, what);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    if (S_ISBLK(st.st_mode)) {
        throw FsError(kErrPathFileAccess, what + ": Is a block device");
    }
    if (guard) {
        guard(journal::IdentityOf(st));
    }
    // One run at a time writes a file in place, so two texts never mix in it.
    if (lockForWrite(fd.get(), path, section) == kStopped) {
        EndByStopSignal();
    }
    // Only a regular file has a length to cut; a FIFO or device takes the text as it comes.
    const bool regular = S_ISREG(st.st_mode);
    std::optional<std::string> held;
    if (regular) {
        // As the run that held the lock before left it.
        if (::fstat(fd.get(), &st) != 0) {
            ThrowErrno(errno, what);
        }
        // The old content is kept before the file is emptied.
        if (journal != nullptr) {
            journal->replacing(path, journal::StampOf(st), true, AT_FDCWD, path.c_str());
        }
        if (st.st_size != 0 && (journal == nullptr || !journal->keptOldCopy())) {
            held = holdOldContent(path, st);
        }
    }
    // Emptying an empty file for an empty text still marks it as replaced, as O_TRUNC would.
    if (regular && (st.st_size != 0 || text.empty()) && ::ftruncate(fd.get(), 0) != 0) {
        const int err = errno;
        if (journal != nullptr) {
            journal->withdrawn();
        }
        ThrowErrno(err, what);
    }
    if (int err = writeAll(fd.get(), text, section); err != 0) {
        if (regular) {
            takeBackInPlace(fd.get(), journal, held);
        }
        if (err == kStopped) {
            EndByStopSignal();
        }
        ThrowErrno(err, "Cannot write " + QuotedPath(path));
    }
    if (regular) {
        journalWritten(journal, fd.get());
    }
    // A close that fails may have lost written data: the file is put back like after any
    // failed write. The close of a second descriptor tells it while the lock, which belongs to
    // both, still holds.
    if (regular) {
        Fd second(::dup(fd.get()));
        if (int err = second.get() >= 0 ? second.closeChecked() : 0; err != 0) {
            takeBackInPlace(fd.get(), journal, held);
            ThrowErrno(err, "Cannot write " + QuotedPath(path));
        }
    }
    if (int err = fd.closeChecked(); err != 0) {
        ThrowErrno(err, "Cannot write " + QuotedPath(path));
    }
}

}  // namespace

void PosixFileSystem::readFile(const std::string& path,
                               const std::function<void(std::string_view)>& sink) {
    const std::string what = "Cannot open " + QuotedPath(path) + " for reading";
    refuseUnusablePath(path, what);
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
            ThrowErrno(errno, "Cannot read " + QuotedPath(path));
        }
        if (got == 0) {
            break;
        }
        sink(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
}

PosixFileSystem::PosixFileSystem() : m_ids(CurrentProcessIds()) {}

void PosixFileSystem::beginRun() {
    endRun();
    m_ids = CurrentProcessIds();
    m_cleanedFolders.clear();
    m_leftHidden.clear();
    m_leftHiddenAsked = false;
    m_noLeftHidden.store(false, std::memory_order_relaxed);
    struct rlimit files {};
    m_folderFdsMax = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                         ? std::min<std::size_t>(kFolderFdsMax, files.rlim_cur / 8)
                         : kFolderFdsMax;
}

void PosixFileSystem::endRun() {
    // Closed as soon as the writes end: an open folder would keep a removable disk busy.
    for (const auto& [folder, fd] : m_folderFds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    m_folderFds.clear();
    m_folderFdsMax = 0;
}

std::size_t PosixFileSystem::stepsInFlight(const std::string& folder) {
    return StepsForFolder(folder);
}

PosixFileSystem::~PosixFileSystem() {
    endRun();
}

int PosixFileSystem::folderHandle(std::string_view folder) {
    // Held through the open: a folder is opened once per run, whichever step comes first.
    std::lock_guard<std::mutex> lock(m_runLock);
    if (auto known = m_folderFds.find(folder); known != m_folderFds.end()) {
        return known->second;
    }
    if (m_folderFds.size() >= m_folderFdsMax) {
        return -1;
    }
    std::string key(folder);
    const int fd = ::open(key.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    m_folderFds.emplace(std::move(key), fd);
    return fd;
}

void PosixFileSystem::placeOf(const std::string& path, int& dir, const char*& name) {
    const std::size_t slash = path.rfind('/');
    // A path the system would refuse as too long stays refused, as in the preview: its folder
    // alone may be short enough to open.
    if (slash != std::string::npos && slash + 1 < path.size() && path.size() < PATH_MAX) {
        dir = folderHandle(std::string_view(path).substr(0, slash == 0 ? 1 : slash));
        if (dir >= 0) {
            name = path.c_str() + slash + 1;
            return;
        }
    }
    dir = AT_FDCWD;
    name = path.c_str();
}

int PosixFileSystem::createNew(const std::string& path, int dir, const char* name,
                               WriteJournal::Entry* journal) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    // Announced first: a kill right after the create leaves a name the journal knows.
    if (journal != nullptr) {
        journal->makingFile(path);
    }
    int fd = -1;
    if (dir != AT_FDCWD) {
        fd = ::openat(dir, name, kFlags, 0666);
    }
    // Any other failure is asked again by the whole path, which tells it best.
    if (dir == AT_FDCWD || (fd < 0 && errno != EEXIST)) {
        fd = ::open(path.c_str(), kFlags, 0666);
    }
    if (fd < 0 && journal != nullptr) {
        const int err = errno;
        journal->withdrawn();
        errno = err;
    }
    return fd;
}

void PosixFileSystem::writeFile(const std::string& path, std::string_view text,
                                const WriteGuard& guard) {
    writeFileOrKeep(path, text, guard, false);
}

bool PosixFileSystem::writeFileOrKeep(const std::string& path, std::string_view text,
                                      const WriteGuard& guard, bool keepExisting) {
    const Failing what("Cannot open ", path, " for writing");
    refuseUnusablePath(path, what);
    WriteSection section;
    const std::unique_ptr<WriteJournal::Entry> entry =
        m_journal != nullptr ? m_journal->beginStep() : nullptr;
    WriteJournal::Entry* const journal = entry.get();
    // Reached from its folder, kept open for the run: each step looks up one name, not the
    // whole path.
    int dir = AT_FDCWD;
    const char* name = nullptr;
    placeOf(path, dir, name);
    if (askLeftHiddenFiles()) {
        clearLeftHiddenFiles(path, dir);
    }
    // Runs mostly make new files or mostly replace them. After a new file, the exclusive create
    // is the look-up: a missing name is planned as Create anyway, and a name it finds is
    // decided below. After a replaced file, the decision's look-up saves the exclusive
    // create, which locks the folder.
    // A new file made exclusively under its own name and written; false when the name exists,
    // or, when `decideAfter`, for any failure the decision below tells (a folder a run keeps).
    const auto writeIfNew = [&](bool decideAfter) {
        const int fd = createNew(path, dir, name, journal);
        if (fd >= 0) {
            writeNewFile(fd, path, text, section, journal);
            return true;
        }
        if (errno != EEXIST && !decideAfter) {
            throwOpenFailure(errno, what);
        }
        return false;
    };
    if (!m_lastExisted.load(std::memory_order_relaxed) && writeIfNew(keepExisting)) {
        return false;
    }
    WriteDecision plan;
    decideWrite(path, dir, name, keepExisting, plan);
    m_lastExisted.store(plan.exists, std::memory_order_relaxed);
    if (plan.step == WritePlan::Step::Keep) {
        return true;
    }
    if (!readyToWrite(path, guard, plan)) {
        return plan.exists;  // a later step of the run writes this file
    }
    switch (plan.step) {
        case WritePlan::Step::Fail:
            if (plan.detail != nullptr) {
                throw FsError(ErrorNumberForErrno(plan.error.value()), what + ": " + plan.detail,
                              plan.error);
            }
            throwOpenFailure(plan.error.value(), what);
        case WritePlan::Step::Create:
            if (plan.how == WriteDecision::How::New && writeIfNew(false)) {
                return false;
            }
            // Through a dangling link: the file it names is made as a new file under its own
            // name, so its journal knows it as the run's and the undo takes it away.
            if (plan.throughLink && !plan.reached.empty() &&
                writeNewThroughLink(plan, text, section, journal)) {
                return false;
            }
            // Made by someone else since the look-up: written as before.
            writeInPlace(path, text, guard, what, section, journal);
            return plan.exists;
        case WritePlan::Step::Replace:
        case WritePlan::Step::Keep:
            break;
    }
    if (plan.how == WriteDecision::How::InPlace) {
        writeInPlace(path, text, guard, what, section, journal);
        return true;
    }
    replaceFile(path, plan, text, guard, section, journal);
    return true;
}

bool PosixFileSystem::askLeftHiddenFiles() {
    // Asked of the journal once a run, at its first write: by the folder each lies in. Once
    // none is left, a step takes no lock here (every step of every worker passes).
    if (m_noLeftHidden.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_runLock);
    if (m_journal != nullptr && !m_leftHiddenAsked) {
        m_leftHiddenAsked = true;
        for (LeftHiddenFile& left : m_journal->leftHiddenFiles()) {
            const std::size_t slash = left.path.rfind('/');
            struct stat folder {};
            if (slash != std::string::npos &&
                ::stat(left.path.substr(0, slash == 0 ? 1 : slash).c_str(), &folder) == 0) {
                m_leftHidden[journal::IdentityOf(folder)].push_back(std::move(left));
            }
        }
    }
    const bool any = !m_leftHidden.empty();
    if (m_leftHiddenAsked && !any) {
        m_noLeftHidden.store(true, std::memory_order_release);
    }
    return any;
}

bool PosixFileSystem::writeNewThroughLink(const WriteDecision& plan, std::string_view text,
                                          const WriteSection& section,
                                          WriteJournal::Entry* journal) {
    int dir = AT_FDCWD;
    const char* name = nullptr;
    placeOf(plan.reached, dir, name);
    const int fd = createNew(plan.reached, dir, name, journal);
    if (fd < 0) {
        if (errno != EEXIST) {
            throwOpenFailure(errno, Failing("Cannot open ", plan.reached, " for writing"));
        }
        return false;
    }
    writeNewFile(fd, plan.reached, text, section, journal);
    return true;
}

bool PosixFileSystem::readyToWrite(const std::string& path, const WriteGuard& guard,
                                   WriteDecision& plan) {
    // A disk or a folder is refused before anything is shown to the guard.
    if (plan.exists && guard && !S_ISDIR(plan.st.st_mode) && !S_ISBLK(plan.st.st_mode)) {
        guard(plan.target);
    }
    if (plan.step == WritePlan::Step::Replace && S_ISFIFO(plan.st.st_mode)) {
        plan.holdReader(AT_FDCWD, path.c_str());  // where writeInPlace opens it
    }
    if (m_sameFile == nullptr || plan.step == WritePlan::Step::Fail) {
        return true;
    }
    // Other names of the file than its steps' keys tell: the name a link leads to, in the
    // folder it lies in, and a file's identity where it has several names.
    std::string keys[2];
    if (const std::string& through = plan.resolved.empty() ? plan.reached : plan.resolved;
        !through.empty()) {
        const std::size_t slash = through.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : through.substr(0, slash);
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0) {
            keys[0] = NameKey(journal::IdentityOf(st), through.substr(slash + 1));
        }
    }
    if (plan.exists && plan.st.st_nlink > 1) {
        keys[1] = IdentityKey(plan.target);
    }
    for (const std::string& key : keys) {
        const SameFileOrder::Turn turn =
            key.empty() ? SameFileOrder::Turn::Go : m_sameFile->reach(key);
        if (turn == SameFileOrder::Turn::Superseded) {
            return false;
        }
        if (turn == SameFileOrder::Turn::Again) {
            throw StepAgain{};
        }
    }
    return true;
}

void PosixFileSystem::replaceFile(const std::string& path, const WriteDecision& plan,
                                  std::string_view text, const WriteGuard& guard,
                                  const WriteSection& section, WriteJournal::Entry* journal) {
    Place at{AT_FDCWD, nullptr};
    placeOf(path, at.dir, at.name);
    const std::string& resolved = plan.resolved;
    const std::string& whole = resolved.empty() ? path : resolved;
    const Place target = resolved.empty() ? at : Place{AT_FDCWD, resolved.c_str()};
    const std::size_t slash = whole.rfind('/');
    const std::string_view folder = target.dir != AT_FDCWD || slash == std::string::npos
                                        ? std::string_view()
                                        : std::string_view(whole).substr(0, slash + 1);
    const std::string_view name = std::string_view(target.name).substr(folder.size(), kTempNameMax);
    if (!replaceByRename({path, target, folder, name, whole, plan.st}, processIds(), text, section,
                         journal)) {
        writeInPlace(path, text, guard, Failing("Cannot open ", path, " for writing"), section,
                     journal);
    }
}

void PosixFileSystem::clearLeftHiddenFiles(const std::string& path, int dir) {
    const std::size_t slash = path.rfind('/');
    const std::string_view folder = slash == std::string::npos
                                        ? std::string_view(".")
                                        : std::string_view(path).substr(0, slash == 0 ? 1 : slash);
    {
        std::lock_guard<std::mutex> lock(m_runLock);
        if (m_cleanedFolders.size() >= kCleanedFoldersMax ||
            !m_cleanedFolders.insert(std::hash<std::string_view>()(folder)).second) {
            return;
        }
    }
    struct stat st {};
    if ((dir != AT_FDCWD ? ::fstat(dir, &st) : ::stat(std::string(folder).c_str(), &st)) != 0) {
        return;
    }
    std::vector<LeftHiddenFile> files;
    {
        std::lock_guard<std::mutex> lock(m_runLock);
        const auto left = m_leftHidden.find(journal::IdentityOf(st));
        if (left == m_leftHidden.end()) {
            return;
        }
        files = std::move(left->second);
        m_leftHidden.erase(left);
    }
    // Only a file a journal names, and only while it is the very file that run made: looked
    // at and removed in the folder just identified.
    for (const LeftHiddenFile& file : files) {
        const char* name =
            dir != AT_FDCWD ? file.path.c_str() + file.path.rfind('/') + 1 : file.path.c_str();
        struct stat now {};
        if (::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
            journal::StillAsMade(now, file.made, file.notBefore)) {
            ::unlinkat(dir, name, 0);
        }
    }
}

FileIdentity PosixFileSystem::fileIdentity(const std::string& path) {
    const std::string what = "Cannot read the identity of " + QuotedPath(path);
    refuseUnusablePath(path, what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        ThrowErrno(errno, what);
    }
    return journal::IdentityOf(st);
}

void PosixFileSystem::createFolder(const std::string& path) {
    const Failing what("Cannot create folder ", path);
    refuseUnusablePath(path, what);
    const std::unique_ptr<WriteJournal::Entry> entry =
        m_journal != nullptr ? m_journal->beginStep() : nullptr;
    if (entry != nullptr) {
        entry->makingFolder(path);
    }
    if (::mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        if (entry != nullptr) {
            entry->withdrawn();
        }
        if (isNotFoundOnParentChain(err)) {
            ThrowErrnoAs(kErrPathNotFound, err, what.text());
        }
        ThrowErrno(err, what);
    }
    struct stat st {};
    if (entry != nullptr && ::stat(path.c_str(), &st) == 0) {
        entry->folderCreated(path, journal::StampOf(st));
    }
}

PathProbe PosixFileSystem::probe(const std::string& path) {
    PathProbe out;
    if (path.find('\0') != std::string::npos) {
        out.kind = PathProbe::Kind::Unknown;
        out.error = std::make_error_code(std::errc::invalid_argument);
        return out;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        // A dangling link is no missing name: a folder cannot be made there, nor a file.
        if (errno != ENOENT || ::lstat(path.c_str(), &st) == 0) {
            out.kind = PathProbe::Kind::Unknown;
            out.error = std::error_code(errno == 0 || errno == ENOENT ? ENOENT : errno,
                                        std::generic_category());
        }
        return out;
    }
    out.identity = journal::IdentityOf(st);
    if (S_ISDIR(st.st_mode)) {
        out.kind = PathProbe::Kind::Folder;
        out.writable = ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    } else if (S_ISREG(st.st_mode)) {
        out.kind = PathProbe::Kind::File;
        out.writable = mayWrite(AT_FDCWD, path.c_str(), st, processIds());
    } else {
        out.kind = PathProbe::Kind::Other;
        out.writable = !S_ISBLK(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
    }
    return out;
}

std::int64_t PosixFileSystem::lastModified(const std::string& path) {
    const std::string what = "Cannot read the time of " + QuotedPath(path);
    refuseUnusablePath(path, what);
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
        ThrowErrno(err, "Cannot read the attributes of " + QuotedPath(path));
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
        identity = journal::IdentityOf(st);
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
           journal::IdentityOf(st) == journal::IdentityOf(root);
}

bool PosixFileSystem::isExistingFile(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FolderIdentity PosixFileSystem::folderIdentity(const std::string& path) {
    const std::string what = "Cannot read folder " + QuotedPath(path);
    refuseUnusablePath(path, what);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (isNotFoundOnParentChain(err)) {
            ThrowErrnoAs(kErrPathNotFound, err, what);
        }
        ThrowErrno(err, what);
    }
    if (!S_ISDIR(st.st_mode)) {
        ThrowErrnoAs(kErrPathNotFound, ENOTDIR, what);
    }
    return journal::IdentityOf(st);
}

}  // namespace pellatrix
