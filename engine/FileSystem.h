#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellatrix {

/// Attribute bits of a path, in the classic attribute word.
enum Attribute : int {
    kAttrReadOnly = 1,
    kAttrHidden = 2,
    kAttrSystem = 4,
    kAttrDirectory = 16,
    kAttrArchive = 32,
    kAttrReparsePoint = 1024,
};

/// Identity of a folder on its device, so a scan can tell a folder it met before.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};
/// The same pair names any file: two paths with one identity reach one file.
using FileIdentity = FolderIdentity;

/// A regular file (after following links) of a listing, with the one attribute fact a folder add
/// asks of it.
struct ListedFile {
    std::string name;
    /// The attribute word of the file is exactly hidden + archive (34): a plain file, not a link,
    /// whose name begins with "." and which the process may write.
    bool hiddenArchive = false;
};

/// One read of a folder: its subfolders, and its files where the adapter gave them too.
struct FolderEntries {
    /// As subFolderNames gives them.
    std::vector<std::string> subFolders;
    /// As listFiles gives them for the same read; none when the adapter left them to listFiles.
    std::optional<std::vector<ListedFile>> files;
};

/// Everything the engine and the folder services ask of the file system. Paths and names are
/// bytes, passed on unchanged. Failures are FsError with a number and a description naming the
/// path; nothing here shows anything or blocks.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    /// Reads a regular file from start to end, handing its bytes to `sink` in order, in chunks.
    /// Throws FsError when it cannot be opened or read, or is not a regular file (a folder, FIFO,
    /// socket or device is refused before anything is read).
    virtual void readFile(const std::string& path,
                          const std::function<void(std::string_view)>& sink) = 0;

    /// Called with the identity of the opened target before anything in it changes; throwing
    /// refuses the write and leaves the target exactly as it was.
    using WriteGuard = std::function<void(const FileIdentity&)>;

    /// Creates or empties `path` and writes `text` exactly. Never creates folders, never blocks
    /// (a FIFO without reader fails). Throws FsError; a failure after the open leaves the file
    /// there and empty.
    virtual void writeFile(const std::string& path, std::string_view text,
                           const WriteGuard& guard) = 0;

    /// Device and inode of `path` after following links, whether or not it may be read or
    /// written; throws FsError when it cannot be found.
    virtual FileIdentity fileIdentity(const std::string& path) = 0;

    /// Creates one folder. Throws FsError 76 when its parent is missing, another number otherwise
    /// (75 when something already stands there).
    virtual void createFolder(const std::string& path) = 0;

    /// Last-modified time (seconds since the epoch); throws FsError when it cannot be read.
    virtual std::int64_t lastModified(const std::string& path) = 0;

    /// The attribute word of a path (see Attribute); throws FsError when it cannot be read.
    virtual int attributes(const std::string& path) = 0;

    /// attributes(path); for a folder, an adapter whose look-up also tells the identity that
    /// folderIdentity(path) would give may set `identity` too, saving that second look-up.
    virtual int attributesAndIdentity(const std::string& path,
                                      std::optional<FolderIdentity>& /*identity*/) {
        return attributes(path);
    }

    /// True for the root folder "/".
    virtual bool isRootFolder(const std::string& path) = 0;

    /// Names of the subfolders of `folder` (links to folders included), in listing order, without
    /// "." and "..". Throws FsError 70 (may not be listed) or 76 (missing), or another number.
    virtual std::vector<std::string> subFolderNames(const std::string& folder) = 0;

    /// Names of the entries of `folder` that are not folders (after following links), hidden ones
    /// included, in listing order. Throws FsError like subFolderNames.
    virtual std::vector<std::string> fileNames(const std::string& folder) = 0;

    /// True when `path` names a regular file after following links. Never opens it, never throws.
    virtual bool isExistingFile(const std::string& path) = 0;

    /// The names of fileNames(folder) that isExistingFile(folder + name) accepts, in listing
    /// order; `folder` ends with the separator. Throws FsError like fileNames. An adapter may
    /// answer from the listing itself instead of one look-up per name.
    virtual std::vector<std::string> regularFileNames(const std::string& folder) {
        std::vector<std::string> names;
        for (std::string& name : fileNames(folder)) {
            if (isExistingFile(folder + name)) {
                names.push_back(std::move(name));
            }
        }
        return names;
    }

    /// The regular files (after following links) of `folder` whose names `keep` accepts, in
    /// listing order, each with hiddenArchive as attributes() tells it; `folder` ends with the
    /// separator. Throws FsError like fileNames. A name that `keep` refuses costs nothing. Where
    /// the listing tells an entry's type, an adapter answers a kept name with at most one look-up
    /// (none for a plain file whose name does not begin with "."), where isExistingFile and
    /// attributes per name cost three.
    using KeepName = std::function<bool(const std::string&)>;
    virtual std::vector<ListedFile> listFiles(const std::string& folder, const KeepName& keep) {
        std::vector<ListedFile> files;
        for (std::string& name : fileNames(folder)) {
            if (keep && !keep(name)) {
                continue;
            }
            const std::string path = folder + name;
            if (!isExistingFile(path)) {
                continue;
            }
            bool hiddenArchive = false;
            try {
                hiddenArchive = attributes(path) == (kAttrHidden | kAttrArchive);
            } catch (...) {
                // Unreadable attributes are no hidden archive: the file is not held back.
            }
            files.push_back({std::move(name), hiddenArchive});
        }
        return files;
    }

    /// Device and inode of the folder `path` after following links; throws FsError.
    virtual FolderIdentity folderIdentity(const std::string& path) = 0;

    /// subFolderNames(folder), and where an adapter reads the files in the same pass, what
    /// listFiles(folder, keepFile) would give, so a scan that wants both reads a folder once.
    /// Throws like subFolderNames.
    virtual FolderEntries readFolder(const std::string& folder, const KeepName& /*keepFile*/) {
        return {subFolderNames(folder), std::nullopt};
    }
};

/// The real file system of a POSIX system.
class PosixFileSystem : public FileSystem {
public:
    void readFile(const std::string& path,
                  const std::function<void(std::string_view)>& sink) override;
    void writeFile(const std::string& path, std::string_view text,
                   const WriteGuard& guard) override;
    FileIdentity fileIdentity(const std::string& path) override;
    void createFolder(const std::string& path) override;
    std::int64_t lastModified(const std::string& path) override;
    int attributes(const std::string& path) override;
    int attributesAndIdentity(const std::string& path,
                              std::optional<FolderIdentity>& identity) override;
    bool isRootFolder(const std::string& path) override;
    std::vector<std::string> subFolderNames(const std::string& folder) override;
    std::vector<std::string> fileNames(const std::string& folder) override;
    bool isExistingFile(const std::string& path) override;
    std::vector<std::string> regularFileNames(const std::string& folder) override;
    std::vector<ListedFile> listFiles(const std::string& folder, const KeepName& keep) override;
    FolderIdentity folderIdentity(const std::string& path) override;
    FolderEntries readFolder(const std::string& folder, const KeepName& keepFile) override;
};

}  // namespace pellatrix
