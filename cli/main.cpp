// pellatrix-cli: one creation run over list files given on the command line.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliUi.h"
#include "cli/ContentOptions.h"
#include "cli/OldRuns.h"
#include "cli/RunCommands.h"
#include "cli/StandardInput.h"
#include "engine/fs/FileSizeLimit.h"
#include "engine/fs/FsError.h"
#include "engine/fs/StopSignals.h"
#include "engine/journal/RunJournal.h"
#include "engine/lists/ShownText.h"
#include "engine/run/CreationRun.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: pellatrix-cli [OPTION]... LISTFILE...\n"
    "  or:  pellatrix-cli -n [-0q] [--no-clobber] [-t TEXT | -f FILE] [--fields]\n"
    "                        [--size=SIZE] LISTFILE...\n"
    "  or:  pellatrix-cli --undo[=RUN] | --list-runs\n"
    "  or:  pellatrix-cli --failed=FILE --of-run=RUN\n";

// Every line within 80 columns, as a terminal of any size shows it.
constexpr const char* kHelp =
    "Creates the files that the list files name, in one run over the list files in\n"
    "the order given. Each non-blank line of a list file is the path of one file to\n"
    "create, optionally followed by '>' and the text that this one file is to hold\n"
    "(up to the end of the line). Missing folders are created; existing files are\n"
    "replaced; nothing is added to a text, not even a line break.\n"
    "\n"
    "Which text goes into the files: while no line of any list file of the run\n"
    "holds '>', every file gets the fixed text. As soon as one line does, every\n"
    "file gets the text of its own line; files listed before the first such line\n"
    "get the fixed text, and files after it without a text of their own are created\n"
    "empty.\n"
    "\n"
    "The characters ? * | < > ; : [ ] \" \\ = are removed from each file name (not\n"
    "from the folders above it). A path that begins with '~/' lies in your home\n"
    "folder; any other path that does not begin with '/' lies in the working\n"
    "folder.\n"
    "\n"
    "A list file, and the file of --text-file, may be a regular file, a pipe, a\n"
    "process substitution, a FIFO or a character device such as /dev/null; each is\n"
    "read once to its end. '-' is standard input, which can serve only one of them.\n"
    "A folder or a block device is refused.\n"
    "\n"
    "Options:\n"
    "  -t, --text=TEXT       the fixed text written into every file (default: empty)\n"
    "  -f, --text-file=FILE  the fixed text from FILE: a regular file is copied into\n"
    "                        each file as a template (by reference where the file\n"
    "                        system shares blocks: btrfs, XFS), any other is read\n"
    "                        once ('-': standard input)\n"
    "      --fields          fill fields in the fixed text and each line's text:\n"
    "                        {name} {stem} {ext} {folder} {path} of the file, {n}\n"
    "                        its number in the run ({n:3}: 001), {list} {line}\n"
    "                        where it is listed, {date} the run's start; {{ and }}\n"
    "                        are braces. A FILE of -f is then read as text (16 MiB\n"
    "                        at most)\n"
    "      --size=SIZE       make every file exactly SIZE bytes (K, M, G: KiB, MiB,\n"
    "                        GiB): its text repeated and cut, or zeros (sparse)\n"
    "                        when it has none\n"
    "  -0, --null            list entries end in NUL, not in a line break ('>' still\n"
    "                        splits an entry); printed lines end in NUL too\n"
    "      --no-clobber      leave an existing file alone; it is counted as skipped\n"
    "      --no-journal      keep no journal of this run: --undo cannot take it back\n"
    "      --failed=FILE     when the run ends, write its failed lines to FILE, as\n"
    "                        they stand in the list files: a list file for the next\n"
    "                        run (empty when nothing failed)\n"
    "      --of-run=RUN      with --failed: run nothing, write the failed lines of\n"
    "                        the kept run RUN (as --list-runs names it)\n"
    "  -j, --jobs=N          write up to N files at once (1: one at a time); by\n"
    "                        default 32 on a network or FUSE file system (NFS,\n"
    "                        SMB, sshfs...), where each file waits on the server,\n"
    "                        and 1 on a local one\n"
    "  -v, --verbose         print 'created PATH', 'replaced PATH' or 'skipped PATH'\n"
    "                        for each file, and the step of the run in each failure\n"
    "  -q, --quiet           print no summary and no \"Done.\" when nothing failed;\n"
    "                        with -n, print only the foreseen failures\n"
    "  -n, --dry-run         write nothing: print what a run would do, one line each\n"
    "                        ('folder PATH', 'create PATH', 'replace PATH',\n"
    "                        'fail PATH: why'), then a summary; a content other\n"
    "                        than the text follows the path: '(template t.odt,\n"
    "                        12,345 bytes)'\n"
    "      --undo[=RUN]      take back the newest run not yet undone, or the run\n"
    "                        named\n"
    "      --list-runs       show the kept runs, newest first, with their failures\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "  --                    end of options; every later argument is a list file\n"
    "Long options may be shortened to any unambiguous beginning.\n"
    "\n"
    "Each failure is reported on standard error on one line, as\n"
    "  pellatrix-cli: LIST:LINE: description (error N)\n"
    "where N is this program's own error number (pellatrix-cli(1) lists them); a\n"
    "failure of a list as a whole, or of the text file, names only the file. The\n"
    "other files are still created. Standard output ends with a summary and\n"
    "\"Done.\".\n"
    "\n"
    "Every run keeps a journal for --undo in $XDG_STATE_HOME/pellatrix/runs (by\n"
    "default ~/.local/state/pellatrix/runs); the last 10 runs are kept.\n"
    "\n"
    "Exit status: 0 when nothing failed, 1 when something failed, 2 for a usage\n"
    "error, 128+N when ended by signal N. See pellatrix-cli(1) for more.\n";

