#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/run/CreationEntries.h"
#include "engine/run/CreationUi.h"
#include "engine/run/StepPool.h"
#include "engine/run/Trap.h"

namespace pellatrix {

class FileContent;
class RunJournal;

/// How the last run ended, for front ends that report it in words.
struct CreationSummary {
    std::size_t filesWritten = 0;
    std::size_t filesSkipped = 0;  // existing files the front end asked to keep
    std::size_t failures = 0;
    std::size_t foldersMade = 0;
    enum class Ending { None, Done, NoFilesAdded } ending = Ending::None;
    /// The folder of the run's journal; empty when it keeps none (nothing changed, or no
    /// journal could be kept).
    std::string journalFolder;
};

/// One step a preview foresees. Keep: an existing file the front end asked to keep.
enum class PlannedAction { Create, Replace, Keep, Fail, Folder };
/// The word a preview's line begins with, the same in every front end: "create", "replace",
/// "keep", "fail" or "folder".
const char* PlannedActionWord(PlannedAction action);

/// What a preview foresees, counted.
struct PreviewCounts {
    std::size_t create = 0;
    std::size_t replace = 0;
    std::size_t keep = 0;
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
    CreationRun(RunFileSystem& fs, CreationUi& ui);

    /// The whole run; returns at once when a run is already under way. Failures are reported
    /// through the UI and never leave this call.
    void createFiles();

    /// A file the front end read for the run (the fixed text's file): like a list file, no
    /// run ever writes into it, whatever name or link reaches it. Kept for every later run.
    void protectFile(const std::string& path);

    /// What goes into the files beyond their texts (a template, fields, a size); nullptr, the
    /// default: each text exactly as it stands. A preview notes it per file (plannedNote).
    void setContent(const FileContent* content) { m_content = content; }
    /// In a preview's sink, for the file just handed to it: what its content is when not its
    /// text as it stands ("template t.odt, 12,345 bytes"); empty otherwise.
    const std::string& plannedNote() const { return m_plannedNote; }

    /// How many steps of each run go at once: 1 one at a time, as the list goes; 0 (the default)
    /// as the file system of the run's first folder suits (FileSystem::stepsInFlight). What
    /// the front end is told is the same either way, in the list's order.
    void setJobs(std::size_t jobs) { m_jobs = jobs; }
    /// The number of steps at once of the last run (1 before any).
    std::size_t lastJobs() const { return m_lastJobs; }

    /// Each run from now on keeps a journal for its undo in `runsFolder` (see RunJournal).
    void keepJournalIn(std::string runsFolder) { m_runsFolder = std::move(runsFolder); }
    /// The old runs each run drops are only set aside; the front end removes them with
    /// RemoveOldRuns once it told the run's result (see RunJournal::removeOldRunsLater).
    void removeOldRunsLater() { m_removeOldRunsLater = true; }

    /// Plans a run without writing anything: reads the lists as a run does (same order, fill
    /// rule, name cleaning, "~/" expansion and list-file guard) and hands each folder the run
    /// would make and each file it would create or replace, or foresees failing and why, to
    /// `sink`, in the run's order. Nothing when a run is under way.
    using PlanSink =
        std::function<void(PlannedAction action, std::string_view path, std::string_view why)>;
    std::optional<PreviewCounts> preview(const PlanSink& sink);

