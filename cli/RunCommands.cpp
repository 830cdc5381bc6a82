#include "cli/RunCommands.h"

#include <sys/stat.h>

#include <vector>

#include "cli/CliUi.h"
#include "engine/journal/RunJournal.h"
#include "engine/lists/ShownText.h"

namespace pellatrix {

namespace {

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool finished(std::FILE* out) {
    return std::fflush(out) == 0 && !std::ferror(out);
}

const char* stateWord(RunSummary::State state) {
    switch (state) {
        case RunSummary::State::Complete:
            return "complete";
        case RunSummary::State::Killed:
            return "ended early";
        case RunSummary::State::Busy:
            return "running";
        case RunSummary::State::Undone:
            return "undone";
        case RunSummary::State::Damaged:
            return "damaged";
    }
    return "";
}

// The folder of the kept run `runId`; throws JournalError for a name that is no run's.
std::string runFolderOf(const std::string& runs, const std::string& runId) {
    if (runId.find('/') != std::string::npos || runId.empty() || runId[0] == '.') {
        throw JournalError("no kept run is named '" + ShownOnTerminal(runId) + "'");
    }
    return runs + "/" + runId;
}

}  // namespace

int PrintPreview(CreationRun& run, bool nullEnded, bool quiet, std::FILE* out) {
    const char end = nullEnded ? '\0' : '\n';
    std::string line;
    // A NUL-ended preview is for a program: bytes as they are; a line is shown on a terminal.
    const auto append = [&](std::string_view text) {
        if (nullEnded) {
            line.append(text);
        } else {
            AppendShownOnTerminal(line, text);
        }
    };
    const auto put = [&](std::string_view word, std::string_view path, std::string_view why,
                         const std::string& note) {
        if (quiet && word != "fail") {
            return;
        }
        line.assign(word);
        line += ' ';
        append(path);
        if (!note.empty()) {
            line += " (";
            append(note);
            line += ')';
        }
        if (!why.empty()) {
            line += ": ";
            append(why);
        }
        line += end;
        std::fwrite(line.data(), 1, line.size(), out);
    };
    const std::optional<PreviewCounts> counts =
        run.preview([&](PlannedAction action, std::string_view path, std::string_view why) {
            const bool file = action == PlannedAction::Create || action == PlannedAction::Replace;
            put(PlannedActionWord(action), path, why, file ? run.plannedNote() : std::string());
        });
    if (!counts) {
        return 1;
    }
    if (quiet && counts->failures == 0) {
        return finished(out) ? 0 : 1;
    }
    line = plural(counts->create, "file", "files") + " to create, " +
           plural(counts->replace, "file", "files") + " to replace, " +
           (counts->keep != 0 ? plural(counts->keep, "file", "files") + " to keep, " : "") +
           plural(counts->folders, "folder", "folders") + " to make, " +
           plural(counts->failures, "foreseen failure", "foreseen failures");
    line += end;
    std::fwrite(line.data(), 1, line.size(), out);
    if (!finished(out)) {
        return 1;
    }
    return counts->failures == 0 ? 0 : 1;
}

int UndoCommand(FileSystem& fs, const std::string& runId, std::FILE* out, std::FILE* errors) {
    const std::string runs = RunsFolder();
    try {
        RunSummary run;
        if (runId.empty()) {
            run = NewestRunToUndo(fs, runs);
        } else {
            run.id = runId;
            run.folder = runFolderOf(runs, runId);
        }
        const UndoReport report = UndoRun(fs, run.folder);
        for (const std::string& left : report.leftAlone) {
            std::fprintf(out, "left alone: %s\n", ShownOnTerminal(left).c_str());
        }
        std::fprintf(out, "Run %s undone: %s removed, %s put back, %s removed, %s left alone\n",
                     ShownOnTerminal(run.id).c_str(),
                     plural(report.removed, "file", "files").c_str(),
                     plural(report.restored, "file", "files").c_str(),
                     plural(report.foldersRemoved, "folder", "folders").c_str(),
                     std::to_string(report.leftAlone.size()).c_str());
        if (!finished(out)) {
            return 1;
        }
        return report.leftAlone.empty() ? 0 : 1;
    } catch (const JournalError& e) {
        std::string name = runId.empty() ? std::string() : " " + ShownOnTerminal(runId);
        std::fprintf(errors, "pellatrix-cli: cannot undo%s: %s; nothing changed\n", name.c_str(),
                     ShownOnTerminal(e.what()).c_str());
        return 2;
    }
}

namespace {

// "512 bytes", "1.5 KiB", "12.3 MiB": what a run's folder holds, as a person reads it.
std::string sizeText(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace

int ListRunsCommand(FileSystem& fs, std::FILE* out, std::FILE* errors) {
    const std::string runs = RunsFolder();
    if (runs.empty()) {
        std::fputs("pellatrix-cli: no folder is known for the runs (HOME is not set)\n", errors);
        return 2;
    }
    std::vector<RunSummary> listed;
    try {
        listed = ListRuns(fs, runs);
    } catch (const JournalError& e) {
        std::fprintf(errors, "pellatrix-cli: cannot list the runs: %s\n",
                     ShownOnTerminal(e.what()).c_str());
        return 2;
    }
    for (const RunSummary& run : listed) {
        std::string line = ShownOnTerminal(run.id) + "  " + stateWord(run.state);
        if (run.state == RunSummary::State::Damaged) {
            line += "  " + ShownOnTerminal(run.damage);
        } else {
            line += "  " + plural(run.created, "file", "files") + " created, " +
                    plural(run.replaced, "file", "files") + " replaced, " +
                    plural(run.folders, "folder", "folders") + " made";
            if (run.notKept != 0) {
                line += ", " + std::to_string(run.notKept) + " without old content";
            }
            if (run.partial) {
                line += ", journal incomplete";
            }
            if (const std::size_t failures = KeptRunHead(run.folder).failures; failures != 0) {
                line += ", " + plural(failures, "failure", "failures");
            }
            if (run.bytes != 0) {
                line += ", " + sizeText(run.bytes) + " on disk";
            }
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    return finished(out) ? 0 : 1;
}

namespace {

void tellUnread(const std::vector<std::string>& unread, const char* how, std::FILE* errors) {
    for (const std::string& list : unread) {
        std::fprintf(errors,
                     "pellatrix-cli: %s: its failed lines %s (standard input, a pipe, or "
                     "changed since the run read it)\n",
                     ShownOnTerminal(list).c_str(), how);
    }
}

bool writeList(const std::string& path, const std::vector<FailedLine>& lines, std::FILE* errors) {
    if (const std::string why = WriteFailedList(path, lines); !why.empty()) {
        std::fprintf(errors, "pellatrix-cli: cannot write the failed lines to %s: %s\n",
                     ShownOnTerminal(QuotedPath(path)).c_str(), why.c_str());
        return false;
    }
    return true;
}

}  // namespace

int FailedOfRunCommand(const std::string& runId, const std::string& path, std::FILE* errors) {
    KeptFailures kept;
    try {
        const std::string runs = RunsFolder();
        const std::string folder = runFolderOf(runs, runId);
        if (struct stat st{}; runs.empty() || ::lstat(folder.c_str(), &st) != 0) {
            throw JournalError("no kept run is named '" + ShownOnTerminal(runId) + "'");
        }
        kept = ReadKeptFailures(folder);
    } catch (const JournalError& e) {
        std::fprintf(errors, "pellatrix-cli: cannot read the failed lines of %s: %s\n",
                     ShownOnTerminal(runId).c_str(), ShownOnTerminal(e.what()).c_str());
        return 2;
    }
    tellUnread(kept.unread, "were not kept", errors);
    return writeList(path, kept.lines, errors) && kept.unread.empty() ? 0 : 1;
}

bool SaveFailedLines(FileSystem& fs, const FailedEntries& failed, const CreationSummary& summary,
                     const FailedLinesTarget& target, std::FILE* errors) {
    if (summary.journalFolder.empty() && target.path.empty()) {
        return true;
    }
    KeptFailures kept;
    kept.failures = summary.failures;
    kept.lists = target.lists;
    // Not told when they cannot be kept (no space, a file size limit): the run's own lines say
    // what failed, and --of-run says that this run kept none.
    std::string problem;
    kept = failed.keep(fs, target.nul, std::move(kept), summary.journalFolder, problem);
    if (target.path.empty()) {
        return true;
    }
    tellUnread(kept.unread, "cannot be read again", errors);
    return writeList(target.path, kept.lines, errors) && kept.unread.empty();
}

}  // namespace pellatrix
