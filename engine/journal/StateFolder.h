#pragma once

#include <string>

#include "engine/fs/Fd.h"
#include "engine/fs/FileSystem.h"

// The one trust check of the state folder: the run writing its journal, the run dropping old
// runs, the listing and the undo all act only on folders and journals that the user alone can
// have written, opened without following a link.
namespace pellatrix::journal {

/// Why `entry`, named `what` in the message, is not the user's alone: a symbolic link, another
/// user's, or writable by others. Empty when it is trusted.
std::string Distrust(const EntryStat& entry, const std::string& what);

/// Opens the folder `name` in the folder open as `at` for reading, without following a link,
/// when it is a trusted folder. Otherwise an Fd of -1, with `why` saying why (errno is kept for a
/// failed open).
Fd OpenTrustedFolder(int at, const std::string& name, const std::string& what, std::string& why);

/// The runs folder at `path`, opened as OpenTrustedFolder opens a folder. The levels above it are
/// taken as they are: whoever may rearrange them can only put another folder in place, and one
/// that is not the user's is refused here.
Fd OpenTrustedRunsFolder(const std::string& path, std::string& why);

}  // namespace pellatrix::journal
