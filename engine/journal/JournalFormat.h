#pragma once

// What the journal's writer, its reader and the undo share: the record format, read back as
// steps, and the few low-level helpers all three use. Internal to the engine.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/fs/FileStat.h"
#include "engine/fs/FileSystem.h"

struct stat;

namespace pellatrix::journal {

// A run's folder under the runs folder is named after the run's start, so names sort by age.
// It holds:
//   journal  the records, below; locked (flock LOCK_EX) by the run while it writes, and by an
//            undo while it acts
//   pack     old contents copied one after another, where a link could not keep them
//   1, 2...  old files kept by a hard link
//   k1, k2.. the same for the lanes 1, 2... of a run with steps on several threads: each lane
//            links into a folder of its own, so no link waits for another's in one folder
//   undone   present once the run was undone
//   failed   what the run kept of its failures, written whole once it ended (a run kept by an
//            older version has none): "pellatrix-failed 1 N" (N the number of failures), then
//            "u LIST" per list whose lines could not be read again, "l LIST" per list file of
//            the run, and last (so a listing reads the lists from the head alone) "f LINE LIST
//            BYTES" per failed line; LIST and BYTES are each their length in bytes, a blank,
//            then the bytes (BYTES the line as read, its break included); each record ends in
//            a line break
//
// The journal is text: the header line (kHeader; version 2 is read too), then one record per
// line, each written before the step it lets an undo take back, in the run's order; a folder,
// a new file or a hidden file is announced before it exists and confirmed with its identity
// once it does, so a kill between the two leaves a name the undo can look at. STAMP is six
// decimal numbers, each followed by a blank: device, inode, size, modification seconds and
// nanoseconds, mode. PATH is its length in bytes, a blank, then the bytes themselves (any byte
// but NUL), then the line break, so a path may hold blanks and line breaks. A path is
// absolute, as the system resolved it (no symbolic link on its way; format 2 kept it as
// listed), so an undo reaches it from the root without following a link. The unwritten rest
// of the file is NULs; a run that ends cuts it away, so a journal ending in NUL is a killed
// run's.
//   D @T PATH            the folder PATH is about to be made, at T nanoseconds since the epoch
//                        ("@T " is missing in journals before it was told)
//   d STAMP PATH         a folder the run made (after "D PATH": the one announced)
//   N @T PATH            the new file PATH is about to be made under its own name, at T
//   n STAMP PATH         a new file the run made under its own name, still empty (after
//                        "N PATH": the one announced)
//   H PATH               the hidden file PATH is about to be made, to be written and renamed
//                        over the file the next "r" names
//   h STAMP              the hidden file of the "H" before is made, as STAMP tells (its
//                        identity; the other numbers 0)
//   r STAMP KEEP PATH    the file PATH, as STAMP describes it, is about to be replaced by a
//                        rename; KEEP says where its old content went: "lN" the kept link N
//                        ("lkL/N": N in the folder of lane L),
//                        "pN:X" the pack from byte N (STAMP's size bytes, X their XXH3 64-bit
//                        checksum in 16 hex digits; format 2 wrote "pN" alone), "=" a file this
//                        run made itself (nothing to keep), "-" not kept
//   L NAME               the link NAME ("N" or "kL/N") of a file about to be replaced is being
//                        made; the "r" record after it names it once it was
//   i STAMP KEEP PATH    the same, for a file written in place
//   w STAMP              the file of the step before is written, as STAMP tells (for "r", the
//                        new file before its rename)
//   x                    the step before was taken away again (a failed or stopped write):
//                        its kept link is gone, a file written in place has its old content;
//                        after "D", "N" or "H": nothing was made
//   s PATH               the journal stopped here (no space): later steps are not in it
//   t N                  the records from here on, up to the next "t", are of lane N (a run
//                        whose steps go on several threads at once); "the step before" and
//                        "the announcement before" are then the last ones of the same lane.
//                        A journal without "t" is all lane 0
//   e                    the run ended
inline constexpr std::string_view kHeader = "pellatrix-journal 3\n";
// Journals of version 2 read alike (they hold no announcements and no checksums): a user's
// kept runs stay undoable.
inline constexpr std::string_view kHeaderVersion2 = "pellatrix-journal 2\n";
inline constexpr const char* kJournalName = "journal";
inline constexpr const char* kUndoneName = "undone";
// A run that ended by itself keeps its counts beside its journal, so a listing of many large
// runs need not read every journal: kCountsHeader, then the files created, replaced, the folders
// made, the replaced files whose old content was not kept, the bytes of old content kept and the
// journal's length, each a decimal number, then the journal's XXH3 checksum in 16 hex digits;
// blanks between, a line break after (kCountsHeaderVersion1: without the bytes kept). Counts whose
// journal has another length or checksum are not taken.
inline constexpr const char* kCountsName = "counts";
inline constexpr std::string_view kCountsHeader = "pellatrix-counts 2\n";
inline constexpr std::string_view kCountsHeaderVersion1 = "pellatrix-counts 1\n";

// One step of a run as the journal tells it.
struct Step {
    // Hidden: the file written beside a replaced one, before its rename.
    enum class Kind { Folder, New, Replace, InPlace, Hidden } kind;
    std::string path;
    FileStamp opened;               // the folder, the new file, or the file renamed over the target
                                    // (known from its written record; none before it)
    FileStamp old;                  // a replaced file as it was
    std::string keep;               // "-", "=", "lN" or "pN" (the checksum apart)
    std::optional<FileStamp> left;  // the file as the run left it, when its write ended
    bool withdrawn = false;
    std::optional<std::uint64_t> checksum;  // of a "pN" copy, where the journal has one
    // False for a folder or file announced whose making was never confirmed: a kill came
    // between the two, and `opened` is unknown.
    bool made = true;
    unsigned lane = 0;  // the "t" its records came under
    // When a folder or new file was announced, in nanoseconds since the epoch (0: not told).
    std::int64_t announcedNs = 0;
    // Its place among the journal's steps, from 0 (as JournalReader numbers them).
    std::size_t number = 0;
    bool operator==(const Step&) const = default;
};

struct Journal {
    std::vector<Step> steps;
    // The kept links the run began to make ("L") that no replacement claims.
    std::vector<std::string> unclaimedLinks;
    bool complete = false;
    bool partial = false;
};

// The disk a kept old file of `size` bytes takes: whole blocks of `block` bytes by a link ("lN"),
// its bytes alone in the pack ("pN"), nothing else.
std::uint64_t KeptOnDisk(std::string_view keep, std::uint64_t size, std::uint64_t block);

// Reads and checks the whole journal open as `fd`; throws JournalError when it is damaged or
// foreign.
Journal ReadJournal(int fd);
// The same check, keeping only what LastHiddenFiles needs: of each lane, the last step and the
// last hidden file before it.
Journal ReadJournalEnd(int fd);

// A journal read a part at a time, so that an undo of any length holds a small index of its
// steps rather than all of them: the whole journal is checked when it is opened (refused then,
// before anything is changed, as ReadJournal refuses it), and its steps are read back a block
// at a time. The file is mapped, and what was read is let go again.
class JournalReader {
public:
    // Steps are read back in blocks of this many.
    static constexpr std::size_t kBlock = 4096;

