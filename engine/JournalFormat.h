#pragma once

// What the journal's writer, its reader and the undo share: the record format, read back as
// steps, and the few low-level helpers all three use. Internal to the engine.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem.h"

struct stat;

namespace pellatrix::journal {

// A run's folder under the runs folder is named after the run's start, so names sort by age.
// It holds:
//   journal  the records, below; locked (flock LOCK_EX) by the run while it writes, and by an
//            undo while it acts
//   pack     old contents copied one after another, where a link could not keep them
//   1, 2...  old files kept by a hard link
//   undone   present once the run was undone
//
// The journal is text: the header line, then one record per line, each written before the
// step it lets an undo take back, in the run's order. STAMP is six decimal numbers, each
// followed by a blank: device, inode, size, modification seconds and nanoseconds, mode. PATH
// is its length in bytes, a blank, then the bytes themselves (any byte but NUL), then the line
// break, so a path may hold blanks and line breaks. A path is absolute, as the system resolved
// it (no symbolic link on its way; format 2 kept it as listed), so an undo reaches it from the
// root without following a link. The unwritten rest of the file is NULs.
//   d STAMP PATH         a folder the run made
//   n STAMP PATH         a new file the run made under its own name, still empty
//   r STAMP KEEP PATH    the file PATH, as STAMP describes it, is about to be replaced by a
//                        rename; KEEP says where its old content went: "lN" the kept link N,
//                        "pN:X" the pack from byte N (STAMP's size bytes, X their XXH3 64-bit
//                        checksum in 16 hex digits; format 2 wrote "pN" alone), "=" a file this
//                        run made itself (nothing to keep), "-" not kept
//   i STAMP KEEP PATH    the same, for a file written in place
//   w STAMP              the file of the step before is written, as STAMP tells (for "r", the
//                        new file before its rename)
//   x                    the step before was taken away again (a failed or stopped write):
//                        its kept link is gone, a file written in place has its old content
//   s PATH               the journal stopped here (no space): later steps are not in it
//   e                    the run ended
inline constexpr std::string_view kHeader = "pellatrix-journal 3\n";
// Journals of the version before are read too: a user's kept runs stay undoable.
inline constexpr std::string_view kHeaderBefore = "pellatrix-journal 2\n";
inline constexpr const char* kJournalName = "journal";
inline constexpr const char* kUndoneName = "undone";

// One step of a run as the journal tells it.
struct Step {
    enum class Kind { Folder, New, Replace, InPlace } kind;
    std::string path;
    FileStamp opened;               // the folder, the new file, or the file renamed over the target
                                    // (known from its written record; none before it)
    FileStamp old;                  // a replaced file as it was
    std::string keep;               // "-", "=", "lN" or "pN" (the checksum apart)
    std::optional<FileStamp> left;  // the file as the run left it, when its write ended
    bool withdrawn = false;
    std::optional<std::uint64_t> checksum;  // of a "pN" copy, where the journal has one
};

struct Journal {
    std::vector<Step> steps;
    bool complete = false;
    bool partial = false;
};

// Reads and checks the whole journal open as `fd`; throws JournalError when it is damaged or
// foreign.
Journal ReadJournal(int fd);

std::string ErrnoText(int err);

// Names of the run folders, oldest first (the names begin with the start time).
std::vector<std::string> RunNames(const std::string& runsFolder);

FileStamp StampOf(const struct stat& st);

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
