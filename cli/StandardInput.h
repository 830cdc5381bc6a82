#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "engine/fs/Fd.h"
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

    /// From now on the bytes of each stream read are kept in a temporary file of no name, and a
    /// stream read again gives them once more: the failed lines of a list from a pipe can be
    /// written when the run ends. Costs a copy of each stream, so only where they are asked for.
    void keepStreams() { m_keepStreams = true; }
    /// Whether the bytes of the stream `path` were kept whole.
    bool keptStream(const std::string& path) const { return m_kept.count(path) != 0; }

private:
    static void readKept(int fd, const std::function<void(std::string_view)>& sink);

    bool m_keepStreams = false;
    std::map<std::string, Fd> m_kept;
};

}  // namespace pellatrix
