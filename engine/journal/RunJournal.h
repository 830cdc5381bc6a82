#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/journal/JournalFormat.h"

namespace pellatrix {

/// The folder that keeps the journals of runs: $XDG_STATE_HOME/pellatrix/runs, or
/// ~/.local/state/pellatrix/runs; empty when no home folder is known.
std::string RunsFolder();

/// Whether old runs set aside wait in `runsFolder` for RemoveOldRuns.
bool OldRunsSetAside(const std::string& runsFolder);
/// Removes the old runs that runs set aside in `runsFolder` (see removeOldRunsLater), also
/// those a stopped removal left; only in a runs folder the undo would trust.
void RemoveOldRuns(const std::string& runsFolder);

/// How many runs are kept; starting a run removes the oldest beyond.
inline constexpr std::size_t kRunsKept = 10;
/// The old content of replaced files is kept by a hard link where the journal shares the
/// file system; otherwise it is copied into the run's pack file, up to this many bytes per run.
inline constexpr std::uint64_t kCopyLimit = std::uint64_t{256} << 20;

/// The journal of one run, kept in a folder of its own under the runs folder: a record is in
/// the file before the step it describes, so even a killed run can be taken back. Records go
/// into a shared mapping of the file, so each costs a copy, not a system call, and survives
/// the process. A journal that cannot go on (no space, no folder) stops keeping records and
/// says why once; the run goes on. Each step tells it through an entry of its own (beginStep):
/// steps on several threads at once each hold a lane that no other step holds meanwhile, and
/// their records go into the journal under it (see JournalFormat.h).
class RunJournal : public WriteJournal {
public:
    RunJournal() = default;
    RunJournal(const RunJournal&) = delete;
    RunJournal& operator=(const RunJournal&) = delete;
    ~RunJournal() override;

    /// Starts a new run's journal in `runsFolder` (made when missing). False, with problem()
    /// set, when the journal cannot be started.
    bool start(const std::string& runsFolder);
    /// The oldest runs that finish() drops are only set aside, for RemoveOldRuns to remove
    /// once the run's result is told: a run of 10,000 files then waits for no removal of an old
    /// run's 10,000 kept files.
    void removeOldRunsLater() { m_removeLater = true; }
    /// Marks the run complete and removes the oldest runs beyond kRunsKept. A run that changed
    /// nothing leaves no journal.
    void finish();
    /// Why this run cannot be undone, or not wholly (empty while the journal works).
    const std::string& problem() const { return m_problem; }
    /// The folder of this run's journal (empty when none was started).
    const std::string& folder() const { return m_folder; }
    /// `tell` hears, once each and while the run goes on, that the journal stopped part-way
    /// and that the old content of a replaced file could not be kept (the copy limit, no
    /// space). A journal that cannot start is told by problem() instead.
    void tellProblemsTo(std::function<void(const std::string&)> tell) { m_tell = std::move(tell); }

