#include "engine/CreationRun.h"

#include <algorithm>
#include <cstring>

#include "engine/FsError.h"
#include "engine/HomePath.h"
#include "engine/ListFile.h"
#include "engine/PathRules.h"
#include "engine/ReportLocations.h"
#include "engine/RunJournal.h"

namespace pellatrix {

namespace {

constexpr std::size_t kBlockSize = std::size_t{4} << 20;
constexpr std::size_t kKnownFoldersMax = 4096;

}  // namespace

char* CreationEntries::reserve(std::size_t bytes) {
    if (m_blocks.empty() || m_blocks.back().capacity - m_used < bytes) {
        std::size_t capacity = std::max(kBlockSize, bytes);
        m_blocks.push_back({std::unique_ptr<char[]>(new char[capacity]), capacity});
        m_used = 0;
    }
    char* at = m_blocks.back().data.get() + m_used;
    m_used += bytes;
    return at;
}

void CreationEntries::append(std::string_view path, const std::string_view* content) {
    std::size_t contentLength = content ? content->size() : 0;
    char* bytes = reserve(path.size() + contentLength);
    if (!path.empty()) {
        std::memcpy(bytes, path.data(), path.size());
    }
    if (contentLength != 0) {
        std::memcpy(bytes + path.size(), content->data(), contentLength);
    }
    m_entries.push_back({bytes, path.size(), content ? contentLength : Entry::kNoContent});
}

CreationEntries::Mark CreationEntries::mark() const {
    return {m_entries.size(), m_blocks.size(), m_used};
}

void CreationEntries::rollBack(const Mark& mark) {
    m_entries.resize(mark.entries);
    m_blocks.resize(mark.blocks);
    m_used = mark.usedInLast;
}

void CreationEntries::clear() {
    std::deque<Entry>().swap(m_entries);
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_used = 0;
}

CreationRun::CreationRun(FileSystem& fs, CreationUi& ui) : m_fs(fs), m_ui(ui) {}

void CreationRun::PushButton2_Click() {
    if (m_runInProgress) {  // 100
        return;
    }
    m_runInProgress = true;  // 102
    RunJournal journal;
    bool journalTold = false;
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
            run.m_fs.setJournal(nullptr);
            journal.finish();
            run.m_summary.journalFolder = journal.folder();
            run.endRun();
        }
    } endOfRun{*this, journal};

    m_summary = {};
    m_fs.beginRun();
    Trap trap(locations::kPushButton2, [this](int number, const std::string& description,
                                              const std::string& location, int line) {
        ++m_summary.failures;
        m_ui.reportNumberedError(number, description, location, line);
    });
    m_entries.clear();  // 104-110
    bool usePerLineContent = false;

    if (trap.test(114, [&] { return m_ui.entryCount() == 0; })) {
        trap.step(232, [&] { m_ui.showMessage("No files added."); });
        m_summary.ending = CreationSummary::Ending::NoFilesAdded;
        return;
    }
    trap.step(116, [&] { m_ui.showBusyPointer(); });
    if (m_runsFolder) {
        if (journal.start(*m_runsFolder)) {
            m_fs.setJournal(&journal);
        }
        tellJournal();
    }

    // Phase 1: read every list file and make the missing folders.
    int n = 0;
    trap.step(118, [&] { n = m_ui.entryCount(); });
    for (int i = 1; i <= n; ++i) {
        trap.step(120, [&] { m_ui.yield(); });
        m_knownFolders.clear();
        std::string listPath;
        // An entry the input list lost meanwhile has no list file to read: skip it.
        if (!trap.step(122, [&] { listPath = m_ui.entryText(i); })) {
            continue;
        }
        std::size_t firstNew = m_entries.size();
        noteListFile(listPath);
        readListFile(trap, listPath, usePerLineContent);
        makeFolders(trap, firstNew);
    }

    // Phase 2: write every file.
    trap.step(188, [&] { fillLeadingEntries(usePerLineContent); });
    writeFiles(trap, usePerLineContent);
    tellJournal();

    trap.step(220, [&] { m_ui.showDefaultPointer(); });
    trap.step(222, [&] { m_ui.setProgressValue(0); });
    trap.step(224, [&] { m_ui.setProgressText("Progress Bar"); });
    trap.step(230, [&] { m_ui.showMessage("Done."); });
    m_summary.ending = CreationSummary::Ending::Done;
}

