// Listing kept runs and taking one back.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/fs/Fd.h"
#include "engine/journal/JournalFormat.h"
#include "engine/journal/RunJournal.h"
#include "engine/lists/ShownText.h"

namespace pellatrix {

using namespace journal;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// True when the journal open as `fd` holds nothing a run did: empty, or cut inside its first
// line, or its first line alone in a run that ended. Such a run was killed at its start.
bool startedOnly(int fd) {
    char text[64] = {};
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    if (got < 0) {
        return false;
    }
    const std::string_view head(text, ::strnlen(text, static_cast<std::size_t>(got)));
    if (head.size() < kHeader.size()) {
        return kHeader.substr(0, head.size()) == head ||
               kHeaderVersion2.substr(0, head.size()) == head;
    }
    return (head == kHeader || head == kHeaderVersion2) && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
}

// The process that started the run named `name` ("...-PID") is gone.
bool starterGone(const std::string& name) {
    const std::size_t dash = name.rfind('-');
    long pid = 0;
    const auto [end, ec] = std::from_chars(name.data() + dash + 1, name.data() + name.size(), pid);
    return dash != std::string::npos && ec == std::errc() && end == name.data() + name.size() &&
           pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

RunSummary summarise(const std::string& runsFolder, const std::string& name) {
    RunSummary run;
    run.id = name;
    run.folder = runsFolder + "/" + name;
    int fd = ::open((run.folder + "/" + kJournalName).c_str(), O_RDONLY | O_CLOEXEC);
    try {
        if (fd < 0) {
            throw JournalError("the journal cannot be read: " + ErrnoText(errno));
        }
        const Journal journal = ReadJournal(fd);
        for (const Step& step : journal.steps) {
            if (step.withdrawn || !step.made) {
                continue;
            }
            switch (step.kind) {
                case Step::Kind::Hidden:
                    break;
                case Step::Kind::Folder:
                    ++run.folders;
                    break;
                case Step::Kind::New:
                    ++run.created;
                    break;
                case Step::Kind::Replace:
                case Step::Kind::InPlace:
                    // A file the run wrote again is no file of the user's.
                    run.replaced += step.keep == "=" ? 0 : 1;
                    run.notKept += step.keep == "-" ? 1 : 0;
                    break;
            }
        }
        run.partial = journal.partial;
        run.state = exists(run.folder + "/" + kUndoneName) ? RunSummary::State::Undone
                    : ::flock(fd, LOCK_SH | LOCK_NB) != 0  ? RunSummary::State::Busy
                    : journal.complete                     ? RunSummary::State::Complete
                                                           : RunSummary::State::Killed;
    } catch (const JournalError& e) {
        run.state = RunSummary::State::Damaged;
        run.damage = e.what();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return run;
}

struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const {
        return static_cast<std::size_t>((id.inode * 0x9e3779b97f4a7c15ULL) ^ id.device);
    }
};

FileIdentity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool sameFile(const struct stat& st, const FileStamp& stamp) {
    return identityOf(st) == FileIdentity{stamp.device, stamp.inode};
}

std::string shown(const std::string& path) {
    return "'" + EscapedControls(path) + "'";
}

// Opens `name` in `dir` without following a link, a folder or (for the journal) a regular
// file, and answers it only when it is the user's own and nobody else may write it: an undo
// removes and puts back what a journal names, so it takes only a journal that its user alone
// can have written. Throws JournalError, naming `what`, otherwise.
Fd openOwn(int dir, const std::string& name, const std::string& what, bool folder) {
    const int flags = (folder ? O_PATH : O_RDONLY | O_NONBLOCK) | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(::openat(dir, name.c_str(), flags));
    struct stat st {};
    if (fd.get() < 0 && errno == ELOOP) {
        throw JournalError(what + " is a symbolic link, so it is not trusted");
    }
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        throw JournalError(what + " cannot be read: " + ErrnoText(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        throw JournalError(what + " is a symbolic link, so it is not trusted");
    }
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        throw JournalError(what + (folder ? " is not a folder" : " is not a regular file"));
    }
    if (st.st_uid != ::geteuid()) {
        throw JournalError(what + " belongs to another user (user ID " + std::to_string(st.st_uid) +
                           "), so it is not trusted");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw JournalError(what + " may be written by other users (mode " + mode +
                           "), so it is not trusted");
    }
    return fd;
}

// Why a step's folder could not be opened: a link or something else on the way, or a folder the
// run made that another one took the place of.
constexpr int kFolderReplaced = -1;

std::string folderTrouble(int err) {
    if (err == kFolderReplaced) {
        return "its folder was replaced since the run";
    }
    if (err == ELOOP || err == ENOTDIR) {
        return "a symbolic link or a file now stands on its way";
    }
    return "its folder cannot be opened: " + ErrnoText(err);
}

// The folders an undo acts in, each opened from the root one level at a time without following
// a link, and kept open: a step is checked and taken back in the very folder opened, whatever
// its path reaches meanwhile. The journal's paths are resolved (no link on their way), so a
// link met now was put there after the run. A folder the run made must still be that folder.
class Folders {
public:
    explicit Folders(std::unordered_map<std::string, FileIdentity> made)
        : m_made(std::move(made)) {}

    // The open folder that holds `path`, its last name in `name`; -1 and `err` (errno or
    // kFolderReplaced) when it cannot be reached so.
    int holding(const std::string& path, std::string& name, int& err) {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.empty() || name == "." || name == "..") {
            err = EINVAL;
            return -1;
        }
        if (auto known = m_open.find(folder); known != m_open.end()) {
            return known->second.get();
        }
        // Kept few: a run's steps come folder by folder.
        if (m_open.size() >= kOpenMax) {
            m_open.clear();
        }
        Fd at(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        std::size_t begin = path[0] == '/' ? 1 : 0;
        const std::size_t end = slash == std::string::npos ? 0 : slash;
        while (at.get() >= 0 && begin < end) {
            std::size_t next = path.find('/', begin);
            if (next == std::string::npos || next > end) {
                next = end;
            }
            const std::string level = path.substr(begin, next - begin);
            if (!level.empty() && level != ".") {
                at = Fd(::openat(at.get(), level.c_str(),
                                 O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            }
            begin = next + 1;
        }
        if (at.get() < 0) {
            err = errno;
            return -1;
        }
        struct stat st {};
        if (auto made = m_made.find(folder);
            made != m_made.end() &&
            (::fstat(at.get(), &st) != 0 || !(identityOf(st) == made->second))) {
            err = kFolderReplaced;
            return -1;
        }
        return m_open.emplace(folder, std::move(at)).first->second.get();
    }

    // A folder the undo removed is no place to act in any more.
    void forget(const std::string& folder) { m_open.erase(folder); }

private:
    // Well below the usual limit of 1,024 open files.
    static constexpr std::size_t kOpenMax = 256;
    std::unordered_map<std::string, FileIdentity> m_made;
    std::unordered_map<std::string, Fd> m_open;
};

// The file now in place is exactly the one the run left: same identity, and, where the run
// finished writing it, the same size and modification time.
bool asLeft(const struct stat& now, const Step& step) {
    if (static_cast<std::uint64_t>(now.st_dev) != step.opened.device ||
        static_cast<std::uint64_t>(now.st_ino) != step.opened.inode) {
        return false;
    }
    if (!step.left) {
        return true;  // the file in progress when the run was killed
    }
    const FileStamp s = StampOf(now);
    return s.size == step.left->size && s.mtimeSec == step.left->mtimeSec &&
           s.mtimeNsec == step.left->mtimeNsec;
}

// Writes the old content kept at `offset` of the pack back as the content of `name` in `dir`,
// the file `now` that the undo checked: beside it and renamed over it, or in place for a file
// written in place. Answers 0 or errno; `put` is the identity of the file that then holds it.
int restoreCopy(int pack, off_t offset, int dir, const std::string& name, const struct stat& now,
                const Step& step, FileIdentity& put) {
    bool plain = false;
    int err = 0;
    off_t toAt = 0;
    struct stat st {};
    if (step.kind == Step::Kind::InPlace) {
        // Emptied only once the open is seen to reach the file checked.
        Fd to(::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (to.get() < 0 || ::fstat(to.get(), &st) != 0) {
            return errno;
        }
        if (!(identityOf(st) == identityOf(now))) {
            return ESTALE;
        }
        err = ::ftruncate(to.get(), 0) != 0
                  ? errno
                  : CopyRange(pack, &offset, to.get(), &toAt, step.old.size, plain);
        put = identityOf(st);
        const int closeErr = to.closeChecked();
        return err != 0 ? err : closeErr;
    }
    const std::string temp = ".pellatrix-undo-" + std::to_string(::getpid());
    Fd to(::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (to.get() < 0) {
        return errno;
    }
    err = CopyRange(pack, &offset, to.get(), &toAt, step.old.size, plain);
    if (err == 0 && ::fchmod(to.get(), step.old.mode & 07777) != 0) {
        err = errno;
    }
    if (err == 0 && ::fstat(to.get(), &st) != 0) {
        err = errno;
    }
    put = identityOf(st);
    if (const int closeErr = to.closeChecked(); err == 0) {
        err = closeErr;
    }
    if (err == 0 && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlinkat(dir, temp.c_str(), 0);
    }
    return err;
}

}  // namespace

std::vector<RunSummary> ListRuns(const std::string& runsFolder) {
    std::vector<RunSummary> runs;
    if (runsFolder.empty()) {
        return runs;
    }
    std::vector<std::string> names = RunNames(runsFolder);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        // A run killed at its start changed nothing: passed over, and dropped once no process
        // of its can be about to write it (its journal is made before it is locked).
        const std::string folder = runsFolder + "/" + *it;
        const int fd = ::open((folder + "/" + kJournalName).c_str(), O_RDONLY | O_CLOEXEC);
        const bool passedOver = fd >= 0 && startedOnly(fd);
        if (fd >= 0) {
            ::close(fd);
        }
        if (passedOver) {
            if (starterGone(*it)) {
                RemoveRunFolder(folder);
            }
            continue;
        }
        runs.push_back(summarise(runsFolder, *it));
    }
    return runs;
}

RunSummary NewestRunToUndo(const std::string& runsFolder) {
    for (RunSummary& run : ListRuns(runsFolder)) {
        if (run.state != RunSummary::State::Undone) {
            return run;
        }
    }
    throw JournalError("there is no run to undo");
}

UndoReport UndoRun(const std::string& runFolder) {
    // Each level from the runs folder down is checked: the user's own, written by nobody else,
    // no link. Levels above need no check: whoever may rearrange them can only put another
    // folder in place, and one the user does not own is refused here; nobody but the user and
    // root can make folders or files the user owns.
    const std::size_t slash = runFolder.rfind('/');
    const std::string runs = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : runFolder.substr(0, slash);
    const std::string id = runFolder.substr(slash == std::string::npos ? 0 : slash + 1);
    const Fd runsFd = openOwn(AT_FDCWD, runs, "the runs folder " + shown(runs), true);
    const Fd runFd = openOwn(runsFd.get(), id, "the run's folder " + shown(runFolder), true);
    struct stat st {};
    if (::fstatat(runFd.get(), kUndoneName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        throw JournalError("this run was undone before");
    }
    const Fd fd = openOwn(runFd.get(), kJournalName,
                          "the journal " + shown(runFolder + "/" + kJournalName), false);
    // Held to the end: a run still writing this journal refuses it, and so does a second undo.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        throw JournalError(errno == EWOULDBLOCK
                               ? "a run is still writing this journal"
                               : "the journal cannot be locked: " + ErrnoText(errno));
    }
    if (::fstatat(runFd.get(), kUndoneName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        throw JournalError("this run was undone before");
    }
    const Journal journal = ReadJournal(fd.get());

    std::unordered_map<std::string, FileIdentity> made;
    for (const Step& step : journal.steps) {
        if (step.kind == Step::Kind::Folder && !step.withdrawn) {
            made[step.path] = {step.opened.device, step.opened.inode};
        }
    }
    Folders folders(std::move(made));
    Fd pack;

    UndoReport report;
    // A path left alone once keeps what the run's earlier steps on it did too: each later
    // state rests on it.
    std::unordered_set<std::string> leftPaths;
    // Files that hold exactly what the run's earlier step on them left, though not as that
    // step recorded it: put back from a copy, or written again by the run, under this name or
    // another (a second hard link, a link followed): the file is taken back once, by its
    // earliest step.
    std::unordered_set<FileIdentity, IdentityHash> acceptedAsLeft;
    auto leave = [&](const std::string& path, const std::string& why) {
        report.leftAlone.push_back(path + ": " + why);
        leftPaths.insert(path);
    };
    // What a kill may have left half made: the last hidden file, and a folder or file whose
    // making was announced and never confirmed; each taken away only while still as made.
    const std::vector<const Step*> lastHidden = LastHiddenFiles(journal);
    std::string_view runName = runFolder;
    while (runName.size() > 1 && runName.back() == '/') {
        runName.remove_suffix(1);
    }
    const std::int64_t notBefore = MadeNotBefore(runName.substr(runName.rfind('/') + 1));
    for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
        const Step& step = *it;
        if (step.withdrawn || leftPaths.count(step.path) != 0 ||
            (step.kind == Step::Kind::Hidden &&
             std::find(lastHidden.begin(), lastHidden.end(), &step) == lastHidden.end())) {
            continue;
        }
        std::string name;
        int err = 0;
        const int dir = folders.holding(step.path, name, err);
        if (dir < 0) {
            if (err == ENOENT && (step.kind == Step::Kind::Folder ||
                                  step.kind == Step::Kind::Hidden || !step.made)) {
                continue;  // gone with the folder that held it, or never made
            }
            leave(step.path, err == ENOENT ? "no longer there" : folderTrouble(err));
            continue;
        }
        struct stat now {};
        const bool there = ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (step.kind == Step::Kind::Hidden || !step.made) {
            if (!there) {
                continue;  // never made, or gone with the run's own later steps
            }
            const bool folder = step.kind == Step::Kind::Folder;
            const std::optional<FileStamp> made =
                step.made ? std::optional<FileStamp>(step.opened) : std::nullopt;
            if (folder == S_ISDIR(now.st_mode) && (folder || S_ISREG(now.st_mode)) &&
                StillAsMade(now, made, notBefore)) {
                if (folder) {
                    folders.forget(step.path);
                }
                if (::unlinkat(dir, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0) {
                    ++(folder                         ? report.foldersRemoved
                       : step.kind == Step::Kind::New ? report.removed
                                                      : report.hiddenRemoved);
                } else {
                    leave(step.path, errno == ENOTEMPTY || errno == EEXIST
                                         ? "folder not empty"
                                         : "not removed: " + ErrnoText(errno));
                }
            } else if (step.made || static_cast<std::int64_t>(now.st_ctim.tv_sec) * 1'000'000'000 +
                                            now.st_ctim.tv_nsec >=
                                        notBefore) {
                // An unconfirmed name changed before the run began is no one's but its owner's
                // (a kill between a failed make and its record): not the run's to name.
                leave(step.path, "changed since the run");
            }
            continue;
        }
        switch (step.kind) {
            case Step::Kind::Hidden:
                break;
            case Step::Kind::Folder:
                if (!there) {
                    break;  // gone already: nothing of the run is left
                }
                if (!S_ISDIR(now.st_mode) || !sameFile(now, step.opened)) {
                    leave(step.path, "replaced since the run");
                    break;
                }
                folders.forget(step.path);
                if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) {
                    ++report.foldersRemoved;
                } else {
                    leave(step.path, errno == ENOTEMPTY || errno == EEXIST
                                         ? "folder not empty"
                                         : "folder not removed: " + ErrnoText(errno));
                }
                break;
            case Step::Kind::New:
                if (!there) {
                    leave(step.path, "no longer there");
                } else if (!S_ISREG(now.st_mode) ||
                           (!asLeft(now, step) && acceptedAsLeft.count(identityOf(now)) == 0)) {
                    leave(step.path, "changed since the run");
                } else if (::unlinkat(dir, name.c_str(), 0) == 0) {
                    ++report.removed;
                } else {
                    leave(step.path, "not removed: " + ErrnoText(errno));
                }
                break;
            case Step::Kind::Replace:
            case Step::Kind::InPlace: {
                if (!there) {
                    leave(step.path, "no longer there");
                    break;
                }
                // Asked first: the run's file may have the old file's inode number, freed once
                // the old file was replaced and not kept by a link.
                const bool runs = S_ISREG(now.st_mode) &&
                                  (asLeft(now, step) || acceptedAsLeft.count(identityOf(now)) != 0);
                if (!runs && step.kind == Step::Kind::Replace && sameFile(now, step.old)) {
                    break;  // never replaced: the old file is still there
                }
                if (!runs) {
                    leave(step.path, "changed since the run");
                    break;
                }
                if (step.keep == "=") {
                    // The earlier step of the run takes it back.
                    acceptedAsLeft.insert(identityOf(now));
                    break;
                }
                if (step.keep == "-") {
                    leave(step.path, "its old content was not kept");
                    break;
                }
                const std::string kept = step.keep.substr(1);
                if (step.keep[0] == 'l') {
                    // The old file itself goes back under its name, with its own mode, owner
                    // and times; only while it is the very file the run kept.
                    struct stat keptNow {};
                    if (::fstatat(runFd.get(), kept.c_str(), &keptNow, AT_SYMLINK_NOFOLLOW) != 0) {
                        leave(step.path, "old content not put back: " + ErrnoText(errno));
                    } else if (!S_ISREG(keptNow.st_mode) || !sameFile(keptNow, step.old) ||
                               StampOf(keptNow).size != step.old.size ||
                               StampOf(keptNow).mtimeSec != step.old.mtimeSec ||
                               StampOf(keptNow).mtimeNsec != step.old.mtimeNsec) {
                        leave(step.path,
                              "its kept old file was changed since the run, so it "
                              "was not put back");
                    } else if (::renameat(runFd.get(), kept.c_str(), dir, name.c_str()) == 0) {
                        ++report.restored;
                    } else {
                        leave(step.path, "old content not put back: " + ErrnoText(errno));
                    }
                    break;
                }
                std::uint64_t offset = 0;
                const auto [end, ec] =
                    std::from_chars(kept.data(), kept.data() + kept.size(), offset);
                if (!step.checksum) {
                    // Bytes that cannot be checked are not written over the file: they stay
                    // where the user can take them.
                    leave(step.path,
                          "its old content was kept without a checksum, so it was "
                          "not put back (it is in " +
                              runFolder + "/pack from byte " + kept + ", " +
                              std::to_string(step.old.size) + " bytes)");
                    break;
                }
                if (pack.get() < 0) {
                    pack = Fd(::openat(runFd.get(), "pack", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                }
                std::uint64_t sum = 0;
                err = ec != std::errc() || offset > static_cast<std::uint64_t>(INT64_MAX) ? EINVAL
                      : pack.get() < 0                                                    ? errno
                                       : ChecksumRange(pack.get(), static_cast<off_t>(offset),
                                                       step.old.size, sum);
                if (err == 0 && sum != *step.checksum) {
                    leave(step.path,
                          "its kept copy was changed since the run, so it was not put back");
                    break;
                }
                FileIdentity put;
                if (err == 0) {
                    err = restoreCopy(pack.get(), static_cast<off_t>(offset), dir, name, now, step,
                                      put);
                }
                if (err == 0) {
                    acceptedAsLeft.insert(put);
                    ++report.restored;
                } else if (err == ESTALE) {
                    leave(step.path, "changed since the run");
                } else {
                    leave(step.path, "old content not put back: " + ErrnoText(err));
                }
                break;
            }
        }
    }
    if (journal.partial) {
        report.leftAlone.push_back(
            "(the journal of this run stopped part-way; its later files were left as they are)");
    }
    Fd marker(
        ::openat(runFd.get(), kUndoneName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    return report;
}

}  // namespace pellatrix
