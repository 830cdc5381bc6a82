#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/FileSystem.h"

namespace pellatrix {

/// The name that stands for standard input where a file is read: as a list file or as the
/// fixed-text file.
inline constexpr std::string_view kStandardInputName = "-";

/// The real file system, except that reading the file "-" reads standard input to its end,
/// so a list (or the fixed text) can come from a pipe.
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