constexpr const char* kVersionText =
    "pellatrix-cli " PELLATRIX_VERSION
    "\n"
    "Copyright (C) 2026 Quennet\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

constexpr const char* kTryHelp = "Try 'pellatrix-cli --help' for more information.\n";

// The message (getopt_long prints its own before) and where to read more, as GNU tools do.
int usageError(const std::string& message) {
    if (!message.empty()) {
        std::fprintf(stderr, "pellatrix-cli: %s\n", message.c_str());
    }
    std::fputs(kTryHelp, stderr);
    return kExitUsage;
}

int finishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "pellatrix-cli: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return kExitFailures;
    }
    return status;
}

struct Options {
    bool haveText = false;
    std::string text;
    std::string textFile;
    bool haveTextFile = false;
    bool fields = false;
    std::optional<std::uint64_t> size;
    pellatrix::CliSettings settings;
    bool quiet = false;
    bool noJournal = false;
    std::size_t jobs = 0;  // 0: as the file system suits
    bool dryRun = false;
    bool undo = false;
    std::string undoRun;
    bool listRuns = false;
    bool haveFailed = false;
    std::string failedFile;
    bool haveOfRun = false;
    std::string ofRun;
    std::vector<std::string> listFiles;
};

enum LongOnly {
    kNoClobber = 256,
    kNoJournal,
    kVersion,
    kUndo,
    kListRuns,
    kFailed,
    kOfRun,
    kFields,
    kSize
};

const option kLongOptions[] = {
    {"text", required_argument, nullptr, 't'},
    {"text-file", required_argument, nullptr, 'f'},
    {"null", no_argument, nullptr, '0'},
    {"no-clobber", no_argument, nullptr, kNoClobber},
    {"no-journal", no_argument, nullptr, kNoJournal},
    {"jobs", required_argument, nullptr, 'j'},
    {"verbose", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"dry-run", no_argument, nullptr, 'n'},
    {"undo", optional_argument, nullptr, kUndo},
    {"list-runs", no_argument, nullptr, kListRuns},
    {"failed", required_argument, nullptr, kFailed},
    {"of-run", required_argument, nullptr, kOfRun},
    {"fields", no_argument, nullptr, kFields},
    {"size", required_argument, nullptr, kSize},
    {nullptr, 0, nullptr, 0},
};

// The preview, undo and failed-lines options (-n, --undo[=RUN], --list-runs, --failed,
// --of-run).
void takeRunOption(int c, Options& options) {
    if (c == kFailed || c == kOfRun) {
        (c == kFailed ? options.haveFailed : options.haveOfRun) = true;
        (c == kFailed ? options.failedFile : options.ofRun) = ::optarg;
    } else if (c == 'n') {
        options.dryRun = true;
    } else if (c == kUndo) {
        options.undo = true;
        options.undoRun = ::optarg != nullptr ? ::optarg : "";
    } else {
        options.listRuns = true;
    }
}

