#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/fs/ContentBody.h"
#include "engine/fs/Fd.h"

namespace pellatrix {

class WriteSection;

/// Attribute bits of a path, in the classic attribute word.
enum Attribute : int {
    kAttrReadOnly = 1,
    kAttrHidden = 2,
    kAttrSystem = 4,
    kAttrDirectory = 16,
    kAttrArchive = 32,
    kAttrReparsePoint = 1024,
};

/// Hashes a string or a view of one alike, so a map keyed by strings is asked with a view.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>()(text);
    }
};

/// The one identity of a file or folder: its device and inode. Two paths with one identity
/// reach one file; a scan tells by it a folder it met before. Hashed by std::hash.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
/// The same type, named so where a folder is meant.
using FolderIdentity = FileIdentity;

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

/// What a run's journal keeps of a file or folder: enough to tell later whether it is still
/// exactly as the run left it.
struct FileStamp {
    FileIdentity identity;
    std::uint64_t size = 0;
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;
    std::uint32_t mode = 0;
    bool operator==(const FileStamp&) const = default;
};

/// An entry as looked at without following a link: what an undo checks before it acts.
struct EntryStat {
    enum class Kind { File, Folder, Link, Other } kind = Kind::Other;
    /// Identity, size, modification time and mode.
    FileStamp stamp;
    /// The last change of its status, in nanoseconds since the epoch.
    std::int64_t changedNs = 0;
    /// The user ID that owns it.
    std::uint32_t owner = 0;
    /// How many names it has.
    std::uint64_t links = 0;
};

/// A folder held open by a file system (FileSystem::openFolder): what is looked at and acted on
/// in it stays in that very folder, whatever its path reaches meanwhile. Moved, never copied.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(Fd fd) noexcept : m_fd(std::move(fd)) {}
    /// The adapter's own descriptor of it.
    int fd() const { return m_fd.get(); }

private:
    Fd m_fd;
};

/// A hidden file that a killed run made beside a file it was replacing and never took away,
/// as that run's journal tells it.
struct LeftHiddenFile {
    std::string path;
    /// Its identity, where the journal confirmed its making.
    std::optional<FileStamp> made;
    /// Nanoseconds since the epoch: that run made nothing changed earlier.
    std::int64_t notBefore = 0;
};

/// Told by a file system adapter about each change a run makes, each before the step it makes
/// possible to take back: a new file right after its open (before any byte), a replaced file's
/// old content before the rename or the write in place. Never throws; a journal that fails
/// stops keeping records and the run goes on.
class WriteJournal {
public:
    /// The records of one step (a file written, a folder made): "the last record" below is the
    /// entry's own, whatever other steps tell the journal meanwhile on other threads.
    class Entry {
    public:
        virtual ~Entry() = default;
        /// The folder `path` was just made.
        virtual void folderCreated(const std::string& path, const FileStamp& folder) = 0;
        /// The new file `path` was just made under its own name, still empty.
        virtual void newFileOpened(const std::string& path, const FileStamp& file) = 0;
        /// The regular file `target` (as `old` describes it) is about to be replaced by a new
        /// file renamed over it; or, when `inPlace`, emptied and written again. The file is
        /// reached as `name` in the folder `dir` (AT_FDCWD with the whole path when none is open).
        virtual void replacing(const std::string& target, const FileStamp& old, bool inPlace,
                               int dir, const char* name) = 0;
        /// The file of the last record is written: as `file` tells, it is what the run leaves
        /// (for a rename, the new file, not yet renamed: until then the target is the old one).
        virtual void written(const FileStamp& file) = 0;
        /// The file of the last record was taken away again (a failed or stopped write); so is
        /// what the journal kept of the replaced file, which would otherwise be a second name of
        /// it. After an announcement below, its making failed and nothing was made.
        virtual void withdrawn() = 0;
        /// Whether the last record, a write in place, kept a copy of the old content.
        virtual bool keptOldCopy() const = 0;
        /// Puts that copy back into `fd` (the file being written in place), emptying it first;
        /// false when no copy was kept or it cannot be put back.
        virtual bool putBackOld(int fd) = 0;

