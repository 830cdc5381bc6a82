#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/posix/PosixFileSystem.h"

namespace pellatrix {

/// The name that stands for standard input where a file is read: as a list file or as the
/// fixed-text file.
inline constexpr std::string_view kStandardInputName = "-";

/// The real file system, except that a list or the fixed text may be any stream: "-" reads
/// standard input, and a pipe, a process substitution (/dev/fd/N), a FIFO or a character device
/// such as /dev/null is read once to its end, as cat would. A folder or a block device is
/// refused before anything is read.
class PipedFileSystem : public PosixFileSystem {
public:
    void readFile(const std::string& path,
                  const std::function<void(std::string_view)>& sink) override;
    /// The identity of "-" is that of standard input, so a run never writes into the file that
    /// its list was redirected from, while a file named "-" in the working folder is a target
    /// like any other.
    FileIdentity fileIdentity(const std::string& path) override;
};

}  // namespace pellatrix
