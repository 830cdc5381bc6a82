#pragma once

#include <chrono>
#include <string>

namespace pellatrix {

/// Lets SIGINT, SIGTERM and SIGHUP end the program without leaving half a file behind. Outside a
/// file write they end it at once, as by default: nothing is in progress. During one they are
/// only noted; the write then removes what it made (its temporary file, or the new file it was
/// filling), so an existing file keeps its old content, and the process ends by the same signal
/// (a shell sees 128 + N). A signal ignored at start (nohup, a background job) stays ignored.
/// Called once at start-up by the companion; a program that never calls it is unaffected.
void StopOnSignals();

/// Marks one file write. While any lasts (on any thread), a stop signal is held back: the writer
/// asks stopRequested() where it can still take back what it did, and takes it back before
/// calling EndByStopSignal(). A stop that comes after the last question ends the process when
/// the section ends, with the file whole; on a worker thread it is left to the thread that
/// runs the workers (see BecomeStepWorker).
class WriteSection {
public:
    WriteSection();
    ~WriteSection();
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;

    bool stopRequested() const;
};

/// Thrown by EndByStopSignal on a worker thread: the step took back what it did, and the
/// thread that runs the workers ends the process once every worker has. Not a std::exception,
/// so no handler of failures takes it for one.
struct StepStopped {};

/// Makes the calling thread a worker of a run's steps: the stop signals are blocked on it, so
/// they reach the thread that runs the workers, and EndByStopSignal throws StepStopped here
/// instead of ending the process while other steps are still under way.
void BecomeStepWorker();

/// Whether the calling thread is such a worker.
bool OnStepWorker();

/// Whether a stop signal came and waits to end the process.
bool StopSignalNoted();

/// A descriptor that is readable once a stop signal came (-1 before StopOnSignals), for a wait
/// in poll() beside the one it waits for.
int StopSignalFd();
/// Waits at most `most` for a stop signal; whether one came.
bool WaitForStopSignalFor(std::chrono::milliseconds most);

/// `tell` hears, on the thread that waits, the path of a file whose write in place waits for
/// another program's lock, once before each such wait: a front end says why nothing moves. Set
/// once at start-up; none by default.
void TellLockWaitsTo(void (*tell)(const std::string& path));
/// Tells `path` to what TellLockWaitsTo set, if anything.
void TellLockWait(const std::string& path);

/// Ends the process by the stop signal that came, with its default action; on a worker
/// thread, throws StepStopped instead.
[[noreturn]] void EndByStopSignal();

}  // namespace pellatrix
