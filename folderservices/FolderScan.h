#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/lists/PathRules.h"
#include "engine/run/Trap.h"

namespace pellatrix {

/// Ordered folder paths, each ending with the separator.
using FolderList = std::vector<std::string>;

/// The breadth-first folder scan of one add. Yields through `yield` at its fixed points and
/// reports failures through `report`. One object serves one scan: it remembers the folders it
/// met (device and inode) and keeps each in the list once, under the first path that reached
/// it, so links that loop back end the scan and no folder's files are listed twice.
class FolderScan {
public:
    FolderScan(ScanFileSystem& fs, std::function<void()> yield, ErrorReporter report);
    ~FolderScan();
    FolderScan(const FolderScan&) = delete;
    FolderScan& operator=(const FolderScan&) = delete;

    /// Extends `folders` in place with every reachable subfolder, breadth-first. Entries whose
    /// listing is refused (70) or whose path vanished (76) are removed; other failures are
    /// reported with the step number and the scan goes on.
    void GetSubDirectories2016(FolderList& folders, bool recurse);

    /// One folder of a streamed scan's result: the entry as it would stand in the list, and its
    /// files that match the scan's pattern as ListFilesWithAttributes gives them, read in the
    /// same pass as its subfolders; none where the scan did not read them (the caller lists
    /// that folder itself).
    using FolderSink =
        std::function<void(const std::string& entry, std::optional<std::vector<ListedFile>> files)>;

    /// GetSubDirectories2016 over the list {`start`} with recursion, except that each entry of
    /// the result goes to `sink` as soon as the scan has read it, in the result's order, instead
    /// of into a list. The scan lets each folder's path go once it has passed it, so it holds
    /// the rest of one level and the part of the next found so far.
    void streamTree(const std::string& start, const std::string& pattern, const FolderSink& sink);

private:
    /// The folders met: a sorted array, and the latest in a small hash set that is merged into
    /// it when it fills. 16 bytes a folder where a hash set alone takes about 56.
    class MetFolders {
    public:
        /// True when `id` was not met before.
        bool insert(const FolderIdentity& id);
        bool contains(const FolderIdentity& id) const;

    private:
        std::vector<FolderIdentity> m_sorted;
        std::unordered_set<FolderIdentity> m_recent;
    };
    class Folders;

    /// The attribute word that a pass read for each of its entries left in its list, in list
    /// order; none where the entry was no existing folder.
    using FolderWords = std::vector<std::optional<int>>;

    bool isExistingFolder(const std::string& path, int& attributes,
                          std::optional<FolderIdentity>& identity);
    /// One pass of GetSubDirectories2016; answers how many entries it removed from `folders`.
    /// Fills `words`, when given, for the caller's final pass over the same entries. `nested`:
    /// `folders` is a found list of the scan's own, not the caller's.
    std::size_t scanPass(Folders& folders, bool recurse, FolderWords* words, bool nested);

    ScanFileSystem& m_fs;
    std::function<void()> m_yield;
    ErrorReporter m_report;
    // Every folder met in this scan (device and inode), listed or not.
    MetFolders m_met;
    // Set while a streamed scan runs.
    FileSystem::KeepName m_keepFile;
    const FolderSink* m_sink = nullptr;
};

/// Path length limit, in characters, of a folder before it is listed and of a subfolder name.
inline constexpr std::size_t kMaxPathChars = 260;

/// The platform's path separator.
inline constexpr char kFolderSeparator = SeparatorOf(kNativeFlavour);

/// Names of the files (not folders, hidden ones included) of `folder` that match the wildcard
/// `pattern` (`*` and `?`, case ignored), sorted in listing order (ListingOrder.h). Failures
/// reach the caller.
std::vector<std::string> ListFilesInFolder(ScanFileSystem& fs, const std::string& folder,
                                           const std::string& pattern);

/// ListFilesInFolder with what a folder add's filter asks of each file: every name is a regular
/// file after following links (IsExistingFile holds), and `hiddenArchive` tells whether its
/// attribute word is exactly 34. One look-up per file at most, where the filter's own
/// IsExistingFile and attributes cost three. Sorted in listing order; failures reach the caller.
std::vector<ListedFile> ListFilesWithAttributes(ScanFileSystem& fs, const std::string& folder,
                                                const std::string& pattern);

/// True when `name` matches the wildcard `pattern` as a directory search would: `*` any run,
/// `?` one character, case ignored, every other character literal; a final ".*" also matches
/// names without that dot part, so "*.*" matches every name.
bool MatchesWildcard(const std::string& pattern, const std::string& name);

/// True when `path` names an existing regular file. Never fails.
bool IsExistingFile(ScanFileSystem& fs, const std::string& path);

/// True when `name` holds a character this program cannot carry: invalid UTF-8, a control code
/// (below 32 or 127 to 159) or "?". Code points above 255 are fine.
bool HasUnusableChars(std::string_view name);

/// Number of characters of `text` read as UTF-8; every byte that starts no valid sequence counts
/// as one character.
std::size_t CharacterCount(std::string_view text);

/// True when the attributes of `path` cannot be read. Never fails.
bool PathIsMissing(ScanFileSystem& fs, const std::string& path);

}  // namespace pellatrix
