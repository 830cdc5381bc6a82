#include "engine/run/CreationRun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>

#include "engine/fs/FsError.h"
#include "engine/fs/StopSignals.h"
#include "engine/journal/RunJournal.h"
#include "engine/lists/HomePath.h"
#include "engine/lists/ListFile.h"
#include "engine/lists/PathRules.h"
#include "engine/run/FileContent.h"
#include "engine/run/ReportLocations.h"

namespace pellatrix {

namespace {

constexpr std::size_t kKnownFoldersMax = 4096;
// Folders whose identity a run with a pool keeps for the keys of its file steps (a few MiB).
constexpr std::size_t kFolderIdsMax = std::size_t{1} << 18;

// FolderPart without a copy: everything up to and including the last separator.
std::string_view FolderOf(std::string_view path) {
    const std::size_t slash = path.rfind(SeparatorOf(kNativeFlavour));
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

// `path` as the name a preview plans under: "//", "/./", a leading "./" and a trailing "/" read
// as the system reads them, so two spellings of one name meet. A path with ".." stays as it is:
// a link before it may lead elsewhere.
std::string PlanKey(std::string_view path) {
    const auto has = [&](std::string_view part) { return path.find(part) != path.npos; };
    if (path == ".." || path.starts_with("../") || path.ends_with("/..") || has("/../")) {
        return std::string(path);
    }
    std::string key = has("//") || has("/./") || path.starts_with("./") || path.ends_with("/.")
                          ? std::filesystem::path(path).lexically_normal().native()
                          : std::string(path);
    while (key.size() > 1 && key.back() == '/') {
        key.pop_back();
    }
    return key;
}

// The count of a preview that `action` adds to.
std::size_t& CountOf(PreviewCounts& counts, PlannedAction action) {
    switch (action) {
        case PlannedAction::Create:
            return counts.create;
        case PlannedAction::Replace:
            return counts.replace;
        case PlannedAction::Keep:
            return counts.keep;
        case PlannedAction::Fail:
            return counts.failures;
        case PlannedAction::Folder:
            break;
    }
    return counts.folders;
}

// A folder part (ending in "/", or empty) as PlanKey reads it, still ending in "/".
std::string FolderKey(std::string_view folder) {
    if (folder.empty()) {
        return {};
    }
    std::string key = PlanKey(folder);
    if (key != "/") {
        key += '/';
    }
    return key;
}

// No system call takes a longer path (PATH_MAX on Linux); a folder named by more bytes can neither
// exist nor be made, so it is not asked after (which would only copy it again).
constexpr std::size_t kLongestPath = 4096;

}  // namespace

// How the steps of the one walk over the entries are carried out. The walk reads the lists,
// gives each entry's folder, then each file, in list order; only what is done with them differs.
class CreationRun::Steps {
public:
    virtual ~Steps() = default;
    virtual void beginList() {}
    virtual void folder(std::string_view folder, std::uint64_t line) = 0;
    virtual void file(std::shared_ptr<FileStep> step) = 0;
    // Every step given so far is done and told.
    virtual void finish() {}
};

// The run's: each step done and told at once, or, where the run's file system asks for several
// at once, done on the pool's workers and told here in list order with the same numbered steps.
class CreationRun::WritingSteps : public Steps {
public:
    WritingSteps(CreationRun& run, Trap& trap)
        : m_run(run),
          m_trap(trap),
          m_keepExisting(run.m_ui.keepsExistingFiles()),
          m_tellOutcome(run.m_ui.wantsFileOutcomes()),
          m_makeFolder([this](PlannedAction, std::string_view bare, std::string_view) {
              m_run.m_fs.createFolder(std::string(bare));
              ++m_run.m_foldersMade;
          }) {}
    ~WritingSteps() override { m_run.m_fs.setSameFileOrder(nullptr); }
    WritingSteps(const WritingSteps&) = delete;
    WritingSteps& operator=(const WritingSteps&) = delete;

    void beginList() override {
        // A verdict holds only until the run yields.
        m_run.m_folderPlans.clear();
    }

