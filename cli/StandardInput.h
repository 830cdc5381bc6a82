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
    /// The list "-" is whatever standard input reads from, so a target that is that very file
    /// is guarded as a list file of the run.
    FileIdentity fileIdentity(const std::string& path) override;
};

}  // namespace pellatrix