        // Announced just before the system call that makes them, so a kill right after it
        // leaves a name the journal knows; confirmed by folderCreated, newFileOpened or
        // hiddenMade.
        /// The folder `path` is about to be made.
        virtual void makingFolder(const std::string& path) = 0;
        /// The new file `path` is about to be made under its own name.
        virtual void makingFile(const std::string& path) = 0;
        /// The hidden file `path` is about to be made beside a file the run replaces next.
        virtual void makingHidden(const std::string& path) = 0;
        /// The hidden file just announced was made, as `file` (its identity) tells.
        virtual void hiddenMade(const FileStamp& file) = 0;
    };

    virtual ~WriteJournal() = default;
    /// The entry of a step about to begin, told of that step alone until it goes.
    virtual std::unique_ptr<Entry> beginStep() = 0;
    /// The hidden files that ended runs of this user left behind, for the adapter to take away
    /// where this run writes; asked once per run.
    virtual std::vector<LeftHiddenFile> leftHiddenFiles() { return {}; }
};

/// What a preview needs to know of one path, from one look-up.
struct PathProbe {
    enum class Kind { Missing, File, Folder, Other, Unknown } kind = Kind::Missing;
    FileIdentity identity;
    /// For a folder: new files can be made in it; for a file: it may be written.
    bool writable = false;
    /// Why a look-up failed otherwise than by a missing name (Kind::Unknown).
    std::error_code error;
};

/// How one write of a file would go, decided from look-ups alone before anything changes: the
/// preview shows it, and a run's write decides the same way at its head.
struct WritePlan {
    enum class Step { Create, Replace, Keep, Fail } step = Step::Create;
    /// Something is reached at the path (after links): a write replaces it, a run told to keep
    /// existing files keeps it. A dangling link reaches nothing: a write creates its target.
    bool exists = false;
    /// When it exists: what the path reaches, which a write may still refuse (a list file).
    FileIdentity target;
    /// Create through a dangling link: the file made is the one the link names, in a folder
    /// the plan has checked, not a new name in the path's own folder.
    bool throughLink = false;
    /// For Fail: the system's cause the write fails with, and why in a few words. For Replace:
    /// what only the write itself finds out, in a few words (none for most files).
    std::error_code error;
    std::string why;
};

/// One key for every name of one file, so steps that reach it by different names meet: its
/// name in the folder of that identity (a linked folder, "..", "//" lead to the same), or, for a
/// file with several names (hard links), its own identity.
std::string NameKey(const FolderIdentity& folder, std::string_view name);
std::string IdentityKey(const FileIdentity& file);

/// Puts in list order the steps of one run on several threads that reach one file by names
/// their keys cannot tell alike beforehand (a symbolic link, a hard link): a write asks it, on
/// its step's thread, for each such key before it changes anything.
class SameFileOrder {
public:
    enum class Turn {
        Go,          // write now
        Superseded,  // a later step writes this file: leave it; the step counts as written
        Again,       // an earlier step wrote it meanwhile: take the whole step again (StepAgain)
    };
    virtual ~SameFileOrder() = default;
    /// Waits while an earlier step that holds `key` is under way; a stop signal ends the wait
    /// as EndByStopSignal does.
    virtual Turn reach(const std::string& key) = 0;
};

/// Thrown by writeFile when SameFileOrder answered Again: nothing changed, and the step is to
/// be taken again from its start. Not a std::exception, so no handler of failures takes it.
struct StepAgain {};

/// What a creation run asks of the file system: its lists read, its folders made, its files
/// written, each looked at first. Paths and names are bytes, passed on unchanged. Failures are
/// FsError with a number and a description naming the path; nothing here shows anything or
/// blocks.
class RunFileSystem {
public:
    virtual ~RunFileSystem() = default;

    /// Reads a regular file from start to end, handing its bytes to `sink` in order, in chunks.
    /// Throws FsError when it cannot be opened or read, or is not a regular file (a folder, FIFO,
    /// socket or device is refused before anything is read).
    virtual void readFile(const std::string& path,
                          const std::function<void(std::string_view)>& sink) = 0;

    /// Called with the identity of an existing target (the file a link reaches) before anything
    /// in it changes; throwing refuses the write and leaves the target exactly as it was. A file
    /// the write makes new is no one's, and is not shown to it.
    using WriteGuard = std::function<void(const FileIdentity&)>;

