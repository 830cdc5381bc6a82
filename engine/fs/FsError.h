#pragma once

#include <stdexcept>
#include <string>

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

/// The one failure type of platform calls: a number the callers can test and a description that
/// names the path, shown as it stands in the error report.
class FsError : public std::runtime_error {
public:
    FsError(int number, const std::string& description)
        : std::runtime_error(description), m_number(number) {}
    int number() const { return m_number; }

private:
    int m_number;
};

/// The error number for an errno value (the one table of the mapping).
int ErrorNumberForErrno(int err);

/// Throws FsError for errno `err`: "<what>: <strerror(err)>", e.g.
/// "Cannot open '/tmp/x/out.txt' for writing: No such file or directory".
[[noreturn]] void ThrowErrno(int err, const std::string& what);

}  // namespace pellatrix