    // Reads the journal open as `fd` once through; throws JournalError when it is damaged or
    // foreign. `blockSize` steps are read back at a time.
    explicit JournalReader(int fd, std::size_t blockSize = kBlock);
    JournalReader(const JournalReader&) = delete;
    JournalReader& operator=(const JournalReader&) = delete;

    bool complete() const { return m_complete; }
    bool partial() const { return m_partial; }
    std::size_t stepCount() const { return m_starts.size(); }
    std::size_t blockCount() const { return m_blockEnds.size(); }
    // The steps numbered from blockSize * block on, at most blockSize of them, in the
    // journal's order, as ReadJournal tells them.
    std::vector<Step> block(std::size_t block);
    // The folders the run made and did not take back, by path: their identity (none for one
    // whose making a kill left unconfirmed).
    const std::unordered_map<std::string, FileIdentity>& madeFolders() const { return m_folders; }
    // The numbers of the steps LastHiddenFiles names.
    const std::vector<std::size_t>& lastHiddenFiles() const { return m_lastHidden; }
    // The links the run began to make and no step claims: a kill came between the two.
    const std::vector<std::string>& unclaimedLinks() const { return m_unclaimedLinks; }

private:
    // Lets go of the mapped bytes [from, to) (whole pages within).
    void release(std::size_t from, std::size_t to);

