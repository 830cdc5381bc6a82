#include "engine/journal/StateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/journal/JournalFormat.h"
#include "engine/lists/ShownText.h"

namespace pellatrix::journal {

std::string Distrust(const EntryStat& entry, const std::string& what) {
    if (entry.kind == EntryStat::Kind::Link) {
        return what + " is a symbolic link, so it is not trusted";
    }
    if (entry.owner != ::geteuid()) {
        return what + " belongs to another user (user ID " + std::to_string(entry.owner) +
               "), so it is not trusted";
    }
    if ((entry.stamp.mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(entry.stamp.mode & 07777));
        return what + " may be written by other users (mode " + mode + "), so it is not trusted";
    }
    return {};
}

Fd OpenTrustedFolder(int at, const std::string& name, const std::string& what, std::string& why) {
    Fd folder(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (folder.get() < 0) {
        const int err = errno;
        // A link, or something else in its place: which one, a look tells.
        if ((err == ELOOP || err == ENOTDIR) &&
            ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            why = S_ISLNK(st.st_mode) ? Distrust(EntryStatOf(st), what) : what + " is not a folder";
        } else {
            why = what + " cannot be read: " + ErrnoText(err);
        }
        errno = err;
        return Fd();
    }
    if (::fstat(folder.get(), &st) != 0) {
        why = what + " cannot be read: " + ErrnoText(errno);
        return Fd();
    }
    why = Distrust(EntryStatOf(st), what);
    return why.empty() ? std::move(folder) : Fd();
}

Fd OpenTrustedRunsFolder(const std::string& path, std::string& why) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    const std::size_t slash = name.rfind('/');
    const std::string above = slash == std::string::npos ? "."
                              : slash == 0               ? "/"
                                                         : name.substr(0, slash);
    name = slash == std::string::npos || slash + 1 == name.size() ? name : name.substr(slash + 1);
    const std::string what = "the runs folder " + QuotedShown(path);
    const Fd aboveDir(::open(above.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (aboveDir.get() < 0) {
        why = what + " cannot be read: " + ErrnoText(errno);
        return Fd();
    }
    return OpenTrustedFolder(aboveDir.get(), name == "/" ? "." : name, what, why);
}

}  // namespace pellatrix::journal
