// Listing kept runs and taking one back.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "engine/JournalFormat.h"
#include "engine/RunJournal.h"

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

// The file at `path` is exactly the one the run left: same identity, and, where the run
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

// Writes the old content kept at `offset` of the pack file back as `target`'s content: beside
// it and renamed over it, or in place for a file written in place. Answers 0 or errno.
int restoreCopy(const std::string& pack, off_t offset, const std::string& target,
                const Step& step) {
    int from = ::open(pack.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        return errno;
    }
    bool plain = false;
    int err = 0;
    off_t toAt = 0;
    if (step.kind == Step::Kind::InPlace) {
        int to = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
        err = to < 0 ? errno : CopyRange(from, &offset, to, &toAt, step.old.size, plain);
        if (to >= 0 && ::close(to) != 0 && err == 0) {
            err = errno;
        }
    } else {
        const std::size_t slash = target.rfind('/');
        const std::string temp =
            target.substr(0, slash + 1) + ".pellatrix-undo-" + std::to_string(::getpid());
        int to = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        err = to < 0 ? errno : CopyRange(from, &offset, to, &toAt, step.old.size, plain);
        if (to >= 0 && err == 0 && ::fchmod(to, step.old.mode & 07777) != 0) {
            err = errno;
        }
        if (to >= 0 && ::close(to) != 0 && err == 0) {
            err = errno;
        }
        if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
            err = errno;
        }
        if (err != 0 && to >= 0) {
            ::unlink(temp.c_str());
        }
    }
    ::close(from);
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
    const std::string journalPath = runFolder + "/" + kJournalName;
    if (exists(runFolder + "/" + kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    int fd = ::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw JournalError("the journal cannot be read: " + ErrnoText(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Held to the end: a run still writing this journal refuses it, and so does a second undo.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw JournalError(errno == EWOULDBLOCK
                               ? "a run is still writing this journal"
                               : "the journal cannot be locked: " + ErrnoText(errno));
    }
    if (exists(runFolder + "/" + kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    const Journal journal = ReadJournal(fd);

    UndoReport report;
    // A path left alone once keeps what the run's earlier steps on it did too: each later
    // state rests on it.
    std::unordered_set<std::string> leftPaths;
    // Paths that hold exactly what the run's earlier step on them left, though not as that
    // step recorded it: put back from a copy (a new file), or written again by the run.
    std::unordered_set<std::string> acceptedAsLeft;
    auto leave = [&](const std::string& path, const std::string& why) {
        report.leftAlone.push_back(path + ": " + why);
        leftPaths.insert(path);
    };
    // What a kill may have left half made: the last hidden file, and a folder or file whose
    // making was announced and never confirmed; each taken away only while still as made.
    const Step* const lastHidden = LastHiddenFile(journal);
    std::string_view runName = runFolder;
    while (runName.size() > 1 && runName.back() == '/') {
        runName.remove_suffix(1);
    }
    const std::int64_t notBefore = MadeNotBefore(runName.substr(runName.rfind('/') + 1));
    for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
        const Step& step = *it;
        if (step.withdrawn || leftPaths.count(step.path) != 0 ||
            (step.kind == Step::Kind::Hidden && &step != lastHidden)) {
            continue;
        }
        struct stat now {};
        const bool there = ::lstat(step.path.c_str(), &now) == 0;
        if (step.kind == Step::Kind::Hidden || !step.made) {
            if (!there) {
                continue;  // never made, or gone with the run's own later steps
            }
            const bool folder = step.kind == Step::Kind::Folder;
            const std::optional<FileStamp> made =
                step.made ? std::optional<FileStamp>(step.opened) : std::nullopt;
            if (folder == S_ISDIR(now.st_mode) && (folder || S_ISREG(now.st_mode)) &&
                StillAsMade(now, made, notBefore)) {
                if (folder ? ::rmdir(step.path.c_str()) == 0 : ::unlink(step.path.c_str()) == 0) {
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
                if (!there || !S_ISDIR(now.st_mode) ||
                    static_cast<std::uint64_t>(now.st_ino) != step.opened.inode ||
                    static_cast<std::uint64_t>(now.st_dev) != step.opened.device) {
                    break;  // gone already, or another folder: nothing of the run is left
                }
                if (::rmdir(step.path.c_str()) == 0) {
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
                           (!asLeft(now, step) && acceptedAsLeft.count(step.path) == 0)) {
                    leave(step.path, "changed since the run");
                } else if (::unlink(step.path.c_str()) == 0) {
                    ++report.removed;
                } else {
                    leave(step.path, "not removed: " + ErrnoText(errno));
                }
                break;
            case Step::Kind::Replace:
            case Step::Kind::InPlace: {
                if (there && step.kind == Step::Kind::Replace &&
                    static_cast<std::uint64_t>(now.st_dev) == step.old.device &&
                    static_cast<std::uint64_t>(now.st_ino) == step.old.inode) {
                    break;  // never replaced: the old file is still there
                }
                if (!there) {
                    leave(step.path, "no longer there");
                    break;
                }
                if (!S_ISREG(now.st_mode) ||
                    (!asLeft(now, step) && acceptedAsLeft.count(step.path) == 0)) {
                    leave(step.path, "changed since the run");
                    break;
                }
                if (step.keep == "=") {
                    acceptedAsLeft.insert(step.path);  // the earlier step of the run takes it back
                    break;
                }
                if (step.keep == "-") {
                    leave(step.path, "its old content was not kept");
                    break;
                }
                const std::string kept = runFolder + "/" + step.keep.substr(1);
                int err = 0;
                if (step.keep[0] == 'l') {
                    // The old file itself goes back under its name, with its own mode,
                    // owner and times.
                    err = ::rename(kept.c_str(), step.path.c_str()) == 0 ? 0 : errno;
                } else {
                    std::uint64_t offset = 0;
                    const std::string digits = step.keep.substr(1);
                    const auto [end, ec] =
                        std::from_chars(digits.data(), digits.data() + digits.size(), offset);
                    err = ec != std::errc() || offset > static_cast<std::uint64_t>(INT64_MAX)
                              ? EINVAL
                              : restoreCopy(runFolder + "/pack", static_cast<off_t>(offset),
                                            step.path, step);
                    if (err == 0) {
                        acceptedAsLeft.insert(step.path);
                    }
                }
                if (err == 0) {
                    ++report.restored;
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
    int marker =
        ::open((runFolder + "/" + kUndoneName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (marker >= 0) {
        ::close(marker);
    }
    return report;
}

}  // namespace pellatrix
