#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "engine/posix/PosixFileSystem.h"

namespace pellatrix {

/// The effective user and group of the process, asked now.
ProcessIds CurrentProcessIds();

/// The process's umask, read once without changing it where the kernel tells it.
mode_t processUmask();

/// Whether the process may write the regular file `name` in `dir` (its lstat in `st`): answered
/// from the mode for the writer's own files; other files ask the kernel (groups, ACLs).
bool mayWrite(int dir, const char* name, const struct stat& st, const ProcessIds& ids);

struct PosixFileSystem::WriteDecision : WritePlan {
    WriteDecision() = default;
    WriteDecision(const WriteDecision&) = delete;
    WriteDecision& operator=(const WriteDecision&) = delete;
    ~WriteDecision() {
        if (held >= 0) {
            ::close(held);
        }
    }

    /// How Create and Replace act: a new file made exclusively, a new file renamed over the
    /// old one (in place when no new file can be made beside it), or the text written into
    /// what the path reaches (other names, a FIFO or device, or a dangling link's target).
    enum class How { New, Rename, InPlace } how = How::New;
    /// For Replace: the lstat of the file written (the link's target for a link).
    struct stat st {};
    /// For a link to a file: the file's own path, which a rename replaces.
    std::string resolved;
    /// For Create through a dangling link: the path of the file the write makes.
    std::string reached;
    /// For Fail: what the run's failure says after the path; error.message() when null.
    const char* detail = nullptr;
    /// A FIFO opened to see that a program reads from it, kept open until the write ends so
    /// that reader stays.
    int held = -1;
    /// For a FIFO (`name` in `dir`) a write is about to fill: opens `held`, or makes the
    /// decision Fail when no program reads from it. Never for a preview: the open alone
    /// releases a reader waiting for a writer.
    void holdReader(int dir, const char* name);
};

}  // namespace pellatrix
