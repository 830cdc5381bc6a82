// The listing half of PosixFileSystem: the entries of one folder, split into folders and the rest.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/FileSystem.h"
#include "engine/FsError.h"

namespace pellatrix {

namespace {

[[noreturn]] void throwListingError(int err, const std::string& folder) {
    std::string shown;
    for (char c : folder) {
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    const std::string what = "Cannot list folder '" + shown + "'";
    // A missing folder, or a missing or non-folder step on the way to it, is "path not found".
    if (err == ENOENT || err == ENOTDIR) {
        throw FsError(kErrPathNotFound, what + ": " + std::strerror(err));
    }
    ThrowErrno(err, what);
}

// Hands every entry of `folder` but "." and ".." to `visit(name, isFolder)` in readdir order.
// Links count as what they point to; a dangling link is no folder.
template <class Visit>
void listFolder(const std::string& folder, Visit&& visit) {
    if (folder.find('\0') != std::string::npos) {
        throwListingError(EINVAL, folder);
    }
    // O_DIRECTORY refuses a FIFO or device before it could block; O_NONBLOCK is a second guard.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throwListingError(errno, folder);
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int err = errno;
        ::close(fd);
        throwListingError(err, folder);
    }
    struct Closer {
        DIR* dir;
        ~Closer() { ::closedir(dir); }
    } closer{dir};

    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                throwListingError(errno, folder);
            }
            return;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        bool isFolder = entry->d_type == DT_DIR;
        // The entry's own type answers most entries without a stat; links and file systems that
        // do not fill it in are asked through the open folder.
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st {};
            isFolder = ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        visit(name, isFolder);
    }
}

}  // namespace

std::vector<std::string> PosixFileSystem::subFolderNames(const std::string& folder) {
    std::vector<std::string> names;
    listFolder(folder, [&](const char* name, bool isFolder) {
        if (isFolder) {
            names.emplace_back(name);
        }
    });
    return names;
}

std::vector<std::string> PosixFileSystem::fileNames(const std::string& folder) {
    std::vector<std::string> names;
    listFolder(folder, [&](const char* name, bool isFolder) {
        if (!isFolder) {
            names.emplace_back(name);
        }
    });
    return names;
}

}  // namespace pellatrix