// Whether the options go together; the message when not. No option is taken and then ignored.
std::string optionsConflict(const Options& options) {
    if (options.undo && options.listRuns) {
        return "give --undo or --list-runs, not both";
    }
    const bool other = options.dryRun || options.haveText || options.haveTextFile ||
                       options.fields || options.size || options.quiet || options.noJournal ||
                       options.jobs != 0 || options.settings.nul || options.settings.noClobber ||
                       options.settings.verbose || !options.listFiles.empty();
    if ((options.undo || options.listRuns) && (other || options.haveFailed || options.haveOfRun)) {
        return "--undo and --list-runs take no list file and no other option";
    }
    if (options.haveOfRun && !options.haveFailed) {
        return "--of-run names the run whose failed lines --failed=FILE writes; give --failed too";
    }
    if (options.haveOfRun && other) {
        return "--failed with --of-run takes no list file and no other option";
    }
    if (options.dryRun && options.haveFailed) {
        return "--dry-run writes nothing; give it without --failed";
    }
    if (options.dryRun && options.jobs != 0) {
        return "--dry-run writes nothing; give it without --jobs";
    }
    if (options.dryRun && options.settings.verbose) {
        return "--dry-run prints every step already; give it without --verbose";
    }
    return {};
}

// More would only queue at the server; a bound keeps a typo from starting a million threads.
constexpr unsigned long kMaxJobs = 256;

// A whole number from 1 to kMaxJobs, in decimal digits only (no sign, no blank).
bool parseJobs(const char* text, std::size_t& jobs) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > kMaxJobs) {
        return false;
    }
    jobs = value;
    return true;
}

// Parses the command line into `options`; answers an exit status when the program ends here.
int checkOperands(Options& options, bool& done);

