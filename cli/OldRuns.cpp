#include "cli/OldRuns.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/journal/RunJournal.h"

namespace pellatrix {

namespace {

// The idle class of I/O priority (linux/ioprio.h): the removal gets the disk when nobody else
// wants it.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioIdle = 3 << 13;

}  // namespace

void RemoveOldRunsInBackground(const std::string& runsFolder) {
    if (runsFolder.empty() || !OldRunsSetAside(runsFolder)) {
        return;
    }
    if (::fork() != 0) {
        return;  // the companion goes on (or, with no process to be had, they wait for later)
    }
    // Nothing of the companion's is held: not its terminal, its output or its session.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2 && null >= 0; ++fd) {
        ::dup2(null, fd);
    }
    ::close_range(3, ~0U, 0);
    ::setpriority(PRIO_PROCESS, 0, 19);
    ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioIdle);
    // One remover at a time: a second finds the lock taken and leaves the work to the first.
    const int lock = ::open(runsFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) == 0) {
        RemoveOldRuns(runsFolder);
    }
    ::_exit(0);
}

}  // namespace pellatrix
