#pragma once

#include <fcntl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/fs/FileSystem.h"

namespace pellatrix {

/// A file that replaces an existing one is first written as ".NAME.pellatrix-XXXXXX" beside it
/// (NAME cut to fit, X a letter or digit), then renamed over it. Only the journal tells such a
/// file from a user's: the name alone never does.
inline constexpr std::string_view kTemporaryMark = ".pellatrix-";
inline constexpr std::size_t kTemporaryRandom = 6;

/// The effective user and group of the process, which a replaced file's owner is compared with.
struct ProcessIds {
    unsigned int uid = 0;
    unsigned int gid = 0;
};

/// The real file system of a POSIX system. Replacing a file writes a temporary file of the
/// pattern above and renames it over the target; a run removes, in each folder where it writes,
/// the temporary files that the journals of killed runs record there, while each is still the
/// file that run made. Writes, folders and look-ups of one run may go on several threads at
/// once; a network or user-space file system asks for that (stepsInFlight).
class PosixFileSystem : public FileSystem {
public:
    /// Where a name is reached: the folder open as `dir` (or the working folder, AT_FDCWD, for
    /// a path) and the name there.
    struct Place {
        int dir = AT_FDCWD;
        const char* name = nullptr;
    };

    PosixFileSystem();
    PosixFileSystem(const PosixFileSystem&) = delete;
    PosixFileSystem& operator=(const PosixFileSystem&) = delete;
    void readFile(const std::string& path,
                  const std::function<void(std::string_view)>& sink) override;
    void writeFile(const std::string& path, std::string_view text,
                   const WriteGuard& guard) override;
    bool writeFileOrKeep(const std::string& path, std::string_view text, const WriteGuard& guard,
                         bool keepExisting) override;
    // engine/posix/ContentWrite.cpp
    std::unique_ptr<TemplateFile> openTemplate(const std::string& path) override;
    void writeFileFrom(const std::string& path, const ContentBody& body,
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
    void beginRun() override;
    void endRun() override;
    PathProbe probe(const std::string& path) override;
    WritePlan planWrite(const std::string& path, bool keepExisting) override;
    bool madeFoldersTakeFiles() override;
    bool madeFilesStayWritable() override;
    // engine/posix/PosixFileSystemUndo.cpp
    FolderHandle openFolder(const std::string& path, bool followLinks) override;
    FolderHandle openFolderIn(const FolderHandle& at, const std::string& name) override;
    bool keepsFileNumbers(const FolderHandle& at) override;
    std::optional<EntryStat> lookAt(const FolderHandle& at, const std::string& name) override;
    Fd openFileIn(const FolderHandle& at, const std::string& name, EntryStat& opened) override;
    void createFileIn(const FolderHandle& at, const std::string& name) override;
    void removeIn(const FolderHandle& at, const std::string& name, bool folder) override;
    void renameIn(const FolderHandle& from, const std::string& fromName, const FolderHandle& to,
                  const std::string& toName) override;
    FileIdentity putBackContent(const FolderHandle& at, const std::string& name,
                                const FileIdentity& checked, bool inPlace,
                                const KeptContent& kept) override;
    std::size_t stepsInFlight(const std::string& folder) override;
    ~PosixFileSystem() override;

    /// planWrite's answer with what a write acts on (engine/posix/WriteDecision.h).
    struct WriteDecision;

private:
    // The one decision of planWrite and writeFile; `path` is reached as `name` in `dir`.
    void decideWrite(const std::string& path, int dir, const char* name, bool keepExisting,
                     WriteDecision& out);
    // decideWrite for an existing file, `out.st` (reached as `fileName` in `fileDir`).
    void decideReplace(int fileDir, const char* fileName, WriteDecision& out);
    ProcessIds processIds();
    // A write's last looks before it changes anything: the guard, a FIFO's reader, and its turn
    // among a run's steps that reach the same file (setSameFileOrder); false when a later step
    // writes the file instead. Throws what the guard throws, and StepAgain.
    // Whether hidden files that killed runs left wait to be cleared (the journal is asked once).
    bool askLeftHiddenFiles();
    // Makes the missing file a dangling link names, as a new file; false when it exists by now.
    bool writeNewThroughLink(const WriteDecision& plan, std::string_view text,
                             const WriteSection& section, WriteJournal::Entry* journal);
    bool readyToWrite(const std::string& path, const WriteGuard& guard, WriteDecision& plan);
    // Replaces the regular file `path` (reached from its folder, see placeOf) as `plan` decided:
    // by a rename, or in place where no new file can be made beside it.
    void replaceFile(const std::string& path, const WriteDecision& plan, std::string_view text,
                     const WriteGuard& guard, const WriteSection& section,
                     WriteJournal::Entry* journal);
    // Takes away what killed runs left in the folder of `path` (reached as `dir`), once per
    // folder and run.
    void clearLeftHiddenFiles(const std::string& path, int dir);
    // Where `path` is reached from: its folder kept open (`name` its last part), or AT_FDCWD
    // with the whole path as `name`.
    void placeOf(const std::string& path, int& dir, const char*& name);
    // Makes the new file `path` (reached as `name` in `dir`) exclusively; its descriptor, or -1
    // with errno set. `journal`: the step's entry, or none.
    static int createNew(const std::string& path, int dir, const char* name,
                         WriteJournal::Entry* journal);
    // A descriptor of `folder` kept for the run, or -1.
    int folderHandle(std::string_view folder);

    // At most this many folders are cleaned per run, so a run over millions of folders keeps
    // its memory; the rest are cleaned by a later run.
    static constexpr std::size_t kCleanedFoldersMax = std::size_t{1} << 18;
    // Whether the last file written existed: decides which question writeFile asks first.
    std::atomic<bool> m_lastExisted{false};
    // Held for each look at what the run's writes share below (never for a write itself).
    std::mutex m_runLock;
    // Hashes of the folders cleaned in this run (a clash only skips a clean-up).
    std::unordered_set<std::size_t> m_cleanedFolders;
    // The hidden files killed runs left, by the identity of their folder; asked of the journal
    // at the run's first write.
    std::unordered_map<FolderIdentity, std::vector<LeftHiddenFile>> m_leftHidden;
    bool m_leftHiddenAsked = false;
    std::atomic<bool> m_noLeftHidden{false};  // asked, and none left
    // The effective user and group, asked again at each run's start (processIds).
    ProcessIds m_ids;
    // The folders new files went to in this run, open (-1: not to be opened), so a new file
    // costs the look-up of its own name, not of its whole path. Bounded well below the limit
    // of open files; folders beyond it are reached by path.
    std::unordered_map<std::string, int, TextHash, std::equal_to<>> m_folderFds;
    std::size_t m_folderFdsMax = 0;
};

}  // namespace pellatrix