    bool runInProgress() const { return m_runInProgress; }
    /// The outcome of the last finished run.
    const CreationSummary& lastSummary() const { return m_summary; }

private:
    // Hands the journal to the file system and says how its troubles are told.
    void startJournal(RunJournal& journal, std::atomic<bool>& told);
    // How a run's steps are carried out: one at a time or on a pool (WritingSteps), or only
    // decided (DrySteps, the preview). The walk over the entries is one for all of them.
    class Steps;
    class WritingSteps;
    class DrySteps;
    // Reads each list of the input list in turn and gives its entries' folders to `steps`.
    void readLists(Trap& trap, bool& usePerLineContent, Steps& steps);
    void readListFile(Trap& trap, const std::string& path, bool& usePerLineContent);
    void walkFolders(Trap& trap, const CreationEntries::Mark& from, Steps& steps);
    void walkFiles(bool usePerLineContent, Steps& steps);
    void expandedPath(const CreationEntries::Entry& entry, std::string& path);
    void report(int number, const std::string& description, const std::string& location, int step);
    void fillLeadingEntries(bool usePerLineContent);
    // Starts the pool of this run when the first folder's file system asks for more than one
    // step at once.
    void choosePool(const std::string& firstPath);
    // What the journal said on a worker, told to the front end now, on its thread.
    void tellJournalNotes();
    const std::string& homeFolder();
    void noteListFile(const std::string& path);
    void refuseListFile(const std::string& path, const FileIdentity& target) const;
    void endRun();
    struct FolderPlan {
        // Deciding: a worker plans it now; others wait for its verdict.
        enum class State { Exists, Planned, Fails, Deciding } state = State::Exists;
        bool writable = true;     // new files can be made in it
        std::string why;          // for State::Fails
        FolderIdentity identity;  // where a run with a pool knows it; zero otherwise
    };
    // The one verdict on a folder, for the preview and the run alike. A folder to be made is
    // handed to `emit` after its parent: the preview shows it, the run makes it (a failure
    // there, thrown as FsError, makes the verdict Fails).
    const FolderPlan& planFolder(std::string_view folder, const PlanSink& emit);
    void decideFolder(std::string_view folder, const PlanSink& emit, FolderPlan& plan);
    bool plannedBefore(std::string_view path, bool insert);
    void planFile(const std::string& path, bool keepExisting, const PlanSink& emit);
    // One file's step: read on the run's thread, written there or on a worker, told on the
    // run's thread in list order.
    struct FileStep {
        std::string path;
        bool fixedText = false;  // it takes the fixed text, read when the step is given
        std::string text;        // the fixed text as it stood then
        bool fromFixed = false;  // its content is the fixed text (which a template stands for)
        std::string_view content;
        std::exception_ptr cleanFailure;
        const std::string* list = nullptr;
        std::uint64_t line = 0;
        std::size_t number = 0;
        std::size_t total = 0;
        int writeLine = 0;  // where its write's failure is reported
        bool existed = false;
        bool skipped = false;
    };
    void writeFileStep(FileStep& step, bool keepExisting, bool tellOutcome);
    // The pool's key of a file step: its name in its folder as the folder phase identified it,
    // so every spelling of the folder meets; its path where that folder is not known.
    std::string stepKey(const std::string& path) const;
    // A file an earlier entry of the plan writes, planned again.
    void planAgain(const std::string& path, bool keepExisting, const PlanSink& emit);

    RunFileSystem& m_fs;
    CreationUi& m_ui;
    const FileContent* m_content = nullptr;
    std::string m_plannedNote;
    bool m_runInProgress = false;
    CreationSummary m_summary;
    std::atomic<std::size_t> m_foldersMade{0};  // made on the workers too
    CreationEntries m_entries;
    std::string m_fixedSnapshot;
    // Where the step that runs now comes from, for the report of its failure.
    const std::string* m_sourceList = nullptr;
    std::uint64_t m_sourceLine = 0;
    std::vector<std::string> m_listNames;  // list number i's name as given, at i - 1
    std::optional<std::string> m_home;     // read once per run, at the first "~/" entry
    // The identities of every list file the run names, read or not: an opened target that is
    // one of them is refused, so a list is only ever read, whatever name or link reaches it.
    std::unordered_set<FileIdentity> m_listFiles;
    std::unordered_set<FileIdentity> m_protectedFiles;
    std::optional<std::string> m_runsFolder;
    bool m_removeOldRunsLater = false;
    // The verdict on each folder met: a preview's for its whole plan, a run's since its last
    // yield (nothing of ours runs in between that could change them); and the hashes of the
    // paths a preview foresaw made.
    std::unordered_map<std::string, FolderPlan, TextHash, std::equal_to<>> m_folderPlans;
    // Held for each look into m_folderPlans, which the workers of the folder phase share; a
    // plan leaving Deciding is told by m_folderDecided.
    std::mutex m_folderPlansLock;
    std::condition_variable m_folderDecided;
    // The identity of each folder of a run with a pool, by the hash of its path as written
    // (a clash only keys two files alike), kept for its file steps; bounded, beyond which
    // file steps are keyed by their paths.
    std::unordered_map<std::uint64_t, FolderIdentity> m_folderIds;
    std::size_t m_jobs = 0;
    std::size_t m_lastJobs = 1;
    bool m_poolChosen = false;
    std::unique_ptr<StepPool> m_pool;
    std::mutex m_journalNotesLock;
    std::vector<std::string> m_journalNotes;
    // Open addressing over 64-bit hashes (0 for a free slot): a million paths cost 16 MiB and
    // one memory access each, where a node set costs an allocation and several.
    std::vector<std::uint64_t> m_plannedFiles;
    std::size_t m_plannedCount = 0;
};

}  // namespace pellatrix