void CreationRun::endRun() {
    m_entries.clear();
    m_knownFolders.clear();
    m_fixedSnapshot.clear();
    m_home.reset();
    m_listFiles.clear();
    m_folderPlans.clear();
    std::unordered_set<std::size_t>().swap(m_plannedFiles);
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
        switch (action) {
            case PlannedAction::Create:
                ++counts.create;
                break;
            case PlannedAction::Replace:
                ++counts.replace;
                break;
            case PlannedAction::Fail:
                ++counts.failures;
                break;
            case PlannedAction::Folder:
                ++counts.folders;
                break;
        }
        sink(action, path, why);
    };
    std::string listPath;
    // The run reports a list it cannot read and goes on; the preview names it the same way.
    Trap trap(locations::kPushButton2,
              [&](int, const std::string& description, const std::string&, int line) {
                  if (line == 124) {
                      emit(PlannedAction::Fail, listPath, description);
                  }
              });
    const int n = m_ui.entryCount();
    if (n == 0) {
        counts.noFilesAdded = true;
        return counts;
    }
    bool usePerLineContent = false;
    for (int i = 1; i <= n; ++i) {
        m_ui.yield();
        try {
            listPath = m_ui.entryText(i);
        } catch (const std::exception&) {
            continue;
        }
        const std::size_t firstNew = m_entries.size();
        noteListFile(listPath);
        readListFile(trap, listPath, usePerLineContent);
        for (std::size_t e = firstNew; e < m_entries.size(); ++e) {
            planFolder(FolderPart(m_entries[e].path()), emit);
        }
    }
    fillLeadingEntries(usePerLineContent);
    // Yields now and then, not per file: a preview costs a look-up per file, not a write.
    constexpr std::size_t kYieldEvery = 4096;
    std::string path;
    for (std::size_t k = 0; k < m_entries.size(); ++k) {
        if (k % kYieldEvery == kYieldEvery - 1) {
            m_ui.yield();
        }
        try {
            path = CleanFileName(m_entries[k].path());
        } catch (const std::exception&) {
            path.assign(m_entries[k].path());
        }
        planFile(path, emit);
    }
    return counts;
}

const CreationRun::FolderPlan& CreationRun::planFolder(const std::string& folder,
                                                       const PlanSink& emit) {
    if (auto known = m_folderPlans.find(folder); known != m_folderPlans.end()) {
        return known->second;
    }
    FolderPlan plan;
    std::string bare = folder;
    while (bare.size() > 1 && bare.back() == '/') {
        bare.pop_back();
    }
    const PathProbe probe = m_fs.probe(bare.empty() ? std::string(".") : bare);
    switch (probe.kind) {
        case PathProbe::Kind::Folder:
            plan.writable = probe.writable;
            break;
        case PathProbe::Kind::Missing: {
            // Made by the run when its parent exists or is made, and takes new files.
            const FolderPlan& parent = planFolder(FolderPart(bare), emit);
            if (parent.state == FolderPlan::State::Fails) {
                plan = {FolderPlan::State::Fails, false, parent.why};
            } else if (!parent.writable) {
                plan = {FolderPlan::State::Fails, false,
                        "no folder can be made in " + FolderPart(bare)};
            } else {
                plan.state = FolderPlan::State::Planned;
                emit(PlannedAction::Folder, bare, {});
            }
            break;
        }
        case PathProbe::Kind::File:
        case PathProbe::Kind::Other:
            plan = {FolderPlan::State::Fails, false, "a folder part is a file: " + bare};
            break;
        case PathProbe::Kind::Unknown:
            plan = {FolderPlan::State::Fails, false, bare + ": " + std::strerror(probe.error)};
            break;
    }
    return m_folderPlans.emplace(folder, std::move(plan)).first->second;
}

void CreationRun::planFile(const std::string& path, const PlanSink& emit) {
    const FolderPlan& folder = planFolder(FolderPart(path), emit);
    if (folder.state == FolderPlan::State::Fails) {
        emit(PlannedAction::Fail, path, folder.why);
        return;
    }
    if (path.empty() || path.back() == '/') {
        emit(PlannedAction::Fail, path, "it names a folder, not a file");
        return;
    }
    // A path named twice is made by its first entry and replaced by the later ones.
    const std::size_t key = std::hash<std::string_view>()(path);
    const bool madeBefore = m_plannedFiles.count(key) != 0;
    const auto create = [&] {
        if (madeBefore) {
            emit(PlannedAction::Replace, path, {});
        } else if (!folder.writable) {
            emit(PlannedAction::Fail, path, "no file can be made in " + FolderPart(path));
        } else {
            m_plannedFiles.insert(key);
            emit(PlannedAction::Create, path, {});
        }
    };
    if (folder.state == FolderPlan::State::Planned) {
        create();
        return;
    }
    const PathProbe probe = m_fs.probe(path);
    switch (probe.kind) {
        case PathProbe::Kind::Missing:
            create();
            break;
        case PathProbe::Kind::File:
        case PathProbe::Kind::Other:
            if (m_listFiles.count(probe.identity) != 0) {
                emit(PlannedAction::Fail, path, "it is a list file of this run");
            } else if (m_protectedFiles.count(probe.identity) != 0) {
                emit(PlannedAction::Fail, path, "the run reads its text from it");
            } else if (!probe.writable) {
                emit(PlannedAction::Fail, path, "it may not be written");
            } else {
                emit(PlannedAction::Replace, path, {});
            }
            break;
        case PathProbe::Kind::Folder:
            emit(PlannedAction::Fail, path, "it is a folder");
            break;
        case PathProbe::Kind::Unknown:
            emit(PlannedAction::Fail, path, std::strerror(probe.error));
            break;
    }
}