    std::unique_ptr<Entry> beginStep() override;
    std::vector<LeftHiddenFile> leftHiddenFiles() override;

private:
    // What a run's steps did, counted as the undo's listing counts them.
    struct StepCounts {
        std::size_t created = 0;
        std::size_t replaced = 0;
        std::size_t folders = 0;
        std::size_t notKept = 0;
        std::uint64_t keptBytes = 0;  // the disk old content takes, by link or copy
    };
    // What the step that holds it has told: "the last record" is its own. Held by one step at a
    // time, and kept for the next.
    struct Lane {
        unsigned number = 0;
        // A folder, new file or hidden file was announced and not yet confirmed: a withdrawal
        // now takes back only that announcement.
        bool announced = false;
        // What the lane's last step added to the run's counts, taken off again when it is
        // withdrawn.
        StepCounts lastCounted;
        // What the last record kept: its link (taken away again when its step is withdrawn),
        // or its region of the pack (put back when a write in place fails).
        std::string lastLink;
        bool keptFolder = false;  // its folder of kept links is made
        bool lastCopied = false;
        std::uint64_t lastCopyAt = 0;
        std::uint64_t lastCopySize = 0;
        FileStamp lastWritten;
        // Why the last old content was not kept.
        std::string notKept;
        std::string record;
    };
    class StepEntry;
    // A lane no step holds, and its giving back.
    Lane& takeLane();
    void giveLaneBack(Lane& lane);
    // What each entry tells, for the step that holds `mine`.
    void confirmMade(Lane& mine, char type, std::string_view path, const FileStamp& made);
    void announce(Lane& mine, char type, std::string_view path);
    void hiddenMade(Lane& mine, const FileStamp& file);
    void replacing(Lane& mine, const std::string& target, const FileStamp& old, bool inPlace,
                   int dir, const char* name);
    void written(Lane& mine, const FileStamp& file);
    void withdrawn(Lane& mine);
    bool keptOldCopy(const Lane& mine) const;
    bool putBackOld(const Lane& mine, int fd);
    // Adds `step` to the run's counts as the lane's last step; m_lock held.
    void count(Lane& lane, const StepCounts& step);
    // Writes the run's counts beside its journal, once it ended.
    void keepCounts();
    // Adds what was stored since the last call to the journal's checksum (from the mapping).
    void sumStored();
    // Appends the record of `lane`, after the lane's own record where another lane wrote last.
    void append(Lane& lane, std::string_view record);
    void append(std::string_view record);
    void store(std::string_view record);
    bool grow(std::size_t needed);
    // Makes the file `length` bytes long, all of it reserved; answers 0 or errno.
    int reserve(std::size_t length);
    void stop(const std::string& why);
    static void forgetLastKept(Lane& lane);
    // Where the old content of the file `name` in `dir` goes; `old` becomes the file copied.
    // Called without m_lock: a copy from a slow file system holds up no other step.
    std::string keepOldContent(Lane& lane, FileStamp& old, bool inPlace, int dir, const char* name);
    // Keeps the old file by a hard link in the run's folder, named in `kept`; false with errno.
    bool keepByLink(Lane& lane, int dir, const char* name, std::string& kept);
    // Copies the old file into the run's pack; its record's keep ("pN:SUM"), or "-".
    std::string keepCopy(Lane& lane, FileStamp& old, bool inPlace, int dir, const char* name);
    // A region of `size` bytes of the pack, at `at`: the pack's descriptor, or -1 (why in lane).
    int takePackRegion(Lane& lane, std::uint64_t size, std::uint64_t& at);
    void givePackRegionBack(std::uint64_t at, std::uint64_t size);
    void close();
    std::size_t madeSlot(const FileStamp& file);
    void rememberMade(const FileStamp& file);
    bool madeByRun(const FileStamp& file);
    // Called without m_lock: it may ask the file system. Valid until the thread's next call.
    const std::string& resolved(std::string_view path, bool followLast);