    void folder(std::string_view folder, std::uint64_t line) override {
        StepPool* pool = choosePool(folder);
        if (pool == nullptr) {
            if (m_run.m_folderPlans.size() >= kKnownFoldersMax) {
                m_run.m_folderPlans.clear();
            }
            m_trap.step(166, [&] { m_run.planFolder(folder, m_makeFolder); });
            return;
        }
        // Each folder once, in one spelling: two would make it on two workers at once. Its chain
        // is made on a worker, parents first; two chains meeting in one missing folder wait for
        // one verdict (planFolder).
        std::string key = FolderKey(folder);
        if (m_given.count(key) != 0) {
            return;
        }
        if (m_given.size() >= kKnownFoldersMax) {
            pool->finish();
            m_given.clear();
            m_run.m_folderPlans.clear();
        }
        m_given.insert(key);
        pool->submit(
            {}, [this, key] { m_run.planFolder(key, m_makeFolder); },
            [this, line](std::exception_ptr error) {
                m_run.tellJournalNotes();
                if (error) {
                    m_run.m_sourceLine = line;
                    m_trap.step(166, [&] { std::rethrow_exception(error); });
                }
            });
    }

    void file(std::shared_ptr<FileStep> step) override {
        StepPool* pool = choosePool({});
        if (pool == nullptr) {
            announce(*step);
            takeFixedText(*step);
            tellOutcome(*step, write(*step));
            return;
        }
        takeFixedText(*step);
        pool->submit(
            m_run.stepKey(step->path),
            [this, step] {
                if (std::exception_ptr failure = write(*step)) {
                    std::rethrow_exception(failure);
                }
            },
            [this, step](std::exception_ptr failure) {
                m_run.tellJournalNotes();
                announce(*step);
                tellOutcome(*step, failure);
            });
    }

    void finish() override {
        // Every folder stands before the first file is written, and before the next list.
        if (m_run.m_pool) {
            m_run.m_pool->finish();
            m_run.tellJournalNotes();
        }
        m_given.clear();
    }

private:
    // The run's pool, chosen by its first folder's file system; none: one step at a time.
    StepPool* choosePool(std::string_view firstFolder) {
        if (!m_run.m_poolChosen) {
            m_run.choosePool(std::string(firstFolder));
            // Steps that meet one file behind a link are put in list order on their workers.
            m_run.m_fs.setSameFileOrder(m_run.m_pool.get());
        }
        return m_run.m_pool.get();
    }

    // The fixed text as it stands when the step is given: a user may edit it during the run.
    void takeFixedText(FileStep& step) {
        if (step.fixedText) {
            step.text = m_run.m_ui.fixedText();
            step.content = step.text;
        }
    }

    // The step's write, taken again whole when an earlier step wrote its file meanwhile.
    std::exception_ptr write(FileStep& step) {
        for (;;) {
            try {
                m_run.writeFileStep(step, m_keepExisting, m_tellOutcome);
                return nullptr;
            } catch (const StepAgain&) {
            } catch (...) {
                return std::current_exception();
            }
        }
    }

    void announce(const FileStep& step) {
        m_run.m_sourceList = step.list;
        m_run.m_sourceLine = step.line;
        m_trap.step(204, [&] { m_run.m_ui.yield(); });
        m_trap.step(206, [&] {
            m_run.m_ui.fileProgress(step.number, step.total);
            m_run.m_ui.setProgressValue(static_cast<double>(step.number) /
                                        static_cast<double>(step.total) * 100.0);
        });
        if (step.cleanFailure) {
            m_trap.step(208, [&] { std::rethrow_exception(step.cleanFailure); });
        }
    }

    void tellOutcome(const FileStep& step, std::exception_ptr failure) {
        if (step.skipped) {
            ++m_run.m_summary.filesSkipped;
            m_run.m_ui.fileDone(FileOutcome::Skipped, step.path);
            return;
        }
        if (m_trap.step(step.writeLine, [&] {
                if (failure) {
                    std::rethrow_exception(failure);
                }
            })) {
            ++m_run.m_summary.filesWritten;
            if (m_tellOutcome) {
                m_run.m_ui.fileDone(step.existed ? FileOutcome::Replaced : FileOutcome::Created,
                                    step.path);
            }
        }
    }