    /// Makes `path` hold exactly `text`. Never creates folders, never blocks (a FIFO without
    /// reader fails) but for another run writing the same file in place. Throws FsError. An
    /// existing file holds its old content or the whole new one, whatever fails; a failed write
    /// leaves no new file behind. A target that is not a regular file, has more than one link,
    /// or lies in a folder where no file can be made is written in place, under an exclusive
    /// lock (flock) that another run waits for; a failed or stopped write puts its old content
    /// back (from the journal's copy, else held in memory up to 64 MiB), or leaves it empty
    /// when neither kept it. A block device is refused. The write decides at its head as
    /// planWrite(path, false) does.
    virtual void writeFile(const std::string& path, std::string_view text,
                           const WriteGuard& guard) = 0;

    /// As writeFile, for a run that tells whether each file was created or replaced, or keeps
    /// existing files: answers whether `path` reached something before (what
    /// planWrite(path, true) tells as Keep); with `keepExisting`, what it reaches is left as it
    /// is. The default asks planWrite first; a file system that can answers from the write's
    /// own look-up, one request fewer per file.
    virtual bool writeFileOrKeep(const std::string& path, std::string_view text,
                                 const WriteGuard& guard, bool keepExisting) {
        const bool existed = planWrite(path, true).step == WritePlan::Step::Keep;
        if (!(existed && keepExisting)) {
            writeFile(path, text, guard);
        }
        return existed;
    }

    /// Opens the regular file `path` as a run's template (TemplateFile); nullptr when it is no
    /// regular file (a FIFO, a device), which is read once as text instead. Throws FsError when
    /// it cannot be opened or is a folder. The default reads it whole into `bytes`.
    virtual std::unique_ptr<TemplateFile> openTemplate(const std::string& path);

    /// writeFile with the bytes of `body`, with the same guarantees. A template that changed
    /// since it was opened fails the write (number 75), leaving the target as it was. The
    /// default puts the bytes together in memory and calls writeFile.
    virtual void writeFileFrom(const std::string& path, const ContentBody& body,
                               const WriteGuard& guard);

    /// The journal told of every change from now on (none: nullptr).
    void setJournal(WriteJournal* journal) { m_journal = journal; }
    /// What orders the writes of steps on several threads that reach one file by names of
    /// different keys (none: nullptr, one step at a time).
    void setSameFileOrder(SameFileOrder* order) { m_sameFile = order; }

    /// One look-up of `path` after following links, for a preview; never throws. A dangling
    /// link is Unknown (ENOENT): nothing can be made under its name.
    virtual PathProbe probe(const std::string& path) = 0;

    /// How writeFile(path) would go now, from look-ups only: never writes, never throws. With
    /// `keepExisting`, a path that reaches something is Keep, and nothing more is asked of it.
    /// A missing name is Create whatever its folder allows: the caller knows the folder (a
    /// write makes it exclusively, and fails where no file can be made). The default asks
    /// probe().
    virtual WritePlan planWrite(const std::string& path, bool keepExisting);

    /// How many steps of a run suit the file system that holds `folder` (or, while it is
    /// missing, its nearest folder above) at once: more than one where each request waits on a
    /// round trip, as on a network file system; one where a step costs less than handing it to
    /// another thread. An adapter that offers more is safe for steps on several threads at once.
    virtual std::size_t stepsInFlight(const std::string& /*folder*/) { return 1; }

    /// Whether a folder that createFolder makes takes new files and folders of this process.
    virtual bool madeFoldersTakeFiles() { return true; }
    /// Whether a file that writeFile makes new may be written again by this process.
    virtual bool madeFilesStayWritable() { return true; }

    /// A creation run begins: from now on writeFile clears away, in each folder where it
    /// writes, the hidden files that the journal records of killed runs left there.
    virtual void beginRun() {}
    /// The run's writes are over: what beginRun and the writes kept open is let go.
    virtual void endRun() {}

    /// Device and inode of `path` after following links, whether or not it may be read or
    /// written; throws FsError when it cannot be found.
    virtual FileIdentity fileIdentity(const std::string& path) = 0;

    /// Creates one folder. Throws FsError 76 when its parent is missing, another number otherwise
    /// (75 when something already stands there).
    virtual void createFolder(const std::string& path) = 0;

protected:
    WriteJournal* m_journal = nullptr;
    SameFileOrder* m_sameFile = nullptr;
};