void CreationRun::readListFile(Trap& trap, const std::string& path, bool& usePerLineContent) {
    const CreationEntries::Mark before = m_entries.mark();
    bool sawSeparator = false;
    bool complete = trap.step(124, [&] {
        ReadListFileLines(m_fs, path, [&](std::string_view line) {
            if (IsBlankLine(line)) {
                return;
            }
            ListLine parsed = SplitListLine(line);
            std::string expanded;
            if (HasHomePrefix(parsed.path)) {  // a path in the user's home folder
                expanded = ExpandHomePrefix(parsed.path, homeFolder());
                parsed.path = expanded;
            }
            if (parsed.content) {
                sawSeparator = true;
                m_entries.append(parsed.path, &*parsed.content);
            } else {
                m_entries.append(parsed.path, nullptr);
            }
        });
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

bool CreationRun::folderExists(const std::string& folder) {
    if (m_knownFolders.count(folder) != 0) {
        return true;
    }
    if (!IsExistingFolder(m_fs, folder)) {
        return false;
    }
    if (m_knownFolders.size() >= kKnownFoldersMax) {
        m_knownFolders.clear();
    }
    m_knownFolders.insert(folder);
    return true;
}

void CreationRun::makeFolders(Trap& trap, std::size_t from) {
    std::string folder;
    for (std::size_t e = from; e < m_entries.size(); ++e) {  // 134-184
        std::string_view path = m_entries[e].path();
        trap.step(158, [&] { folder = FolderPart(path); });
        if (trap.test(160, [&] { return !folderExists(folder); })) {
            trap.step(166, [&] { MakeFolderPath(m_fs, folder); });
        }
    }
}

void CreationRun::fillLeadingEntries(bool usePerLineContent) {
    if (!usePerLineContent) {
        return;
    }
    // Entries without content before the first one with content take the fixed text as it
    // stands now; those after it are written empty.
    bool snapshotTaken = false;
    for (std::size_t e = 0; e < m_entries.size(); ++e) {
        CreationEntries::Entry& entry = m_entries[e];
        if (entry.content() != CreationEntries::Content::None) {
            break;
        }
        if (!snapshotTaken) {
            m_fixedSnapshot = m_ui.fixedText();
            snapshotTaken = true;
        }
        entry.contentLength = CreationEntries::Entry::kFixedText;
    }
}

void CreationRun::writeFiles(Trap& trap, bool usePerLineContent) {
    const std::size_t total = m_entries.size();  // 202
    std::string path;
    for (std::size_t k = 1; k <= total; ++k) {
        const CreationEntries::Entry& entry = m_entries[k - 1];
        trap.step(204, [&] { m_ui.yield(); });
        trap.step(206, [&] {
            m_ui.setProgressValue(static_cast<double>(k) / static_cast<double>(total) * 100.0);
        });
        if (!trap.step(208, [&] { path = CleanFileName(entry.path()); })) {
            path.assign(entry.path());  // the path stays as it was
        }
        const FileSystem::WriteGuard guard = [&](const FileIdentity& target) {
            refuseListFile(path, target);
        };
        bool written = false;
        if (!usePerLineContent) {  // 210
            written = trap.step(212, [&] { WriteTextFile(m_fs, path, m_ui.fixedText(), guard); });
        } else {  // 214
            written = trap.step(216, [&] {
                switch (entry.content()) {
                    case CreationEntries::Content::Own:
                        WriteTextFile(m_fs, path, entry.ownContent(), guard);
                        break;
                    case CreationEntries::Content::FixedText:
                        WriteTextFile(m_fs, path, m_fixedSnapshot, guard);
                        break;
                    case CreationEntries::Content::None:
                        WriteTextFile(m_fs, path, {}, guard);
                        break;
                }
            });
        }
        if (written) {
            ++m_summary.filesWritten;
        }
    }
}

}  // namespace pellatrix