    CreationRun& m_run;
    Trap& m_trap;
    const bool m_keepExisting;
    const bool m_tellOutcome;
    const PlanSink m_makeFolder;
    std::unordered_set<std::string> m_given;  // folders handed to the pool since it last finished
};

// The preview's: each folder and file decided as the run would meet it, nothing touched. Its
// verdicts on folders hold for its whole plan.
class CreationRun::DrySteps : public Steps {
public:
    DrySteps(CreationRun& run, const PlanSink& emit)
        : m_run(run), m_emit(emit), m_keepExisting(run.m_ui.keepsExistingFiles()) {}

    void folder(std::string_view folder, std::uint64_t) override {
        m_run.planFolder(folder, m_emit);
    }
    void file(std::shared_ptr<FileStep> step) override {
        // Yields now and then, not per file: a preview costs a look-up per file, not a write.
        constexpr std::size_t kYieldEvery = 4096;
        if (step->number % kYieldEvery == 0) {
            m_run.m_ui.yield();
        }
        if (m_run.m_content != nullptr) {
            m_run.m_plannedNote = m_run.m_content->note(
                {step->path, step->fixedText ? m_run.m_ui.fixedText() : std::string(step->content),
                 step->fromFixed, step->number, step->list ? *step->list : std::string_view(),
                 step->line});
        }
        m_run.planFile(step->path, m_keepExisting, m_emit);
    }

private:
    CreationRun& m_run;
    const PlanSink& m_emit;
    const bool m_keepExisting;
};

const char* PlannedActionWord(PlannedAction action) {
    switch (action) {
        case PlannedAction::Create:
            return "create";
        case PlannedAction::Replace:
            return "replace";
        case PlannedAction::Keep:
            return "keep";
        case PlannedAction::Fail:
            return "fail";
        case PlannedAction::Folder:
            break;
    }
    return "folder";
}

CreationRun::CreationRun(RunFileSystem& fs, CreationUi& ui) : m_fs(fs), m_ui(ui) {}

void CreationRun::createFiles() {
    if (m_runInProgress) {  // 100
        return;
    }
    m_runInProgress = true;  // 102
    RunJournal journal;
    std::atomic<bool> journalTold{false};
    // Said once, in the run's own words: the run goes on whatever its journal does.
    const auto tellJournal = [&] {
        if (!journalTold && !journal.problem().empty()) {
            journalTold = true;
            m_ui.journalProblem((journal.folder().empty()
                                     ? "This run cannot be undone: "
                                     : "Only part of this run can be undone: ") +
                                journal.problem());
        }
    };
    struct EndOfRun {
        CreationRun& run;
        RunJournal& journal;
        ~EndOfRun() {
            // No worker writes once the journal closes.
            run.m_pool.reset();
            run.m_fs.endRun();
            run.m_fs.setJournal(nullptr);
            journal.finish();
            run.m_summary.journalFolder = journal.folder();
            if (RunListener* listener = run.m_ui.runListener()) {
                listener->runEnded();
            }
            run.endRun();
        }
    } endOfRun{*this, journal};

    m_summary = {};
    m_foldersMade = 0;
    m_poolChosen = false;
    m_lastJobs = 1;
    m_fs.beginRun();
    Trap trap(locations::kPushButton2,
              [this](int number, const std::string& description, const std::string& location,
                     int line) { report(number, description, location, line); });
    m_entries.clear();  // 104-110
    bool usePerLineContent = false;

    if (trap.test(114, [&] { return m_ui.entryCount() == 0; })) {
        trap.step(232, [&] { m_ui.showMessage("No files added."); });
        m_summary.ending = CreationSummary::Ending::NoFilesAdded;
        return;
    }
    trap.step(116, [&] { m_ui.showBusyPointer(); });
    if (m_runsFolder) {
        startJournal(journal, journalTold);
        tellJournal();
    }
    {
        // Phase 1: read every list file and make the missing folders; phase 2: write every file.
        WritingSteps steps(*this, trap);
        readLists(trap, usePerLineContent, steps);
        trap.step(188, [&] { fillLeadingEntries(usePerLineContent); });
        walkFiles(usePerLineContent, steps);
    }
    m_fs.endRun();
    tellJournal();
    m_summary.foldersMade = m_foldersMade;

    trap.step(220, [&] { m_ui.showDefaultPointer(); });
    trap.step(222, [&] { m_ui.setProgressValue(0); });
    trap.step(224, [&] { m_ui.setProgressText("Progress Bar"); });
    trap.step(230, [&] { m_ui.showMessage("Done."); });
    m_summary.ending = CreationSummary::Ending::Done;
}

void CreationRun::startJournal(RunJournal& journal, std::atomic<bool>& told) {
    // What the journal cannot keep later is told while the run goes on, once each.
    journal.tellProblemsTo([this, &told](const std::string& text) {
        told = true;
        if (OnStepWorker()) {
            // The front end hears it on its own thread, with the next outcome.
            std::lock_guard<std::mutex> lock(m_journalNotesLock);
            m_journalNotes.push_back(text);
        } else {
            m_ui.journalProblem(text);
        }
    });
    if (m_removeOldRunsLater) {
        journal.removeOldRunsLater();
    }
    if (journal.start(*m_runsFolder)) {
        m_fs.setJournal(&journal);
    }
}

void CreationRun::endRun() {
    m_pool.reset();
    m_poolChosen = false;
    m_entries.clear();
    m_fixedSnapshot.clear();
    m_plannedNote.clear();
    m_home.reset();
    m_listFiles.clear();
    m_listNames.clear();
    m_sourceList = nullptr;
    m_sourceLine = 0;
    m_folderPlans.clear();
    std::unordered_map<std::uint64_t, FolderIdentity>().swap(m_folderIds);
    std::vector<std::uint64_t>().swap(m_plannedFiles);
    m_plannedCount = 0;
    m_runInProgress = false;
}

std::optional<PreviewCounts> CreationRun::preview(const PlanSink& sink) {
    if (m_runInProgress) {
        return std::nullopt;
    }
    m_runInProgress = true;
    struct EndOfPreview {
        CreationRun& run;
        ~EndOfPreview() { run.endRun(); }
    } endOfPreview{*this};

    PreviewCounts counts;
    const PlanSink emit = [&](PlannedAction action, std::string_view path, std::string_view why) {
        ++CountOf(counts, action);
        if (action == PlannedAction::Folder) {
            // Marked by its ending "/", which no planned file has: a file named there later
            // meets this folder.
            plannedBefore(PlanKey(path) + '/', true);
        }
        sink(action, path, why);
    };
    // The run reports a list it cannot read and goes on; the preview names it the same way.
    Trap trap(locations::kPushButton2,
              [&](int, const std::string& description, const std::string&, int line) {
                  if (line == 124 && m_sourceList != nullptr) {
                      emit(PlannedAction::Fail, *m_sourceList, description);
                  }
              });
    if (m_ui.entryCount() == 0) {
        counts.noFilesAdded = true;
        return counts;
    }
    bool usePerLineContent = false;
    DrySteps steps(*this, emit);
    readLists(trap, usePerLineContent, steps);
    fillLeadingEntries(usePerLineContent);
    walkFiles(usePerLineContent, steps);
    return counts;
}

bool CreationRun::plannedBefore(std::string_view path, bool insert) {
    if (m_plannedFiles.empty()) {
        if (!insert) {
            return false;  // a run plans nothing here, and pays nothing for asking
        }
        m_plannedFiles.assign(std::size_t{1} << 16, 0);
    }
    std::uint64_t hash = std::hash<std::string_view>()(path);
    hash = hash == 0 ? 1 : hash;
    const std::size_t mask = m_plannedFiles.size() - 1;
    std::size_t slot = static_cast<std::size_t>(hash) & mask;
    while (m_plannedFiles[slot] != 0) {
        if (m_plannedFiles[slot] == hash) {
            return true;  // a clash of two hashes only calls a new file a replaced one
        }
        slot = (slot + 1) & mask;
    }
    if (insert) {
        m_plannedFiles[slot] = hash;
        if (++m_plannedCount * 2 > m_plannedFiles.size()) {
            std::vector<std::uint64_t> old(m_plannedFiles.size() * 2, 0);
            old.swap(m_plannedFiles);
            const std::size_t bigger = m_plannedFiles.size() - 1;
            for (std::uint64_t h : old) {
                if (h != 0) {
                    std::size_t at = static_cast<std::size_t>(h) & bigger;
                    while (m_plannedFiles[at] != 0) {
                        at = (at + 1) & bigger;
                    }
                    m_plannedFiles[at] = h;
                }
            }
        }
    }
    return false;
}

const CreationRun::FolderPlan& CreationRun::planFolder(std::string_view folder,
                                                       const PlanSink& emit) {
    {
        std::unique_lock<std::mutex> lock(m_folderPlansLock);
        if (auto known = m_folderPlans.find(folder); known != m_folderPlans.end()) {
            // Another worker deciding it: its verdict, not a second look (references into
            // the map outlive its growth).
            const FolderPlan& plan = known->second;
            m_folderDecided.wait(lock, [&] { return plan.state != FolderPlan::State::Deciding; });
            return plan;
        }
        FolderPlan deciding;
        deciding.state = FolderPlan::State::Deciding;
        m_folderPlans.emplace(folder, std::move(deciding));
    }
    FolderPlan plan;
    try {
        decideFolder(folder, emit, plan);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_folderPlansLock);
        m_folderPlans.erase(m_folderPlans.find(folder));
        m_folderDecided.notify_all();
        throw;
    }
    std::lock_guard<std::mutex> lock(m_folderPlansLock);
    if (plan.identity != FolderIdentity{} && m_folderIds.size() < kFolderIdsMax) {
        m_folderIds[std::hash<std::string_view>()(folder)] = plan.identity;
    }
    FolderPlan& decided = m_folderPlans.find(folder)->second;
    decided = std::move(plan);
    m_folderDecided.notify_all();
    return decided;
}

void CreationRun::decideFolder(std::string_view folder, const PlanSink& emit, FolderPlan& plan) {
    std::string bare(folder);
    while (bare.size() > 1 && bare.back() == '/') {
        bare.pop_back();
    }
    const PathProbe probe = m_fs.probe(bare.empty() ? std::string(".") : bare);
    switch (probe.kind) {
        case PathProbe::Kind::Folder:
            plan.writable = probe.writable;
            plan.identity = m_pool ? probe.identity : FolderIdentity{};
            break;
        case PathProbe::Kind::Missing: {
            // Made by the run when its parent exists or is made, and takes new files. A missing
            // root or working folder has no parent to make it in.
            const std::string parentFolder = FolderPart(bare);
            if (parentFolder.size() >= folder.size()) {
                plan = {FolderPlan::State::Fails, false, bare + ": " + std::strerror(ENOENT), {}};
                break;
            }
            if (plannedBefore(PlanKey(bare) + '/', false)) {
                // A preview's folder planned under another spelling ("d//e" after "d/e").
                plan.state = FolderPlan::State::Planned;
                plan.writable = m_fs.madeFoldersTakeFiles();
                break;
            }
            const FolderPlan& parent = planFolder(parentFolder, emit);
            if (parent.state == FolderPlan::State::Fails) {
                plan = {FolderPlan::State::Fails, false, parent.why, {}};
            } else if (!parent.writable) {
                plan = {FolderPlan::State::Fails,
                        false,
                        "no folder can be made in " + FolderPart(bare),
                        {}};
            } else {
                plan.state = FolderPlan::State::Planned;
                plan.writable = m_fs.madeFoldersTakeFiles();
                try {
                    emit(PlannedAction::Folder, bare, {});
                    if (m_pool) {
                        // Looked at once more: its identity keys the files steps written in it.
                        plan.identity = m_fs.probe(bare).identity;
                    }
                } catch (const FsError& e) {
                    // The run could not make it: made meanwhile by another, or it fails.
                    const PathProbe now = m_fs.probe(bare);
                    plan = now.kind == PathProbe::Kind::Folder
                               ? FolderPlan{FolderPlan::State::Exists,
                                            now.writable,
                                            {},
                                            m_pool ? now.identity : FolderIdentity{}}
                               : FolderPlan{FolderPlan::State::Fails, false, e.what(), {}};
                }
            }
            break;
        }
        case PathProbe::Kind::File:
        case PathProbe::Kind::Other:
            plan = {FolderPlan::State::Fails, false, "a folder part is a file: " + bare, {}};
            break;
        case PathProbe::Kind::Unknown:
            plan = {FolderPlan::State::Fails, false, bare + ": " + probe.error.message(), {}};
            break;
    }
}

void CreationRun::planFile(const std::string& path, bool keepExisting, const PlanSink& emit) {
    const FolderPlan& folder = planFolder(FolderOf(path), emit);
    if (folder.state == FolderPlan::State::Fails) {
        emit(PlannedAction::Fail, path, folder.why);
        return;
    }
    if (path.empty() || path.back() == '/') {
        // The folder exists by the time its file is written; a run that keeps existing files
        // keeps it.
        emit(keepExisting && !path.empty() ? PlannedAction::Keep : PlannedAction::Fail, path,
             keepExisting && !path.empty() ? std::string_view() : "it names a folder, not a file");
        return;
    }
    const std::string key = PlanKey(path);
    if (plannedBefore(key + '/', false)) {
        // The run makes this folder before it writes any file: the write meets a folder.
        emit(keepExisting ? PlannedAction::Keep : PlannedAction::Fail, path,
             keepExisting ? std::string_view() : "it is a folder");
        return;
    }
    // A path named twice is made by its first entry and replaced by the later ones.
    const auto create = [&] {
        if (plannedBefore(key, folder.writable)) {
            planAgain(path, keepExisting, emit);
        } else if (!folder.writable) {
            emit(PlannedAction::Fail, path, "no file can be made in " + FolderPart(path));
        } else {
            emit(PlannedAction::Create, path, {});
        }
    };
    if (folder.state == FolderPlan::State::Planned) {
        create();
        return;
    }
    // The adapter's own decision, as the run's write takes it; the folder's verdict above stands
    // for the exclusive create of a missing name.
    const WritePlan plan = m_fs.planWrite(path, keepExisting);
    if (plan.exists && plan.step != WritePlan::Step::Keep) {
        if (m_listFiles.count(plan.target) != 0) {
            emit(PlannedAction::Fail, path, "it is a list file of this run");
            return;
        }
        if (m_protectedFiles.count(plan.target) != 0) {
            emit(PlannedAction::Fail, path, "the run reads its text from it");
            return;
        }
    }
    switch (plan.step) {
        case WritePlan::Step::Create:
            if (plan.throughLink && plannedBefore(key, true)) {
                planAgain(path, keepExisting, emit);
            } else if (plan.throughLink) {
                emit(PlannedAction::Create, path, {});
            } else {
                create();
            }
            break;
        case WritePlan::Step::Replace:
            emit(PlannedAction::Replace, path, plan.why);
            break;
        case WritePlan::Step::Keep:
            emit(PlannedAction::Keep, path, {});
            break;
        case WritePlan::Step::Fail:
            emit(PlannedAction::Fail, path, plan.why);
            break;
    }
}

void CreationRun::planAgain(const std::string& path, bool keepExisting, const PlanSink& emit) {
    if (keepExisting) {
        emit(PlannedAction::Keep, path, {});
    } else if (!m_fs.madeFilesStayWritable()) {
        // Made under a umask that leaves its maker no right to write it.
        emit(PlannedAction::Fail, path, "it may not be written");
    } else {
        emit(PlannedAction::Replace, path, {});
    }
}

void CreationRun::readListFile(Trap& trap, const std::string& path, bool& usePerLineContent) {
    const CreationEntries::Mark before = m_entries.mark();
    bool sawSeparator = false;
    std::uint64_t lineNumber = 0;
    const EntryEnd end = m_ui.entriesEndInNul() ? EntryEnd::Nul : EntryEnd::LineBreak;
    bool complete = trap.step(124, [&] {
        ReadListFileLines(
            m_fs, path,
            [&](std::string_view line) {
                ++lineNumber;
                if (IsBlankLine(line)) {
                    return;
                }
                ListLine parsed = SplitListLine(line);
                // "~/" stays as written; it is made the home folder where the path is used.
                const bool inHome = HasHomePrefix(parsed.path);
                if (parsed.content) {
                    sawSeparator = true;
                    m_entries.append(lineNumber, parsed.path, inHome, &*parsed.content);
                } else {
                    m_entries.append(lineNumber, parsed.path, inHome, nullptr);
                }
            },
            end);
    });
    if (!complete) {
        // A read that failed part-way delivers none of its lines.
        m_entries.rollBack(before);
        return;
    }
    if (sawSeparator) {  // 126-132
        usePerLineContent = true;
    }
}

void CreationRun::expandedPath(const CreationEntries::Entry& entry, std::string& path) {
    if (entry.inHome) {
        path = ExpandHomePrefix(entry.path, homeFolder());
    } else {
        path.assign(entry.path);
    }
}

void CreationRun::report(int number, const std::string& description, const std::string& location,
                         int step) {
    ++m_summary.failures;
    if (RunListener* listener = m_ui.runListener()) {
        listener->failed({m_sourceList, m_sourceLine});
    }
    m_ui.reportFailure({m_sourceList, m_sourceLine}, number, description, location, step);
}

const std::string& CreationRun::homeFolder() {
    if (!m_home) {
        m_home = UserHomeFolder();
    }
    return *m_home;
}

void CreationRun::noteListFile(const std::string& path) {
    // Taken whether or not the list can be read: one that may not be read (mode 0222) is still
    // a list of this run, and another list naming it must not overwrite it.
    try {
        m_listFiles.insert(m_fs.fileIdentity(path));
    } catch (const std::exception&) {
        // Not there: nothing to protect; its read fails and is reported at 124.
    }
}

void CreationRun::protectFile(const std::string& path) {
    try {
        m_protectedFiles.insert(m_fs.fileIdentity(path));
    } catch (const std::exception&) {
        // Not there: nothing to protect.
    }
}

void CreationRun::refuseListFile(const std::string& path, const FileIdentity& target) const {
    if (m_listFiles.count(target) != 0) {
        throw FsError(kErrPermissionDenied,
                      "Cannot open '" + path + "' for writing: it is a list file of this run");
    }
    if (m_protectedFiles.count(target) != 0) {
        throw FsError(kErrPermissionDenied,
                      "Cannot open '" + path + "' for writing: the run reads its text from it");
    }
}

void CreationRun::choosePool(const std::string& firstPath) {
    m_poolChosen = true;
    std::size_t jobs = m_jobs;
    if (jobs == 0) {
        const std::string folder = FolderPart(firstPath);
        jobs = m_fs.stepsInFlight(folder.empty() ? std::string(".") : folder);
    }
    m_lastJobs = jobs < 1 ? 1 : jobs;
    if (m_lastJobs > 1) {
        m_pool = std::make_unique<StepPool>(m_lastJobs, StepWindow(m_lastJobs));
    }
}

void CreationRun::tellJournalNotes() {
    std::vector<std::string> notes;
    {
        std::lock_guard<std::mutex> lock(m_journalNotesLock);
        notes.swap(m_journalNotes);
    }
    for (const std::string& note : notes) {
        m_ui.journalProblem(note);
    }
}

void CreationRun::fillLeadingEntries(bool usePerLineContent) {
    if (!usePerLineContent) {
        return;
    }
    // Entries without content before the first one with content take the fixed text as it
    // stands now; those after it are written empty.
    bool snapshotTaken = false;
    CreationEntries::Cursor at = m_entries.begin();
    CreationEntries::Entry entry;
    while (m_entries.next(at, entry)) {
        if (entry.content != CreationEntries::Content::None) {
            break;
        }
        if (!snapshotTaken) {
            m_fixedSnapshot = m_ui.fixedText();
            snapshotTaken = true;
        }
        CreationEntries::giveFixedText(entry);
    }
}

std::string CreationRun::stepKey(const std::string& path) const {
    const std::string_view folder = FolderOf(path);
    const auto known = m_folderIds.find(std::hash<std::string_view>()(FolderKey(folder)));
    if (known == m_folderIds.end()) {
        return path;
    }
    return NameKey(known->second, std::string_view(path).substr(folder.size()));
}

void CreationRun::writeFileStep(FileStep& step, bool keepExisting, bool tellOutcome) {
    const std::string& path = step.path;
    const FileSystem::WriteGuard guard = [this, &path](const FileIdentity& target) {
        refuseListFile(path, target);
    };
    if (m_content == nullptr) {
        if (keepExisting || tellOutcome) {
            // Whether it was there, from the write's own look-up.
            step.existed = m_fs.writeFileOrKeep(path, step.content, guard, keepExisting);
            step.skipped = step.existed && keepExisting;
        } else {
            WriteTextFile(m_fs, path, step.content, guard);
        }
        return;
    }
    if (keepExisting || tellOutcome) {
        step.existed = m_fs.planWrite(path, true).step == WritePlan::Step::Keep;
        if (step.existed && keepExisting) {
            step.skipped = true;
            return;
        }
    }
    m_content->write(m_fs,
                     {path, step.content, step.fromFixed, step.number,
                      step.list ? *step.list : std::string_view(), step.line},
                     guard);
}

void CreationRun::readLists(Trap& trap, bool& usePerLineContent, Steps& steps) {
    int n = 0;
    trap.step(118, [&] { n = m_ui.entryCount(); });
    for (int i = 1; i <= n; ++i) {
        trap.step(120, [&] { m_ui.yield(); });
        steps.beginList();
        std::string listPath;
        // An entry the input list lost meanwhile has no list file to read: skip it.
        if (!trap.step(122, [&] { listPath = m_ui.entryText(i); })) {
            continue;
        }
        noteListFile(listPath);
        m_listNames.resize(static_cast<std::size_t>(i));
        m_listNames.back() = listPath;  // the file steps name each entry's list as given here
        m_entries.beginList(static_cast<std::size_t>(i));
        const CreationEntries::Mark firstNew = m_entries.mark();
        m_sourceList = &listPath;
        readListFile(trap, listPath, usePerLineContent);
        walkFolders(trap, firstNew, steps);
        m_sourceList = nullptr;
        m_sourceLine = 0;
    }
}

void CreationRun::walkFolders(Trap& trap, const CreationEntries::Mark& from, Steps& steps) {
    std::string path;
    CreationEntries::Cursor at = from.at;
    CreationEntries::Entry entry;
    while (m_entries.next(at, entry)) {  // 134-184
        m_sourceLine = entry.line;
        if (!trap.step(158, [&] { expandedPath(entry, path); })) {
            continue;
        }
        const std::string_view folder = FolderOf(path);
        if (folder.size() > kLongestPath || folder.find('\0') != std::string_view::npos) {
            continue;  // no such folder can be made; the file's own step reports the path
        }
        steps.folder(folder, entry.line);
    }
    steps.finish();
    m_sourceLine = 0;
}

void CreationRun::walkFiles(bool usePerLineContent, Steps& steps) {
    const std::size_t total = m_entries.size();  // 202
    CreationEntries::Cursor at = m_entries.begin();
    CreationEntries::Entry entry;
    for (std::size_t k = 1; k <= total && m_entries.next(at, entry); ++k) {
        auto step = std::make_shared<FileStep>();
        step->number = k;
        step->total = total;
        step->writeLine = usePerLineContent ? 216 : 212;
        expandedPath(entry, step->path);
        try {
            CleanFileNameInPlace(step->path);
        } catch (...) {
            step->cleanFailure = std::current_exception();  // the path stays as it was
        }
        if (!usePerLineContent) {  // 210
            step->fixedText = true;
            step->fromFixed = true;
        } else if (entry.content == CreationEntries::Content::Own) {  // 214
            step->content = entry.ownContent;
        } else if (entry.content == CreationEntries::Content::FixedText) {
            step->content = m_fixedSnapshot;
            step->fromFixed = true;
        }
        step->list = entry.list >= 1 && entry.list <= m_listNames.size()
                         ? &m_listNames[entry.list - 1]
                         : nullptr;
        step->line = entry.line;
        steps.file(std::move(step));
    }
    steps.finish();
    m_pool.reset();
    m_sourceList = nullptr;
    m_sourceLine = 0;
}

}  // namespace pellatrix
