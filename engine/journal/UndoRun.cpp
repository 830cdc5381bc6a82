// Listing kept runs and taking one back. Every look at the user's files and the state folders,
// and every act on them, goes through the file-system interface, in folders it holds open; the
// journal's own file is read by the journal's helpers.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/fs/Fd.h"
#include "engine/fs/FsError.h"
#include "engine/journal/JournalFormat.h"
#include "engine/journal/RunJournal.h"
#include "engine/journal/StateFolder.h"
#include "engine/lists/ShownText.h"

namespace pellatrix {

using namespace journal;

namespace {

FileIdentity identityOf(const EntryStat& entry) {
    return entry.stamp.identity;
}

// Whether `entry` is the file `stamp` was taken of: by its number where the file system keeps
// numbers (`byNumber`); elsewhere by its size and modification time, and a folder by being one.
bool sameFile(const EntryStat& entry, const FileStamp& stamp, bool byNumber) {
    if (byNumber) {
        return entry.stamp.identity == stamp.identity;
    }
    return entry.kind == EntryStat::Kind::Folder ||
           (entry.stamp.size == stamp.size && entry.stamp.mtimeSec == stamp.mtimeSec &&
            entry.stamp.mtimeNsec == stamp.mtimeNsec);
}

// The system's words for a failure.
std::string causeText(const FsError& e) {
    return e.cause() ? e.cause().message() : e.what();
}

bool linkOnTheWay(const std::error_code& cause) {
    return cause == std::errc::too_many_symbolic_link_levels || cause == std::errc::not_a_directory;
}

// `name` in `at` as looked at now; none when it cannot be seen.
std::optional<EntryStat> seen(UndoFileSystem& fs, const FolderHandle& at, const std::string& name) {
    try {
        return fs.lookAt(at, name);
    } catch (const FsError&) {
        return std::nullopt;
    }
}

// An undo removes and puts back what a journal names, so it takes only a journal that its user
// alone can have written: its own, and nobody else's to write. Throws JournalError, naming
// `what`, otherwise.
void checkTrusted(const EntryStat& entry, const std::string& what, bool folder) {
    if (entry.kind != EntryStat::Kind::Link &&
        entry.kind != (folder ? EntryStat::Kind::Folder : EntryStat::Kind::File)) {
        throw JournalError(what + (folder ? " is not a folder" : " is not a regular file"));
    }
    if (std::string why = Distrust(entry, what); !why.empty()) {
        throw UntrustedJournal(why);
    }
}

// Opens the folder `name` in `in` without following a link, and answers it only when it is
// trusted (checkTrusted), as opened.
FolderHandle openOwnFolder(UndoFileSystem& fs, const FolderHandle& in, const std::string& name,
                           const std::string& what) {
    try {
        FolderHandle folder = fs.openFolderIn(in, name);
        const std::optional<EntryStat> entry = fs.lookAt(folder, "");
        if (!entry) {
            throw FsError(kErrFileNotFound, what,
                          std::make_error_code(std::errc::no_such_file_or_directory));
        }
        checkTrusted(*entry, what, true);
        return folder;
    } catch (const FsError& e) {
        // A link or a file in its place: which one, a look tells.
        if (const std::optional<EntryStat> there = seen(fs, in, name);
            linkOnTheWay(e.cause()) && there) {
            checkTrusted(*there, what, true);
        }
        throw JournalError(what + " cannot be read: " + causeText(e));
    }
}

// The same for the journal, a regular file.
Fd openOwnFile(UndoFileSystem& fs, const FolderHandle& in, const std::string& name,
               const std::string& what) {
    EntryStat opened;
    Fd fd;
    try {
        fd = fs.openFileIn(in, name, opened);
    } catch (const FsError& e) {
        if (e.cause() == std::errc::too_many_symbolic_link_levels) {
            throw UntrustedJournal(what + " is a symbolic link, so it is not trusted");
        }
        throw JournalError(what + " cannot be read: " + causeText(e));
    }
    checkTrusted(opened, what, false);
    return fd;
}

// Whether `name` stands in `at` (a look that fails tells nothing stands there).
bool present(UndoFileSystem& fs, const FolderHandle& at, const std::string& name) {
    return seen(fs, at, name).has_value();
}

// Why a step's folder could not be reached: a link or something else on the way, or a folder
// the run made that another one took the place of.
struct FolderTrouble {
    bool replaced = false;
    std::error_code cause;
};

std::string troubleText(const FolderTrouble& trouble) {
    if (trouble.replaced) {
        return "its folder was replaced since the run";
    }
    if (linkOnTheWay(trouble.cause)) {
        return "a symbolic link or a file now stands on its way";
    }
    return "its folder cannot be opened: " + trouble.cause.message();
}

// The folders an undo acts in, each opened from the root one level at a time without following
// a link, and kept open: a step is checked and taken back in the very folder opened, whatever
// its path reaches meanwhile. The journal's paths are resolved (no link on their way), so a
// link met now was put there after the run. A folder the run made must still be that folder.
class Folders {
public:
    Folders(UndoFileSystem& fs, std::unordered_map<std::string, FileIdentity> made)
        : m_fs(fs), m_made(std::move(made)) {}

