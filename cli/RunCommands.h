#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/journal/RunJournal.h"
#include "engine/run/CreationRun.h"

namespace pellatrix {

/// --dry-run: one line per planned step on `out` ("folder PATH", "create PATH", "replace PATH",
/// "keep PATH" with --no-clobber, "fail PATH: why"), then the summary line; each line ends in NUL
/// instead of a line break when `nullEnded`, with paths byte for byte (else control characters are
/// escaped). With `quiet` only the "fail" lines are printed, and the summary when there is one.
/// Answers the exit status: 0, or 1 when a failure is foreseen or the output cannot be written.
int PrintPreview(CreationRun& run, bool nullEnded, bool quiet, std::FILE* out);

/// --undo[=RUN]: takes back the newest run not undone (or the run named), reports what it did
/// and each file it left alone on `out`; a journal that cannot be undone is told on `errors`.
/// Answers 0, 1 when something was left alone, 2 when nothing could be undone.
int UndoCommand(FileSystem& fs, const std::string& runId, std::FILE* out, std::FILE* errors);

/// --list-runs: the kept runs, newest first, one line each. Answers 0, 1 when the output cannot
/// be written, 2 when the runs cannot be listed (a state folder or journal not trusted).
int ListRunsCommand(FileSystem& fs, std::FILE* out, std::FILE* errors);

/// --failed=FILE --of-run=RUN: writes the failed lines kept with the run RUN to FILE, whole or
/// not at all. Answers 0, 1 when the file cannot be written, 2 when the run's lines cannot be
/// read (no such run, damaged, not trusted).
int FailedOfRunCommand(const std::string& runId, const std::string& path, std::FILE* errors);

/// What a run that ended does with its failed lines: keeps them with its journal (when it kept
/// one) and writes them to `failedPath` (when given). Lists whose lines cannot be read again
/// are told on `errors`. Answers false when `failedPath` could not be written.
struct FailedLinesTarget {
    std::string path;  // --failed, or empty
    bool nul = false;
    std::vector<std::string> lists;  // the run's list files, kept with it
};
bool SaveFailedLines(FileSystem& fs, const FailedEntries& failed, const CreationSummary& summary,
                     const FailedLinesTarget& target, std::FILE* errors);

}  // namespace pellatrix