    // Held for every record and every shared field below but the atomics; never across a
    // call to the file system of the run's files but for a withdrawal.
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    std::vector<Lane*> m_freeLanes;
    unsigned m_lastLane = 0;
    std::string m_runsFolder;
    // The runs folder as checked when the run began: every act in it goes through this.
    Fd m_runsFd;
    std::string m_runName;
    std::string m_folder;
    int m_fd = -1;
    char* m_map = nullptr;       // the mapped window of the file
    std::size_t m_mapStart = 0;  // its offset in the file
    std::size_t m_mapped = 0;    // its length
    std::size_t m_used = 0;
    std::uint64_t m_blockSize = 0;  // of the run's folder: a kept file takes whole blocks
    std::size_t m_reserved = 0;     // the file's length: all of it reserved on the disk
    std::size_t m_changes = 0;
    std::atomic<std::size_t> m_kept{0};
    std::uint64_t m_copied = 0;
    int m_packFd = -1;
    // The run's folder, open: a kept file is linked in by its name alone.
    int m_folderFd = -1;
    std::uint64_t m_packSize = 0;
    // The device where a hard link into the journal failed as another file system.
    std::atomic<std::uint64_t> m_noLinkDevice{~std::uint64_t{0}};
    // A device whose files copy_file_range cannot copy into the pack: read and written.
    std::atomic<std::uint64_t> m_plainCopyDevice{~std::uint64_t{0}};
    bool m_working = false;
    std::function<void(const std::string&)> m_tell;
    // The first reason an old content was not kept is told.
    bool m_notKeptTold = false;
    std::string m_problem;
    std::vector<FileIdentity> m_made;
    // The folders records named, each as the system resolved it (bounded: a folder forgotten
    // is resolved again), under a lock of their own.
    std::mutex m_resolvedLock;
    std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> m_resolvedFolders;
    bool m_removeLater = false;
    StepCounts m_counts;
    // The journal's checksum, summed from the mapped window before it moves on and at the end
    // (up to m_summed): the counts carry it, and reading the journal back for it would cost a
    // network share a request per block.
    journal::RunningChecksum m_sum;
    std::size_t m_summed = 0;
};

/// One failed line of a list file: the list as the run named it, the line's number (from 1)
/// and its bytes as read, with the break (or NUL) that ends it. A line that ended its list
/// without a break gets the one of the line before it (a line feed for the first).
struct FailedLine {
    std::string list;
    std::uint64_t line = 0;
    std::string bytes;
};

/// What a run keeps of its failures: their number, the failed lines, the lists whose lines
/// could not be read again, and the list files of the run.
struct KeptFailures {
    std::size_t failures = 0;
    std::vector<FailedLine> lines;
    std::vector<std::string> unread;
    std::vector<std::string> lists;
};

/// The failed entries of one run, gathered as the front end hears of them: a list and line
/// per failure, nothing else while the run goes on. Their lines are read from the list files
/// once the run has ended, so a run without failures costs nothing more.
class FailedEntries {
public:
    /// A failure at `line` of `list`. One of a list as a whole (line 0) has no line to try
    /// again; the same line failing twice (its folder, then its file) is one line.
    void add(const std::string& list, std::uint64_t line);
    bool empty() const { return m_lists.empty(); }
    void clear() { m_lists.clear(); }
    /// A list that is no regular file (standard input, a pipe) is read again only where
    /// `kept` says the file system kept its bytes.
    void readStreamsWhen(std::function<bool(const std::string&)> kept) {
        m_streamKept = std::move(kept);
    }
    /// The failed lines, in the order of the lists and of their lines, read through `fs`
    /// (entries end in NUL when `nul`). A list that cannot be read again as the run read it
    /// (standard input, a pipe, a list changed since) is named in `unread` instead.
    std::vector<FailedLine> read(RunFileSystem& fs, bool nul,
                                 std::vector<std::string>& unread) const;
    /// What the run keeps of its failures: `kept` (its count and lists) with the lines read
    /// (read()), kept with the run whose journal is in `journalFolder` when there is one
    /// (KeepFailedLines; `problem` says why not).
    KeptFailures keep(RunFileSystem& fs, bool nul, KeptFailures kept,
                      const std::string& journalFolder, std::string& problem) const;

private:
    struct List {
        std::string name;
        std::vector<std::uint64_t> lines;
        // The list as it stood at its first failure; none for a stream.
        std::optional<FileStamp> stamp;
    };
    std::vector<List> m_lists;
    std::function<bool(const std::string&)> m_streamKept;
};

/// Keeps `kept` with the run whose journal is in `runFolder`, written whole or not at all;
/// answers why not, or an empty text.
std::string KeepFailedLines(const std::string& runFolder, const KeptFailures& kept);
/// What the run in `runFolder` kept of its failures. Throws JournalError when nothing was kept
/// (a run kept by an older version) or it cannot be read, UntrustedJournal as ListRuns does.
KeptFailures ReadKeptFailures(const std::string& runFolder);
/// What the run in `runFolder` kept of its failures but the failed lines themselves, from the
/// head of what it kept (nothing when it kept nothing or it cannot be read): for listing runs.
KeptFailures KeptRunHead(const std::string& runFolder);
/// The path of the first file the run in `runFolder` made or replaced, as its journal tells
/// it (of its first folder when it made no file); empty when it tells none or cannot be read.
/// Only the head of the journal is read.
std::string FirstPathOfRun(const std::string& runFolder);
/// The bytes that the run in `runFolder` keeps on the disk: its journal, its copies and what
/// it keeps of its failures (kept links are the old files themselves, not counted).
std::uint64_t KeptRunSize(const std::string& runFolder);

/// Why `path` cannot take a list of failed lines of a run that reads `inputs` (its list
/// files and the fixed text's file): one of them (by identity, whatever name reaches it), a
/// folder, in a missing folder, or not writable. Empty when it can.
std::string FailedListProblem(RunFileSystem& fs, const std::string& path,
                              const std::vector<std::string>& inputs);
/// Writes `lines` to `path` as a list file, whole or not at all (a new file beside it, then
/// renamed over it; through a symbolic link to the file it names). Answers why not, or an
/// empty text.
std::string WriteFailedList(const std::string& path, const std::vector<FailedLine>& lines);

/// A journal that cannot be undone as asked: damaged or foreign, undone before, or still being
/// written. Nothing was changed.
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A state folder or journal that is not the user's alone (another user's, writable by others,
/// or reached through a symbolic link): neither listed nor undone. Nothing was changed.
class UntrustedJournal : public JournalError {
public:
    using JournalError::JournalError;
};

/// One kept run, as its journal tells it.
struct RunSummary {
    std::string id;      // the name of its folder
    std::string folder;  // its full path
    std::size_t created = 0;
    std::size_t replaced = 0;
    std::size_t folders = 0;
    /// Replaced files whose old content was not kept.
    std::size_t notKept = 0;
    /// What its folder holds: the journal, and the old content it keeps (by link or copy).
    std::uint64_t bytes = 0;
    enum class State { Complete, Killed, Busy, Undone, Damaged } state = State::Complete;
    /// The journal stopped part-way (no space): the later steps are not in it.
    bool partial = false;
    std::string damage;  // for State::Damaged
};

/// The kept runs, newest first, each looked at through `fs` as the undo does; a missing folder
/// has none. Throws UntrustedJournal, changing nothing, when the runs folder, a run's folder or
/// a journal is not trusted; a journal that cannot be read is a Damaged run.
std::vector<RunSummary> ListRuns(UndoFileSystem& fs, const std::string& runsFolder);

/// The newest run not yet undone, for an undo; throws JournalError when there is none, or
/// UntrustedJournal as ListRuns does.
RunSummary NewestRunToUndo(UndoFileSystem& fs, const std::string& runsFolder);

/// What an undo did, and what it left alone, one "PATH: why" line each.
struct UndoReport {
    std::size_t removed = 0;
    std::size_t restored = 0;
    std::size_t foldersRemoved = 0;
    /// Hidden files a killed run left beside files it was replacing.
    std::size_t hiddenRemoved = 0;
    std::vector<std::string> leftAlone;
};

/// Takes back the run kept in `runFolder`: removes the files it created, puts back the old
/// content of those it replaced and removes the folders it made when empty, each only while
/// it is exactly as the run left it (identity, size, modification time). The whole journal is
/// read first; throws JournalError, changing nothing, when it is damaged or foreign, the run
/// was undone before, or a run is still writing it. Every look and act goes through `fs`, in
/// folders it holds open.
UndoReport UndoRun(UndoFileSystem& fs, const std::string& runFolder);

}  // namespace pellatrix