int parse(int argc, char** argv, Options& options, bool& done) {
    done = true;
    // getopt_long reports a bad option itself, in the words GNU tools use (unrecognized,
    // ambiguous with its possibilities, missing value), under the program's name as argv[0].
    std::string name = "pellatrix-cli";
    std::vector<char*> args(argv, argv + argc);
    args[0] = name.data();
    ::opterr = 1;
    int c = 0;
    while ((c = ::getopt_long(argc, args.data(), "t:f:0qvhnj:", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 't':
            case 'f':
                if (options.haveText || options.haveTextFile) {
                    return usageError("give the fixed text only once (--text or --text-file)");
                }
                (c == 't' ? options.haveText : options.haveTextFile) = true;
                (c == 't' ? options.text : options.textFile) = ::optarg;
                break;
            case '0':
                options.settings.nul = true;
                break;
            case kNoClobber:
                options.settings.noClobber = true;
                break;
            case kNoJournal:
                options.noJournal = true;
                break;
            case 'j':
                if (!parseJobs(::optarg, options.jobs)) {
                    return usageError(std::string("invalid number of jobs: '") + ::optarg +
                                      "' (give a whole number from 1 to " +
                                      std::to_string(kMaxJobs) + ")");
                }
                break;
            case kFields:
                options.fields = true;
                break;
            case kSize: {
                std::uint64_t size = 0;
                std::string why;
                if (!pellatrix::ParseSize(::optarg, size, why)) {
                    return usageError(why);
                }
                options.size = size;
                break;
            }
            case 'v':
                options.settings.verbose = true;
                break;
            case 'q':
                options.quiet = true;
                break;
            case 'n':
            case kUndo:
            case kListRuns:
            case kFailed:
            case kOfRun:
                takeRunOption(c, options);
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::fputs("\n", stdout);
                std::fputs(kHelp, stdout);
                return finishOutput(kExitOk);
            case kVersion:
                std::fputs(kVersionText, stdout);
                return finishOutput(kExitOk);
            default:  // getopt_long has said what is wrong
                return usageError({});
        }
    }
    for (int i = ::optind; i < argc; ++i) {
        options.listFiles.emplace_back(args[static_cast<std::size_t>(i)]);
    }
    return checkOperands(options, done);
}

// What the options and list files given ask of each other; usage errors as parse() answers them.
int checkOperands(Options& options, bool& done) {
    if (std::string conflict = optionsConflict(options); !conflict.empty()) {
        return usageError(conflict);
    }
    if (options.undo || options.listRuns || options.haveOfRun) {
        done = false;
        return kExitOk;
    }
    if (options.listFiles.empty()) {
        return usageError("no list file given");
    }
    // Standard input is read to its end once; a second reader would find it empty.
    long stdinReaders = std::count(options.listFiles.begin(), options.listFiles.end(),
                                   pellatrix::kStandardInputName);
    if (options.haveTextFile && options.textFile == pellatrix::kStandardInputName) {
        ++stdinReaders;
    }
    if (stdinReaders > 1) {
        return usageError("standard input ('-') can be read only once");
    }
    done = false;
    return kExitOk;
}

// A write in place waits while another program holds its file: said, so a run that seems to
// hang tells why (Ctrl-C ends the wait).
void tellLockWait(const std::string& path) {
    const std::string line = std::string(::isatty(2) ? "\r\x1b[K" : "") +
                             "pellatrix-cli: waiting for another program writing " +
                             pellatrix::ShownOnTerminal(pellatrix::QuotedPath(path)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Why the --failed file cannot be taken, refused before anything is read or written: one of
// the run's own inputs, or a file that could not take the lines at its end. Empty when it can.
std::string failedFileProblem(const Options& options, pellatrix::FileSystem& fs) {
    if (!options.haveFailed) {
        return {};
    }
    std::vector<std::string> inputs = options.listFiles;
    if (options.haveTextFile) {
        inputs.push_back(options.textFile);
    }
    const std::string why = pellatrix::FailedListProblem(fs, options.failedFile, inputs);
    return why.empty() ? why
                       : "cannot write the failed lines to " +
                             pellatrix::ShownOnTerminal(pellatrix::QuotedPath(options.failedFile)) +
                             ": " + why;
}

// The summary line and the text of the box that ended the run ("Done.").
void printSummary(const Options& options, const pellatrix::CreationSummary& summary,
                  const std::string& finalMessage) {
    const char end = options.settings.nul ? '\0' : '\n';
    std::string text = std::to_string(summary.filesWritten) +
                       (summary.filesWritten == 1 ? " file written, " : " files written, ");
    if (options.settings.noClobber) {
        text += std::to_string(summary.filesSkipped) + " skipped, ";
    }
    text += std::to_string(summary.failures) + (summary.failures == 1 ? " failure" : " failures");
    if (options.noJournal && options.settings.verbose) {
        text += "; no journal kept (--no-journal): --undo cannot take this run back";
    }
    text += end + finalMessage + end;
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    pellatrix::IgnoreFileSizeSignal();
    pellatrix::StopOnSignals();
    pellatrix::TellLockWaitsTo(tellLockWait);
    Options options;
    bool done = false;
    if (int status = parse(argc, argv, options, done); done) {
        return status;
    }
    pellatrix::PipedFileSystem fs;
    if (options.undo) {
        return pellatrix::UndoCommand(fs, options.undoRun, stdout, stderr);
    }
    if (options.listRuns) {
        return pellatrix::ListRunsCommand(fs, stdout, stderr);
    }
    if (options.haveOfRun) {
        return pellatrix::FailedOfRunCommand(options.ofRun, options.failedFile, stderr);
    }
    if (const std::string why = failedFileProblem(options, fs); !why.empty()) {
        return usageError(why);
    }

    pellatrix::FileContent content;
    const pellatrix::ContentSetup setup =
        pellatrix::PrepareContent(fs,
                                  {options.haveTextFile, options.textFile, options.fields,
                                   options.size, options.settings.nul, options.listFiles},
                                  options.text, content, stderr);
    if (setup.status != kExitOk) {
        return setup.status == kExitUsage ? usageError(setup.usage) : setup.status;
    }

    options.settings.showProgress = ::isatty(STDERR_FILENO) == 1;
    const std::vector<std::string> listFiles = options.listFiles;
    if (options.haveFailed) {
        fs.keepStreams();
    }
    pellatrix::CliUi ui(std::move(options.listFiles), std::move(options.text), options.settings,
                        stdout, stderr);
    ui.failedEntries().readStreamsWhen(
        [&fs](const std::string& list) { return fs.keptStream(list); });
    pellatrix::CreationRun run(fs, ui);
    run.setJobs(options.jobs);
    if (content.active()) {
        run.setContent(&content);
    }
    if (options.haveTextFile) {
        run.protectFile(options.textFile);
    }
    if (options.haveFailed) {
        run.protectFile(options.failedFile);  // the run's own output, never one of its files
    }
    if (options.dryRun) {
        return pellatrix::PrintPreview(run, options.settings.nul, options.quiet, stdout);
    }
    const std::string runsFolder = options.noJournal ? std::string() : pellatrix::RunsFolder();
    if (!options.noJournal) {
        run.keepJournalIn(runsFolder);
        run.removeOldRunsLater();
    }
    run.createFiles();
    ui.clearProgress();

    const pellatrix::CreationSummary& summary = run.lastSummary();
    const bool failedWritten = pellatrix::SaveFailedLines(
        fs, ui.failedEntries(), summary,
        {options.haveFailed ? options.failedFile : std::string(), options.settings.nul, listFiles},
        stderr);
    if (!options.quiet || summary.failures != 0) {
        printSummary(options, summary, ui.finalMessage());
    }
    const int status =
        finishOutput(summary.failures == 0 && failedWritten ? kExitOk : kExitFailures);
    // Told: the old runs this run dropped go now, without anyone waiting.
    pellatrix::RemoveOldRunsInBackground(runsFolder);
    return status;
}