/// What a scan of folders asks (the input list's folder add, the sample files): names, kinds and
/// attributes of what folders hold. Failures as for RunFileSystem.
class ScanFileSystem {
public:
    virtual ~ScanFileSystem() = default;

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

/// What an undo asks: it acts where it checked, so each act names an entry in a folder held
/// open, never a path that could reach somewhere else by then. Links are never followed but
/// where said. Each throws FsError, its cause the system's (a link on the way: ELOOP or
/// ENOTDIR); an adapter that cannot hold folders open keeps the defaults, which refuse.
class UndoFileSystem {
public:
    virtual ~UndoFileSystem() = default;

    /// Opens the folder `path`. With `followLinks`, as any open does; otherwise one level at a
    /// time from the root (the working folder for a relative path), and a symbolic link met
    /// anywhere on the way fails it.
    virtual FolderHandle openFolder(const std::string& path, bool followLinks);
    /// Whether files in `at` keep their identity's number: false where each name gets a number
    /// of its own and a new one once the system forgets the file (FUSE without inode numbers);
    /// there a file is known by its size and times instead.
    virtual bool keepsFileNumbers(const FolderHandle& /*at*/) { return true; }
    /// Opens the folder `name` (one level) in `at`, failing when it is a symbolic link.
    virtual FolderHandle openFolderIn(const FolderHandle& at, const std::string& name);
    /// Looks at `name` in `at`, or at `at` itself when `name` is empty; none when nothing is
    /// there.
    virtual std::optional<EntryStat> lookAt(const FolderHandle& at, const std::string& name);
    /// Opens `name` in `at` for reading, failing when it is a link; never blocks. `opened`
    /// tells what was opened. For the files a run keeps for its undo.
    virtual Fd openFileIn(const FolderHandle& at, const std::string& name, EntryStat& opened);
    /// Makes the empty file `name` in `at` (an existing regular file is left as it is).
    virtual void createFileIn(const FolderHandle& at, const std::string& name);
    /// Removes the file `name` from `at`, or with `folder` the empty folder (cause ENOTEMPTY
    /// or EEXIST when it is not empty).
    virtual void removeIn(const FolderHandle& at, const std::string& name, bool folder);
    /// Renames `fromName` in `from` to `toName` in `to`, replacing what is there.
    virtual void renameIn(const FolderHandle& from, const std::string& fromName,
                          const FolderHandle& to, const std::string& toName);
    /// Old content a run kept: `size` bytes of the file open as `source`, from `offset`, and
    /// the permission bits the file had.
    struct KeptContent {
        int source = -1;
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        std::uint32_t mode = 0;
    };
    /// Makes `name` in `at` hold `kept`: with `inPlace`, in the file itself, once the file
    /// opened is seen to be `checked` (cause ESTALE otherwise); otherwise as a new file with the
    /// kept permission bits, renamed over it. Answers the identity of the file that then holds
    /// them.
    virtual FileIdentity putBackContent(const FolderHandle& at, const std::string& name,
                                        const FileIdentity& checked, bool inPlace,
                                        const KeptContent& kept);
};

/// Everything the engine and the folder services ask of the file system, in one adapter.
class FileSystem : public RunFileSystem, public ScanFileSystem, public UndoFileSystem {
public:
    /// The default asks attributes() and fileIdentity().
    PathProbe probe(const std::string& path) override {
        PathProbe out;
        try {
            int attrs = attributes(path);
            out.kind =
                (attrs & kAttrDirectory) != 0 ? PathProbe::Kind::Folder : PathProbe::Kind::File;
            out.writable = (attrs & kAttrReadOnly) == 0;
            if (out.kind != PathProbe::Kind::Folder) {  // a folder's is never asked for
                out.identity = fileIdentity(path);
            }
        } catch (const std::exception&) {
            if (out.kind == PathProbe::Kind::Missing) {
                return {};
            }
        }
        return out;
    }
};

}  // namespace pellatrix

template <>
struct std::hash<pellatrix::FileIdentity> {
    std::size_t operator()(const pellatrix::FileIdentity& id) const noexcept {
        return std::hash<std::uint64_t>()(id.inode * 0x9e3779b97f4a7c15ULL ^ id.device);
    }
};