    // The file mapped, unmapped also when the first pass refuses it: the mapping holds the
    // file, and with it the undo's lock.
    struct Mapping {
        void* at = nullptr;
        std::size_t size = 0;
        Mapping() = default;
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;
        ~Mapping();
    } m_map;
    std::string_view m_text;
    std::string m_read;
    std::size_t m_blockSize;  // the bytes where the file cannot be mapped
    // Per step: where its first record begins (the low 48 bits) and its lane (the high 16).
    std::vector<std::uint64_t> m_starts;
    // Per block: the end of the last record of any of its steps.
    std::vector<std::size_t> m_blockEnds;
    std::unordered_map<std::string, FileIdentity> m_folders;
    std::vector<std::size_t> m_lastHidden;
    std::vector<std::string> m_unclaimedLinks;
    bool m_complete = false;
    bool m_partial = false;
};

// The path of the first file that the journal text `head` (its beginning, possibly cut) tells
// a run made or replaced, else of its first folder; empty when it names none.
std::string FirstPathIn(std::string_view head);

std::string ErrnoText(int err);

// Names of the run folders in the runs folder open as `runsFd`, oldest first (the names begin
// with the start time).
std::vector<std::string> RunNames(int runsFd);

// Every file of the run folder `name` in the runs folder open as `runsFd`, then the folder
// itself; only a trusted folder, never through a link (a link in its place is left as it is).
// `pause`, when given, is called now and then, and may wait.
using RemovalPause = std::function<void()>;
void RemoveRunFolder(int runsFd, const std::string& name, const RemovalPause& pause = {});

// A dropped run's folder is first set aside under this prefix, in one rename, and removed later
// (RemoveRunsSetAside): no run waits for the removal of an old one's kept files.
inline constexpr std::string_view kDroppedPrefix = ".dropped-";
// Sets the run folder `name` aside; false when it could not be renamed.
bool SetRunAside(int runsFd, const std::string& name);
// The names of the run folders set aside in the runs folder open as `runsFd`.
std::vector<std::string> RunsSetAside(int runsFd);
// Removes the run folders set aside in the runs folder open as `runsFd`, pausing as RemoveRunFolder
// does; what a kill leaves is removed by the next call.
void RemoveRunsSetAside(int runsFd, const RemovalPause& pause);

// The time before which nothing of the run named `runName` was made, in nanoseconds since the
// epoch: its start, less the lag of the coarse clock that stamps files. The greatest value
// (nothing counts as made by it) for a name that tells no start.
std::int64_t MadeNotBefore(std::string_view runName);
// Files are stamped by a clock that lags the one that names a run by up to a tick: a file
// changed this long before a run began may still be the run's, as far as its undo can tell.
inline constexpr std::int64_t kStampLagNs = 50'000'000;

// Whether `now` (looked at without following a link) is still what a run made: the file or
// folder `made` names when its making was confirmed; otherwise, an announcement a kill left
// unconfirmed, an empty regular file or a folder of this user changed no earlier than
// `notBefore`.
bool StillAsMade(const EntryStat& now, const std::optional<FileStamp>& made,
                 std::int64_t notBefore);
bool StillAsMade(const struct stat& now, const std::optional<FileStamp>& made,
                 std::int64_t notBefore);

// Takes the journal open as `fd` for an undo, held while it stays open: throws JournalError
// when a run still writes it or another undo holds it.
void LockForUndo(int fd);
// Whether a run or an undo holds the journal open as `fd` now.
bool InUse(int fd);
// Whether the journal open as `fd` holds nothing a run did: empty, or cut inside its first
// line, or its first line alone in a run that ended. Such a run was killed at its start.
bool StartedOnly(int fd);
// Whether the process that started the run named `name` ("...-PID") is gone.
bool StarterGone(const std::string& name);

// The hidden files of `journal` that its run may have left: the last one each lane made,
// unless withdrawn (each earlier one of a lane was renamed over its target or taken away
// before the next).
std::vector<const Step*> LastHiddenFiles(const Journal& journal);

// The hidden files that the ended run `name` of the runs folder open as `runsFd` may have left,
// as its trusted journal tells it; none for a run that ended by itself (looked at by its last
// byte alone).
std::vector<LeftHiddenFile> LeftHiddenFilesOf(int runsFd, const std::string& name);

// The hidden files that the ended runs kept in the runs folder open as `runsFd` (all but
// `exceptRun`) announced and did not take away, for the clean-up of the next run.
std::vector<LeftHiddenFile> HiddenFilesOfEndedRuns(int runsFd, std::string_view exceptRun);

using pellatrix::EntryStatOf;
using pellatrix::IdentityOf;
using pellatrix::StampOf;

// The XXH3 64-bit checksum of bytes given a piece at a time: the same value as of the bytes
// given whole.
class RunningChecksum {
public:
    RunningChecksum();
    ~RunningChecksum();
    RunningChecksum(const RunningChecksum&) = delete;
    RunningChecksum& operator=(const RunningChecksum&) = delete;
    void add(const void* data, std::size_t size);
    std::uint64_t value() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The XXH3 64-bit checksum of `length` bytes of `fd` from `at`, in `sum`; answers 0, errno, or
// EIO when the file ends early.
int ChecksumRange(int fd, off_t at, std::uint64_t length, std::uint64_t& sum);
// The checksum as the journal writes it: 16 hex digits.
std::string ChecksumText(std::uint64_t sum);

// Copies `length` bytes from `from` at `*fromAt` to `to` at `*toAt` (each offset moved on);
// answers 0, errno, or EIO when `from` ends early.
// `plain` is set once copy_file_range cannot serve the two files, and then used for the next
// copies of the same two file systems too.
int CopyRange(int from, off_t* fromAt, int to, off_t* toAt, std::uint64_t length, bool& plain);

}  // namespace pellatrix::journal
