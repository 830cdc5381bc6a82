#pragma once

namespace pellatrix {

/// Lets SIGINT, SIGTERM and SIGHUP end the program without leaving half a file behind. Outside a
/// file write they end it at once, as by default: nothing is in progress. During one they are
/// only noted; the write then removes what it made (its temporary file, or the new file it was
/// filling), so an existing file keeps its old content, and the process ends by the same signal
/// (a shell sees 128 + N). A signal ignored at start (nohup, a background job) stays ignored.
/// Called once at start-up by the companion; a program that never calls it is unaffected.
void StopOnSignals();

/// Marks one file write. While it lasts, a stop signal is held back: the writer asks
/// stopRequested() where it can still take back what it did, and takes it back before calling
/// EndByStopSignal(). A stop that comes after the last question ends the process when the
/// section ends, with the file whole.
class WriteSection {
public:
    WriteSection();
    ~WriteSection();
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;

    bool stopRequested() const;
};

/// Ends the process by the stop signal that came, with its default action.
[[noreturn]] void EndByStopSignal();

}  // namespace pellatrix
