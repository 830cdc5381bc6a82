#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem.h"
#include "engine/Trap.h"

namespace pellatrix {

/// Ordered folder paths, each ending with the separator.
using FolderList = std::vector<std::string>;

/// The breadth-first folder scan of one add. Yields through `yield` at its fixed points and
/// reports failures through `report`. One object serves one scan: it remembers the folders it
/// listed (device and inode), so links that loop back end the scan.
class FolderScan {
public:
    FolderScan(FileSystem& fs, std::function<void()> yield, ErrorReporter report);

    /// Extends `folders` in place with every reachable subfolder, breadth-first.
    void GetSubDirectories2016(FolderList& folders, bool recurse);

private:
    FileSystem& m_fs;
    std::function<void()> m_yield;
    ErrorReporter m_report;
    std::vector<FolderIdentity> m_listed;
};

/// Names of the files (not folders, hidden ones included) of `folder` that match the wildcard
/// `pattern` (`*` and `?`, case ignored), in listing order. Failures reach the caller.
std::vector<std::string> ListFilesInFolder(FileSystem& fs, const std::string& folder,
                                           const std::string& pattern);

/// True when `path` names an existing regular file. Never fails.
bool IsExistingFile(FileSystem& fs, const std::string& path);

/// True when `name` holds a character this program cannot carry (see the implementation).
bool HasUnusableChars(std::string_view name);

/// True when the attributes of `path` cannot be read. Never fails.
bool PathIsMissing(FileSystem& fs, const std::string& path);

}  // namespace pellatrix
