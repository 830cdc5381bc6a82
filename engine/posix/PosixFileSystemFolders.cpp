// The listing half of PosixFileSystem: the entries of one folder, split into folders, other
// entries and regular files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/fs/FsError.h"
#include "engine/posix/PosixFileSystem.h"

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
        ThrowErrnoAs(kErrPathNotFound, err, what);
    }
    ThrowErrno(err, what);
}

// One entry of an open folder; its type is asked of the disk only when the listing left it open.
class Entry {
public:
    Entry(int folderFd, const dirent& entry) : m_fd(folderFd), m_entry(entry) {}

    const char* name() const { return m_entry.d_name; }

    // What the entry is after following a link (0 when that cannot be read, as for a dangling
    // link or a folder that may be read but not searched).
    mode_t type() {
        if (!m_typeKnown) {
            m_typeKnown = true;
            struct stat st {};
            if (::fstatat(m_fd, name(), &st, 0) == 0) {
                m_type = st.st_mode & S_IFMT;
            } else {
                m_error = errno;
            }
        }
        return m_type;
    }
    // errno of the failed look-up of type(), 0 when it worked or was not made.
    int typeError() const { return m_error; }

    // The entry itself, without following a link (0 when that cannot be read).
    mode_t linkType() {
        if (!m_linkTypeKnown) {
            m_linkTypeKnown = true;
            struct stat st {};
            if (::fstatat(m_fd, name(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                m_linkType = st.st_mode & S_IFMT;
            }
        }
        return m_linkType;
    }
    bool isLink() { return S_ISLNK(linkType()); }

    unsigned char listedType() const { return m_entry.d_type; }
    int folderFd() const { return m_fd; }

    // A plain file as the listing says, not a link.
    bool isPlainFile() const { return m_entry.d_type == DT_REG; }

    bool isFolder() {
        // The listing's own type answers most entries without a stat.
        switch (m_entry.d_type) {
            case DT_DIR:
                return true;
            case DT_UNKNOWN:
            case DT_LNK:
                return S_ISDIR(type());
            default:
                return false;
        }
    }

    bool isRegularFile() {
        switch (m_entry.d_type) {
            case DT_REG:
            case DT_UNKNOWN:
            case DT_LNK:
                // Even a plain file needs its look-up to succeed: in a folder that may be read
                // but not searched, no file can be opened.
                return S_ISREG(type());
            default:
                return false;
        }
    }

private:
    int m_fd;
    const dirent& m_entry;
    bool m_typeKnown = false;
    mode_t m_type = 0;
    bool m_linkTypeKnown = false;
    mode_t m_linkType = 0;
    int m_error = 0;
};

// Whether a folder may be searched is the same for all its plain files: one plain file's look-up
// answers for the others, so a listing costs one stat per folder instead of one per file.
class SearchPermission {
public:
    bool isRegularFile(Entry& e) {
        if (e.isPlainFile() && m_search != Search::Unknown) {
            return m_search == Search::Allowed;
        }
        const bool regular = e.isRegularFile();
        if (e.isPlainFile()) {
            if (regular) {
                m_search = Search::Allowed;
            } else if (e.typeError() == EACCES) {
                m_search = Search::Refused;
            }
        }
        return regular;
    }

private:
    enum class Search { Unknown, Allowed, Refused } m_search = Search::Unknown;
};

// Hands every entry of `folder` but "." and ".." to `visit(Entry&)` in readdir order.
template <class Visit>
void listFolder(const std::string& folder, Visit&& visit) {
    if (folder.find('\0') != std::string::npos) {
        throwListingError(EINVAL, folder);
    }
    // opendir opens with O_DIRECTORY, which refuses a FIFO or device before it could block.
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        throwListingError(errno, folder);
    }
    struct Closer {
        DIR* dir;
        ~Closer() { ::closedir(dir); }
    } closer{dir};
    const int fd = ::dirfd(dir);

    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                throwListingError(errno, folder);
            }
            return;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        Entry e(fd, *entry);
        visit(e);
    }
}

}  // namespace

std::vector<std::string> PosixFileSystem::subFolderNames(const std::string& folder) {
    std::vector<std::string> names;
    listFolder(folder, [&](Entry& e) {
        if (e.isFolder()) {
            names.emplace_back(e.name());
        }
    });
    return names;
}

std::vector<std::string> PosixFileSystem::fileNames(const std::string& folder) {
    std::vector<std::string> names;
    listFolder(folder, [&](Entry& e) {
        if (!e.isFolder()) {
            names.emplace_back(e.name());
        }
    });
    return names;
}

std::vector<std::string> PosixFileSystem::regularFileNames(const std::string& folder) {
    std::vector<std::string> names;
    SearchPermission search;
    listFolder(folder, [&](Entry& e) {
        if (!e.isFolder() && search.isRegularFile(e)) {
            names.emplace_back(e.name());
        }
    });
    return names;
}

namespace {

// Adds entry `e` to `files` when it is a regular file (after following links) that `keep`
// accepts, with its hiddenArchive fact.
void addListedFile(Entry& e, SearchPermission& search, const FileSystem::KeepName& keep,
                   std::vector<ListedFile>& files) {
    const unsigned char type = e.listedType();
    if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) {
        return;  // a folder, FIFO, socket or device as the listing says
    }
    std::string name = e.name();
    if (keep && !keep(name)) {
        return;
    }
    // The attribute word is 34 only for a plain file (a link adds 1024) whose name makes it
    // hidden and that may be written: only such a name needs the access look-up.
    const bool hiddenName = name.size() > 1 && name[0] == '.';
    bool regular = false;
    bool plain = false;
    switch (type) {
        case DT_REG:
            regular = search.isRegularFile(e);
            plain = true;
            break;
        case DT_LNK:
            regular = S_ISREG(e.type());
            break;
        case DT_UNKNOWN:
            // The listing cannot tell: a look-up without following tells a link from a plain
            // file, and a link then needs its target's.
            plain = !e.isLink();
            regular = S_ISREG(plain ? e.linkType() : e.type());
            break;
        default:
            break;
    }
    if (!regular) {
        return;
    }
    const bool hiddenArchive =
        plain && hiddenName && ::faccessat(e.folderFd(), e.name(), W_OK, 0) == 0;
    files.push_back({std::move(name), hiddenArchive});
}

}  // namespace

std::vector<ListedFile> PosixFileSystem::listFiles(const std::string& folder,
                                                   const KeepName& keep) {
    std::vector<ListedFile> files;
    SearchPermission search;
    listFolder(folder, [&](Entry& e) { addListedFile(e, search, keep, files); });
    return files;
}

FolderEntries PosixFileSystem::readFolder(const std::string& folder, const KeepName& keepFile) {
    // One read answers both questions: an entry that is a folder is no file of listFiles, and
    // every other entry gets exactly the look-ups listFiles would make.
    FolderEntries entries;
    std::vector<ListedFile> files;
    SearchPermission search;
    listFolder(folder, [&](Entry& e) {
        if (e.isFolder()) {
            entries.subFolders.emplace_back(e.name());
        } else {
            addListedFile(e, search, keepFile, files);
        }
    });
    entries.files = std::move(files);
    return entries;
}

}  // namespace pellatrix
