#include "engine/fs/FsError.h"

#include <cerrno>
#include <cstring>

namespace pellatrix {

int ErrorNumberForErrno(int err) {
    switch (err) {
        case ENOENT:
            return kErrFileNotFound;
        case ENOTDIR:
            return kErrPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case EBUSY:
            return kErrPermissionDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kErrDiskFull;
        default:
            // Everything else (EEXIST, EISDIR, ENAMETOOLONG, EIO, ENXIO, ...) is an access error
            // on the path itself, the nearest of the numbers callers tell apart.
            return kErrPathFileAccess;
    }
}

void ThrowErrno(int err, const std::string& what) {
    ThrowErrnoAs(ErrorNumberForErrno(err), err, what);
}

void ThrowErrnoAs(int number, int err, const std::string& what) {
    throw FsError(number, what + ": " + std::strerror(err),
                  std::error_code(err, std::generic_category()));
}

}  // namespace pellatrix