    // The open folder that holds `path`, its last name in `name`; none, and why in `trouble`,
    // when it cannot be reached so.
    // `byNumber` tells whether files there keep their numbers (FileSystem::keepsFileNumbers).
    const FolderHandle* holding(const std::string& path, std::string& name, FolderTrouble& trouble,
                                bool& byNumber) {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.empty() || name == "." || name == "..") {
            trouble.cause = std::make_error_code(std::errc::invalid_argument);
            return nullptr;
        }
        if (auto known = m_open.find(folder); known != m_open.end()) {
            byNumber = known->second.byNumber;
            return &known->second.handle;
        }
        // Kept few: a run's steps come folder by folder.
        if (m_open.size() >= kOpenMax) {
            m_open.clear();
        }
        FolderHandle at;
        try {
            at = m_fs.openFolder(folder, false);
        } catch (const FsError& e) {
            trouble.cause = e.cause() ? e.cause() : std::make_error_code(std::errc::io_error);
            return nullptr;
        }
        byNumber = m_fs.keepsFileNumbers(at);
        if (auto made = m_made.find(folder); made != m_made.end() && byNumber) {
            const std::optional<EntryStat> now = seen(m_fs, at, "");
            if (!now || !(identityOf(*now) == made->second)) {
                trouble.replaced = true;
                return nullptr;
            }
        }
        return &m_open.emplace(folder, Open{std::move(at), byNumber}).first->second.handle;
    }

