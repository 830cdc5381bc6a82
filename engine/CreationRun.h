#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/CreationUi.h"
#include "engine/FileSystem.h"
#include "engine/Trap.h"

namespace pellatrix {

class RunJournal;

/// The creation entries of one run, stored compactly: each entry's path and content bytes sit
/// side by side in large blocks, and an entry is a pointer and two lengths. A million-line list
/// thus costs about its own size once, with no string per line.
class CreationEntries {
public:
    enum class Content { None, Own, FixedText };

    struct Entry {
        const char* bytes;
        std::size_t pathLength;
        std::size_t contentLength;  // or one of the two marks below
        static constexpr std::size_t kNoContent = static_cast<std::size_t>(-1);
        static constexpr std::size_t kFixedText = static_cast<std::size_t>(-2);

        std::string_view path() const { return {bytes, pathLength}; }
        Content content() const {
            return contentLength == kNoContent   ? Content::None
                   : contentLength == kFixedText ? Content::FixedText
                                                 : Content::Own;
        }
        std::string_view ownContent() const { return {bytes + pathLength, contentLength}; }
    };

    /// Where the store stands, so everything added after it can be dropped again.
    struct Mark {
        std::size_t entries;
        std::size_t blocks;
        std::size_t usedInLast;
    };

    void append(std::string_view path, const std::string_view* content);
    std::size_t size() const { return m_entries.size(); }
    Entry& operator[](std::size_t i) { return m_entries[i]; }
    const Entry& operator[](std::size_t i) const { return m_entries[i]; }
    Mark mark() const;
    void rollBack(const Mark& mark);
    void clear();

private:
    char* reserve(std::size_t bytes);

    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t capacity;
    };
    std::vector<Block> m_blocks;
    std::size_t m_used = 0;  // bytes used in the last block
    std::deque<Entry> m_entries;
};

/// How the last run ended, for front ends that report it in words.
struct CreationSummary {
    std::size_t filesWritten = 0;
    std::size_t failures = 0;
    enum class Ending { None, Done, NoFilesAdded } ending = Ending::None;
    /// The folder of the run's journal; empty when it keeps none (nothing changed, or no
    /// journal could be kept).
    std::string journalFolder;
};

/// One step a preview foresees.
enum class PlannedAction { Create, Replace, Fail, Folder };

/// What a preview foresees, counted.
struct PreviewCounts {
    std::size_t create = 0;
    std::size_t replace = 0;
    std::size_t folders = 0;
    std::size_t failures = 0;
    /// The input list was empty: a run would only say "No files added.".
    bool noFilesAdded = false;
};

/// The creation run behind "Start Creating Files": reads every list file of the input list,
/// creates the missing folders, then writes every named file with the fixed text or its own
/// content, reporting each failure and going on.
class CreationRun {
public:
    CreationRun(FileSystem& fs, CreationUi& ui);

    /// The whole run; returns at once when a run is already under way. Failures are reported
    /// through the UI and never leave this call.
    void PushButton2_Click();

    /// Each run from now on keeps a journal for its undo in `runsFolder` (see RunJournal).
    void keepJournalIn(std::string runsFolder) { m_runsFolder = std::move(runsFolder); }

    /// Plans a run without writing anything: reads the lists as a run does (same order, fill
    /// rule, name cleaning, "~/" expansion and list-file guard) and hands each folder the run
    /// would make and each file it would create or replace, or foresees failing and why, to
    /// `sink`, in the run's order. Nothing when a run is under way.
    using PlanSink =
        std::function<void(PlannedAction action, std::string_view path, std::string_view why)>;
    std::optional<PreviewCounts> preview(const PlanSink& sink);

    /// A file the front end read for the run (the fixed text's file): like a list file, no
    /// run ever writes into it, whatever name or link reaches it. Kept for every later run.
    void protectFile(const std::string& path);

    bool runInProgress() const { return m_runInProgress; }
    /// The outcome of the last finished run.
    const CreationSummary& lastSummary() const { return m_summary; }

private:
    void readListFile(Trap& trap, const std::string& path, bool& usePerLineContent);
    void makeFolders(Trap& trap, std::size_t from);
    bool folderExists(const std::string& folder);
    void fillLeadingEntries(bool usePerLineContent);
    void writeFiles(Trap& trap, bool usePerLineContent);
    const std::string& homeFolder();
    void noteListFile(const std::string& path);
    void endRun();
    struct FolderPlan {
        enum class State { Exists, Planned, Fails } state = State::Exists;
        bool writable = true;  // new files can be made in it
        std::string why;       // for State::Fails
    };
    const FolderPlan& planFolder(const std::string& folder, const PlanSink& emit);
    void planFile(const std::string& path, const PlanSink& emit);
    void refuseListFile(const std::string& path, const FileIdentity& target) const;

    FileSystem& m_fs;
    CreationUi& m_ui;
    bool m_runInProgress = false;
    CreationSummary m_summary;
    CreationEntries m_entries;
    std::string m_fixedSnapshot;
    std::optional<std::string> m_home;  // read once per run, at the first "~/" entry
    // Folders seen to exist since the last yield: nothing of ours runs in between that could
    // remove them, so asking the file system again would answer the same.
    std::unordered_set<std::string> m_knownFolders;
    // The identities of every list file the run names, read or not: an opened target that is
    // one of them is refused, so a list is only ever read, whatever name or link reaches it.
    struct IdentityHash {
        std::size_t operator()(const FileIdentity& id) const {
            return std::hash<std::uint64_t>()(id.inode * 0x9e3779b97f4a7c15ULL ^ id.device);
        }
    };
    std::unordered_set<FileIdentity, IdentityHash> m_listFiles;
    std::unordered_set<FileIdentity, IdentityHash> m_protectedFiles;
    std::optional<std::string> m_runsFolder;
    // A preview's verdict on each folder it met, and the hashes of the paths it foresaw made.
    std::unordered_map<std::string, FolderPlan> m_folderPlans;
    std::unordered_set<std::size_t> m_plannedFiles;
};

}  // namespace pellatrix
