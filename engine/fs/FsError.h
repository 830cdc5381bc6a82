#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace pellatrix {

/// The classic runtime numbers that callers tell apart. Every other failure maps to the nearest.
enum ErrorNumber : int {
    kErrFileNotFound = 53,
    kErrDiskFull = 61,
    kErrPermissionDenied = 70,
    kErrPathFileAccess = 75,
    kErrPathNotFound = 76,
    kErrDialogResultTooLarge = 20476,
};

// How failures travel in the engine, one way throughout:
// - Inside the POSIX adapter (engine/posix) and the journal's own file handling (engine/journal),
//   a failed system call is an errno value, kept local to the helper that made the call.
// - At the edge of that code, it becomes an FsError (ThrowErrno): the classic number that
//   reports and callers test, a description naming the path as the report shows it, and the
//   system's cause as a std::error_code, which a caller compares with std::errc to tell apart
//   what the classic number merges. Every throwing operation of FileSystem fails so.
// - An answer that never throws (a probe, a plan for the preview) carries the same cause as a
//   std::error_code, never a bare errno.
// - Two kinds of report are not failures of a call and keep their own shape: JournalError, a
//   journal the undo will not follow (damaged, foreign, not trusted, busy), and the journal
//   writer's troubles, told once as text while the run goes on (it never throws).

/// The one failure type of platform calls: a number the callers can test and a description that
/// names the path, shown as it stands in the error report.
class FsError : public std::runtime_error {
public:
    FsError(int number, const std::string& description, std::error_code cause = {})
        : std::runtime_error(description), m_number(number), m_cause(cause) {}
    int number() const { return m_number; }
    /// What the system said, where it said it (empty otherwise): for a caller that must tell
    /// apart causes the classic number merges (a link on the way, a folder not empty).
    std::error_code cause() const { return m_cause; }

private:
    int m_number;
    std::error_code m_cause;
};

/// The error number for an errno value (the one table of the mapping).
int ErrorNumberForErrno(int err);

/// Throws FsError for errno `err`, with it as the cause: "<what>: <strerror(err)>", e.g.
/// "Cannot open '/tmp/x/out.txt' for writing: No such file or directory".
[[noreturn]] void ThrowErrno(int err, const std::string& what);
/// The same with the classic number `number` instead of the one the mapping gives.
[[noreturn]] void ThrowErrnoAs(int number, int err, const std::string& what);

}  // namespace pellatrix