    // A folder the undo removed is no place to act in any more.
    void forget(const std::string& folder) { m_open.erase(folder); }

private:
    // Well below the usual limit of 1,024 open files.
    static constexpr std::size_t kOpenMax = 256;
    UndoFileSystem& m_fs;
    std::unordered_map<std::string, FileIdentity> m_made;
    struct Open {
        FolderHandle handle;
        bool byNumber;
    };
    std::unordered_map<std::string, Open> m_open;
};

// The file now in place is exactly the one the run left: same identity (where the file system
// keeps numbers), and, where the run finished writing it, the same size and modification time.
bool asLeft(const EntryStat& now, const Step& step, bool byNumber, std::int64_t notBefore) {
    if (byNumber && !sameFile(now, step.opened, true)) {
        return false;
    }
    if (!step.left) {
        // The file in progress when the run was killed. Where numbers are not kept, the user's
        // own file, changed since the run began, under the name the run made exclusively.
        return byNumber || (now.owner == ::geteuid() && now.changedNs >= notBefore);
    }
    return now.stamp.size == step.left->size && now.stamp.mtimeSec == step.left->mtimeSec &&
           now.stamp.mtimeNsec == step.left->mtimeNsec;
}

// Removes the run's kept link of `step`'s old file while it is a second name of the file `now`,
// which still stands under its own name.
void dropKeptLink(UndoFileSystem& fs, const FolderHandle& runDir, const Step& step,
                  const EntryStat& now, bool byNumber) {
    if (step.keep.size() < 2 || step.keep[0] != 'l') {
        return;
    }
    const std::string kept = step.keep.substr(1);
    if (const std::optional<EntryStat> keptNow = seen(fs, runDir, kept);
        keptNow && keptNow->kind == EntryStat::Kind::File &&
        sameFile(*keptNow, now.stamp, byNumber)) {
        try {
            fs.removeIn(runDir, kept, false);
        } catch (const FsError&) {
            // It stays a second name until the run's folder is dropped.
        }
    }
}

// What a failed removal says.
std::string removalTrouble(const FsError& e, const char* notRemoved) {
    return e.cause() == std::errc::directory_not_empty || e.cause() == std::errc::file_exists
               ? std::string("folder not empty")
               : notRemoved + causeText(e);
}

// The runs folder `runs`, opened and trusted (checkTrusted). Levels above it need no check: whoever
// may rearrange them can only put another folder in place, and one the user does not own is refused
// here; nobody but the user and root can make folders or files the user owns.
FolderHandle openRunsFolder(UndoFileSystem& fs, const std::string& runs) {
    const std::size_t slash = runs.rfind('/');
    const std::string above = slash == std::string::npos ? "."
                              : slash == 0               ? "/"
                                                         : runs.substr(0, slash);
    const std::string name = slash == std::string::npos ? runs : runs.substr(slash + 1);
    FolderHandle aboveDir;
    try {
        aboveDir = fs.openFolder(above, true);
    } catch (const FsError& e) {
        throw JournalError("the runs folder " + QuotedShown(runs) +
                           " cannot be read: " + causeText(e));
    }
    return openOwnFolder(fs, aboveDir, name.empty() ? "." : name,
                         "the runs folder " + QuotedShown(runs));
}

// The counts a run that ended by itself kept beside its journal; false when there are none to
// trust, and the journal is read instead.
bool keptCounts(UndoFileSystem& fs, const FolderHandle& runDir, int journalFd, RunSummary& run) {
    if (!present(fs, runDir, kCountsName)) {
        return false;
    }
    std::string text(kCountsHeader.size() + 7 * 21, '\0');
    try {
        const Fd fd = openOwnFile(fs, runDir, kCountsName, kCountsName);
        const ssize_t got = ::pread(fd.get(), text.data(), text.size(), 0);
        text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    } catch (const JournalError&) {
        return false;
    }
    // Counts of an earlier version have no bytes kept: the listing leaves them unsaid.
    const bool withBytes = std::string_view(text).starts_with(kCountsHeader);
    if ((!withBytes && !std::string_view(text).starts_with(kCountsHeaderVersion1)) ||
        !text.ends_with('\n')) {
        return false;
    }
    // created, replaced, folders, not kept, [bytes kept,] journal length
    std::uint64_t numbers[6] = {};
    const std::size_t count = withBytes ? 6 : 5;
    const char* at = text.data() + kCountsHeader.size();
    const char* const end = text.data() + text.size();
    for (std::size_t i = 0; i < count; ++i) {
        const auto [next, ec] = std::from_chars(at, end, numbers[i]);
        if (ec != std::errc() || next == end || *next != ' ') {
            return false;
        }
        at = next + 1;
    }
    const std::uint64_t length = numbers[count - 1];
    struct stat st {};
    std::uint64_t sum = 0;
    if (::fstat(journalFd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != length ||
        ChecksumRange(journalFd, 0, length, sum) != 0 ||
        std::string_view(at, static_cast<std::size_t>(end - at)) != ChecksumText(sum) + "\n") {
        return false;
    }
    run.created = static_cast<std::size_t>(numbers[0]);
    run.replaced = static_cast<std::size_t>(numbers[1]);
    run.folders = static_cast<std::size_t>(numbers[2]);
    run.notKept = static_cast<std::size_t>(numbers[3]);
    run.bytes = withBytes ? length + numbers[4] : 0;
    return true;
}

void countStep(const Step& step, std::uint64_t block, RunSummary& run) {
    if (step.withdrawn || !step.made) {
        return;
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
            run.bytes += KeptOnDisk(step.keep, step.old.size, block);
            break;
    }
}

// What the journal open as `fd`, in the run's folder `runDir`, tells of its run.
void summarise(UndoFileSystem& fs, const FolderHandle& runDir, int fd, RunSummary& run) {
    if (keptCounts(fs, runDir, fd, run)) {
        run.state = present(fs, runDir, kUndoneName) ? RunSummary::State::Undone
                    : InUse(fd)                      ? RunSummary::State::Busy
                                                     : RunSummary::State::Complete;
        return;
    }
    // Read a block of steps at a time, as the undo reads it: a killed run of millions of files
    // is listed in little memory.
    JournalReader journal(fd);
    std::uint64_t diskBlock = 0;
    if (struct stat st{}; ::fstat(fd, &st) == 0) {
        run.bytes = static_cast<std::uint64_t>(st.st_size);
        diskBlock = static_cast<std::uint64_t>(st.st_blksize);
    }
    for (std::size_t block = 0; block < journal.blockCount(); ++block) {
        for (const Step& step : journal.block(block)) {
            countStep(step, diskBlock, run);
        }
    }
    run.partial = journal.partial();
    run.state = present(fs, runDir, kUndoneName) ? RunSummary::State::Undone
                : InUse(fd)                      ? RunSummary::State::Busy
                : journal.complete()             ? RunSummary::State::Complete
                                                 : RunSummary::State::Killed;
}

}  // namespace

std::vector<RunSummary> ListRuns(UndoFileSystem& fs, const std::string& runsFolder) {
    std::vector<RunSummary> runs;
    if (runsFolder.empty()) {
        return runs;
    }
    if (struct stat st{}; ::stat(runsFolder.c_str(), &st) != 0 && errno == ENOENT) {
        return runs;
    }
    // Trusted as the undo trusts it: a listing may drop run folders, and names what an undo
    // would act on.
    const FolderHandle runsDir = openRunsFolder(fs, runsFolder);
    const std::vector<std::string> names = RunNames(runsDir.fd());
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        RunSummary run;
        run.id = *it;
        run.folder = runsFolder + "/" + *it;
        try {
            const FolderHandle runDir =
                openOwnFolder(fs, runsDir, *it, "the run's folder " + QuotedShown(run.folder));
            // Killed between making its folder and its journal: it changed nothing either.
            if (!present(fs, runDir, kJournalName)) {
                if (StarterGone(*it)) {
                    RemoveRunFolder(runsDir.fd(), *it);
                }
                continue;
            }
            const Fd fd =
                openOwnFile(fs, runDir, kJournalName,
                            "the journal " + QuotedShown(run.folder + "/" + kJournalName));
            // A run killed at its start changed nothing: passed over, and dropped once no
            // process of its can be about to write it (its journal is made before it is locked).
            if (StartedOnly(fd.get())) {
                if (StarterGone(*it)) {
                    RemoveRunFolder(runsDir.fd(), *it);
                }
                continue;
            }
            summarise(fs, runDir, fd.get(), run);
        } catch (const UntrustedJournal&) {
            throw;
        } catch (const JournalError& e) {
            run.state = RunSummary::State::Damaged;
            run.damage = e.what();
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

RunSummary NewestRunToUndo(UndoFileSystem& fs, const std::string& runsFolder) {
    for (RunSummary& run : ListRuns(fs, runsFolder)) {
        if (run.state != RunSummary::State::Undone) {
            return run;
        }
    }
    throw JournalError("there is no run to undo");
}

namespace {

// Where a step is taken back: the folder holding it, open, its name there, what stands there
// now, and whether files there keep their numbers.
struct Place {
    const FolderHandle* dir = nullptr;
    std::string name;
    std::optional<EntryStat> now;
    bool byNumber = true;
};

// One undo: the journal's steps taken back from the last, each only while it is as the run left
// it, and everything else named.
class Undoing {
public:
    Undoing(UndoFileSystem& fs, const FolderHandle& runDir, const std::string& runFolder,
            const JournalReader& journal)
        : m_fs(fs),
          m_runDir(runDir),
          m_runFolder(runFolder),
          m_folders(fs, journal.madeFolders()),
          m_lastHidden(journal.lastHiddenFiles()),
          m_notBefore(MadeNotBefore(runName(runFolder))) {}

    // Read back a block at a time, from the last: the undo holds no more of the journal.
    UndoReport takeBack(JournalReader& journal) {
        for (std::size_t b = journal.blockCount(); b-- > 0;) {
            const std::vector<Step> steps = journal.block(b);
            for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
                takeBackStep(*it);
            }
        }
        // Names whose making no earlier step accounts for are the user's since.
        for (const std::string& path : m_unconfirmed) {
            leave(path, "changed since the run");
        }
        dropUnclaimedLinks(journal.unclaimedLinks());
        if (journal.partial()) {
            m_report.leftAlone.push_back(
                "(the journal of this run stopped part-way; its later files were left as they "
                "are)");
        }
        return std::move(m_report);
    }

private:
    void takeBackStep(const Step& step) {
        if (step.withdrawn || m_leftPaths.count(step.path) != 0 ||
            (step.kind == Step::Kind::Hidden && std::find(m_lastHidden.begin(), m_lastHidden.end(),
                                                          step.number) == m_lastHidden.end())) {
            return;
        }
        Place at;
        if (reach(step, at)) {
            // An earlier step on a name whose unconfirmed making it accounts for.
            m_unconfirmed.erase(step.path);
            takeBack(step, at);
        }
    }

    // A link the run began to make and no step claims (a kill came before its record) is only a
    // second name of a file that was never replaced: taken away while it is one, so the next run
    // does not write that file in place.
    void dropUnclaimedLinks(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            if (const std::optional<EntryStat> now = seen(m_fs, m_runDir, name);
                now && now->kind == EntryStat::Kind::File && now->links > 1) {
                try {
                    m_fs.removeIn(m_runDir, name, false);
                } catch (const FsError&) {
                    // It stays a second name until the run's folder is dropped.
                }
            }
        }
    }

    static std::string_view runName(std::string_view folder) {
        while (folder.size() > 1 && folder.back() == '/') {
            folder.remove_suffix(1);
        }
        return folder.substr(folder.rfind('/') + 1);
    }

    // A path left alone once keeps what the run's earlier steps on it did too: each later state
    // rests on it.
    void leave(const std::string& path, const std::string& why) {
        m_report.leftAlone.push_back(path + ": " + why);
        m_leftPaths.insert(path);
    }

    // The folder of `step` opened, and what stands at its name; false when there is nothing to do
    // or it was left alone.
    bool reach(const Step& step, Place& at) {
        FolderTrouble trouble;
        at.dir = m_folders.holding(step.path, at.name, trouble, at.byNumber);
        if (at.dir == nullptr) {
            const bool gone =
                !trouble.replaced && trouble.cause == std::errc::no_such_file_or_directory;
            if (!(gone && (step.kind == Step::Kind::Folder || step.kind == Step::Kind::Hidden ||
                           !step.made))) {
                leave(step.path, gone ? "no longer there" : troubleText(trouble));
            }
            return false;  // otherwise gone with the folder that held it, or never made
        }
        at.now = seen(m_fs, *at.dir, at.name);
        return true;
    }

    void takeBack(const Step& step, const Place& at) {
        if (step.kind == Step::Kind::Hidden || !step.made) {
            takeBackHalfMade(step, at);
            return;
        }
        switch (step.kind) {
            case Step::Kind::Hidden:
                break;
            case Step::Kind::Folder:
                takeBackFolder(step, at);
                break;
            case Step::Kind::New:
                takeBackNewFile(step, at);
                break;
            case Step::Kind::Replace:
            case Step::Kind::InPlace:
                takeBackReplaced(step, at);
                break;
        }
    }

    // What a kill may have left half made: the last hidden file, and a folder or file whose
    // making was announced and never confirmed; each taken away only while still as made.
    void takeBackHalfMade(const Step& step, const Place& at) {
        if (!at.now) {
            return;  // never made, or gone with the run's own later steps
        }
        const EntryStat& now = *at.now;
        const bool folder = step.kind == Step::Kind::Folder;
        const std::optional<FileStamp> made =
            step.made ? std::optional<FileStamp>(step.opened) : std::nullopt;
        // Where numbers are not kept, a made one is the user's own, changed since the run began,
        // under the name the run made (its hidden names are drawn at random).
        const bool asMade =
            (at.byNumber || !made ? StillAsMade(now, made, m_notBefore)
                                  : now.owner == ::geteuid() && now.changedNs >= m_notBefore) &&
            madeWhenAnnounced(step, now);
        if (folder == (now.kind == EntryStat::Kind::Folder) &&
            (folder || now.kind == EntryStat::Kind::File) && asMade) {
            if (folder) {
                m_folders.forget(step.path);
            }
            try {
                m_fs.removeIn(*at.dir, at.name, folder);
                ++(folder                         ? m_report.foldersRemoved
                   : step.kind == Step::Kind::New ? m_report.removed
                                                  : m_report.hiddenRemoved);
            } catch (const FsError& e) {
                leave(step.path, removalTrouble(e, "not removed: "));
            }
        } else if (!step.made && step.kind == Step::Kind::New && now.changedNs >= m_notBefore) {
            // A kill right after an exclusive make that met a file: an earlier step of the run
            // that left it there takes it back; otherwise it is the user's, named at the end.
            m_unconfirmed.insert(step.path);
        } else if (step.made || now.changedNs >= m_notBefore) {
            // An unconfirmed name changed before the run began is no one's but its owner's (a
            // kill between a failed make and its record): not the run's to name.
            leave(step.path, "changed since the run");
        }
    }

    // An announced name the run never confirmed is its own only if made right after the
    // announcement: one made later (a kill came before the run made it, and the user made it
    // since) is the user's.
    static bool madeWhenAnnounced(const Step& step, const EntryStat& now) {
        // The file system stamps by a clock that lags by up to a tick; a make that follows its
        // announcement takes microseconds, or a few round trips on a share, or longer on a
        // machine under load: a second leaves room for that, and a person who makes the name
        // after a kill has taken longer.
        constexpr std::int64_t kLag = 50'000'000;
        constexpr std::int64_t kWindow = 1'000'000'000;
        return step.made || step.announcedNs == 0 ||
               (now.changedNs >= step.announcedNs - kLag &&
                now.changedNs <= step.announcedNs + kWindow);
    }

    void takeBackFolder(const Step& step, const Place& at) {
        if (!at.now) {
            return;  // gone already: nothing of the run is left
        }
        if (at.now->kind != EntryStat::Kind::Folder ||
            !sameFile(*at.now, step.opened, at.byNumber)) {
            leave(step.path, "replaced since the run");
            return;
        }
        m_folders.forget(step.path);
        try {
            m_fs.removeIn(*at.dir, at.name, true);
            ++m_report.foldersRemoved;
        } catch (const FsError& e) {
            leave(step.path, removalTrouble(e, "folder not removed: "));
        }
    }

    // Whether `now` holds what the run left at `step`, as recorded or as an earlier step of the
    // undo accepted it.
    bool leftByRun(const EntryStat& now, const Step& step, bool byNumber) const {
        return now.kind == EntryStat::Kind::File && (asLeft(now, step, byNumber, m_notBefore) ||
                                                     m_acceptedAsLeft.count(identityOf(now)) != 0);
    }

    void takeBackNewFile(const Step& step, const Place& at) {
        if (!at.now) {
            leave(step.path, "no longer there");
        } else if (!leftByRun(*at.now, step, at.byNumber)) {
            leave(step.path, "changed since the run");
        } else {
            try {
                m_fs.removeIn(*at.dir, at.name, false);
                ++m_report.removed;
            } catch (const FsError& e) {
                leave(step.path, "not removed: " + causeText(e));
            }
        }
    }

    void takeBackReplaced(const Step& step, const Place& at) {
        if (!at.now) {
            leave(step.path, "no longer there");
            return;
        }
        // Asked first: the run's file may have the old file's inode number, freed once the old
        // file was replaced and not kept by a link.
        const bool runs = leftByRun(*at.now, step, at.byNumber);
        if (!runs && sameFile(*at.now, step.old, at.byNumber)) {
            // Never replaced (killed before its rename) or never written (killed before its
            // write in place began): the old file is still there, and a kept link is only a
            // second name that would make the next run write it in place.
            dropKeptLink(m_fs, m_runDir, step, *at.now, at.byNumber);
        } else if (!runs) {
            leave(step.path, "changed since the run");
        } else if (step.keep == "=") {
            // The earlier step of the run takes it back.
            m_acceptedAsLeft.insert(identityOf(*at.now));
        } else if (step.keep == "-") {
            leave(step.path, "its old content was not kept");
        } else if (step.keep[0] == 'l') {
            putBackKeptFile(step, at);
        } else {
            putBackCopy(step, at);
        }
    }

    // The old file itself goes back under its name, with its own mode, owner and times; only
    // while it is the very file the run kept.
    void putBackKeptFile(const Step& step, const Place& at) {
        const std::string kept = step.keep.substr(1);
        std::optional<EntryStat> keptNow;
        try {
            keptNow = m_fs.lookAt(m_runDir, kept);
            if (!keptNow) {
                throw FsError(kErrFileNotFound, kept,
                              std::make_error_code(std::errc::no_such_file_or_directory));
            }
        } catch (const FsError& e) {
            leave(step.path, "old content not put back: " + causeText(e));
            return;
        }
        if (keptNow->kind != EntryStat::Kind::File || !sameFile(*keptNow, step.old, at.byNumber) ||
            keptNow->stamp.size != step.old.size || keptNow->stamp.mtimeSec != step.old.mtimeSec ||
            keptNow->stamp.mtimeNsec != step.old.mtimeNsec) {
            leave(step.path, "its kept old file was changed since the run, so it was not put back");
            return;
        }
        try {
            m_fs.renameIn(m_runDir, kept, *at.dir, at.name);
            ++m_report.restored;
        } catch (const FsError& e) {
            leave(step.path, "old content not put back: " + causeText(e));
        }
    }

    // The old content goes back from the run's pack, only while its checksum holds.
    void putBackCopy(const Step& step, const Place& at) {
        const std::string kept = step.keep.substr(1);
        std::uint64_t offset = 0;
        const auto [end, ec] = std::from_chars(kept.data(), kept.data() + kept.size(), offset);
        if (!step.checksum) {
            // Bytes that cannot be checked are not written over the file: they stay where the
            // user can take them.
            leave(step.path,
                  "its old content was kept without a checksum, so it was not put back (it is "
                  "in " +
                      m_runFolder + "/pack from byte " + kept + ", " +
                      std::to_string(step.old.size) + " bytes)");
            return;
        }
        try {
            if (ec != std::errc() || offset > static_cast<std::uint64_t>(INT64_MAX)) {
                ThrowErrno(EINVAL, kept);
            }
            if (m_pack.get() < 0) {
                EntryStat opened;
                m_pack = m_fs.openFileIn(m_runDir, "pack", opened);
            }
            std::uint64_t sum = 0;
            if (const int err =
                    ChecksumRange(m_pack.get(), static_cast<off_t>(offset), step.old.size, sum);
                err != 0) {
                ThrowErrno(err, "pack");
            }
            if (sum != *step.checksum) {
                leave(step.path, "its kept copy was changed since the run, so it was not put back");
                return;
            }
            m_acceptedAsLeft.insert(m_fs.putBackContent(
                *at.dir, at.name, identityOf(*at.now), step.kind == Step::Kind::InPlace,
                {m_pack.get(), offset, step.old.size, step.old.mode}));
            ++m_report.restored;
        } catch (const FsError& e) {
            leave(step.path, e.cause() == std::error_code(ESTALE, std::generic_category())
                                 ? std::string("changed since the run")
                                 : "old content not put back: " + causeText(e));
        }
    }

    UndoFileSystem& m_fs;
    const FolderHandle& m_runDir;
    const std::string& m_runFolder;
    Folders m_folders;
    const std::vector<std::size_t> m_lastHidden;
    const std::int64_t m_notBefore;
    Fd m_pack;
    UndoReport m_report;
    std::unordered_set<std::string> m_leftPaths;
    // New files announced, never confirmed, whose names hold a file no later step accounts for.
    std::unordered_set<std::string> m_unconfirmed;
    // Files that hold exactly what the run's earlier step on them left, though not as that step
    // recorded it: put back from a copy, or written again by the run, under this name or another
    // (a second hard link, a link followed): the file is taken back once, by its earliest step.
    std::unordered_set<FileIdentity> m_acceptedAsLeft;
};

}  // namespace

UndoReport UndoRun(UndoFileSystem& fs, const std::string& runFolder) {
    // Each level from the runs folder down is checked: the user's own, written by nobody else,
    // no link.
    const std::size_t slash = runFolder.rfind('/');
    const std::string runs = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : runFolder.substr(0, slash);
    const std::string id = runFolder.substr(slash == std::string::npos ? 0 : slash + 1);
    const FolderHandle runsDir = openRunsFolder(fs, runs);
    const FolderHandle runDir =
        openOwnFolder(fs, runsDir, id, "the run's folder " + QuotedShown(runFolder));
    if (present(fs, runDir, kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    const Fd fd = openOwnFile(fs, runDir, kJournalName,
                              "the journal " + QuotedShown(runFolder + "/" + kJournalName));
    // Held to the end: a run still writing this journal refuses it, and so does a second undo.
    LockForUndo(fd.get());
    if (present(fs, runDir, kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    JournalReader journal(fd.get());
    UndoReport report = Undoing(fs, runDir, runFolder, journal).takeBack(journal);
    try {
        fs.createFileIn(runDir, kUndoneName);
    } catch (const FsError&) {
        // Without its mark the run is offered again; a second undo finds nothing as the run
        // left it and changes nothing.
    }
    return report;
}

}  // namespace pellatrix
