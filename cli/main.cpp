// pellatrix-cli: one creation run over list files given on the command line.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliUi.h"
#include "cli/RunCommands.h"
#include "cli/StandardInput.h"
#include "engine/CreationRun.h"
#include "engine/FileSizeLimit.h"
#include "engine/RunJournal.h"
#include "engine/StopSignals.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: pellatrix-cli [--text TEXT | --text-file FILE] LISTFILE...\n"
    "       pellatrix-cli --dry-run [--null] [--text-file FILE] LISTFILE...\n"
    "       pellatrix-cli --undo[=RUN] | --list-runs\n";

constexpr const char* kHelp =
    "Creates the files that the list files name, in one run over the list files in the order\n"
    "given. Each non-blank line of a list file is the path of one file to create, optionally\n"
    "followed by '>' and the text that this one file is to hold (up to the end of the line).\n"
    "Missing folders are created; existing files are replaced; nothing is added to a text, not\n"
    "even a line break.\n"
    "\n"
    "Which text goes into the files: while no line of any list file of the run holds '>',\n"
    "every file gets the fixed text. As soon as one line does, every file gets the text of its\n"
    "own line; files listed before the first such line get the fixed text, and files after it\n"
    "without a text of their own are created empty.\n"
    "\n"
    "The characters ? * | < > ; : [ ] \" \\ = are removed from each file name (not from the\n"
    "folders above it). A path that begins with '~/' lies in your home folder; any other path\n"
    "that does not begin with '/' lies in the working folder.\n"
    "\n"
    "A list file named '-' is read from standard input, and so is the fixed text of\n"
    "'--text-file -'; standard input can serve only one of them.\n"
    "\n"
    "Options:\n"
    "  --text TEXT       the fixed text written into every file (default: empty)\n"
    "  --text-file FILE  read the fixed text, byte for byte, from FILE ('-': standard input)\n"
    "  -n, --dry-run     write nothing: print what a run would do, one line each\n"
    "                    ('folder PATH', 'create PATH', 'replace PATH', 'fail PATH: why'),\n"
    "                    then a summary\n"
    "  --null            with --dry-run, end each line in NUL instead of a line break\n"
    "  --undo[=RUN]      take back the newest run not yet undone (or the run named)\n"
    "  --list-runs       show the kept runs, newest first\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "  --                end of options; every later argument is a list file\n"
    "\n"
    "Each failure is reported on standard error, one line each, with its error number and\n"
    "the step that failed; the other files are still created. Standard output ends with a\n"
    "summary line and \"Done.\".\n"
    "\n"
    "Exit status: 0 when nothing failed, 1 when something failed, 2 for a usage error.\n"
    "See pellatrix-cli(1) for more.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "pellatrix-cli: %s\n%sTry 'pellatrix-cli --help' for more.\n",
                 message.c_str(), kUsage);
    return kExitUsage;
}

struct Options {
    bool dryRun = false;
    bool nullEnded = false;
    bool undo = false;
    std::string undoRun;
    bool listRuns = false;
    bool haveText = false;
    std::string text;
    std::string textFile;
    bool haveTextFile = false;
    std::vector<std::string> listFiles;
};

// Takes the value of an option, given as "--opt=value" or as the next argument.
bool optionValue(std::string_view arg, std::string_view name, int& i, int argc, char** argv,
                 std::string& value, bool& matched, std::string& error) {
    matched = false;
    if (arg == name) {
        matched = true;
        if (i + 1 >= argc) {
            error = "option '" + std::string(name) + "' needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        matched = true;
        value = std::string(arg.substr(name.size() + 1));
        return true;
    }
    return true;
}

// The options of the preview and the undo; true when `arg` was one of them.
bool takeRunOption(std::string_view arg, Options& options) {
    if (arg == "--dry-run" || arg == "-n") {
        options.dryRun = true;
    } else if (arg == "--null") {
        options.nullEnded = true;
    } else if (arg == "--undo") {
        options.undo = true;
    } else if (arg.substr(0, 7) == "--undo=") {
        options.undo = true;
        options.undoRun = std::string(arg.substr(7));
    } else if (arg == "--list-runs") {
        options.listRuns = true;
    } else {
        return false;
    }
    return true;
}

// Whether the options go together; the message when not.
std::string runOptionsConflict(const Options& options) {
    const bool any =
        options.dryRun || options.haveText || options.haveTextFile || !options.listFiles.empty();
    if ((options.undo || options.listRuns) && (any || (options.undo && options.listRuns))) {
        return options.undo && options.listRuns ? "give --undo or --list-runs, not both"
                                                : "--undo and --list-runs take no list file "
                                                  "and no other option";
    }
    if (options.nullEnded && !options.dryRun) {
        return "--null goes with --dry-run";
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    pellatrix::IgnoreFileSizeSignal();
    pellatrix::StopOnSignals();
    Options options;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.listFiles.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitFailures;
        }
        if (arg == "--version") {
            std::fputs("pellatrix-cli " PELLATRIX_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitFailures;
        }
        if (takeRunOption(arg, options)) {
            continue;
        }
        bool matched = false;
        std::string value;
        std::string error;
        if (!optionValue(arg, "--text", i, argc, argv, value, matched, error)) {
            return usageError(error);
        }
        if (matched) {
            if (options.haveText || options.haveTextFile) {
                return usageError("give the fixed text only once (--text or --text-file)");
            }
            options.haveText = true;
            options.text = value;
            continue;
        }
        if (!optionValue(arg, "--text-file", i, argc, argv, value, matched, error)) {
            return usageError(error);
        }
        if (matched) {
            if (options.haveText || options.haveTextFile) {
                return usageError("give the fixed text only once (--text or --text-file)");
            }
            options.haveTextFile = true;
            options.textFile = value;
            continue;
        }
        return usageError("unknown option '" + std::string(arg) + "'");
    }
    if (std::string conflict = runOptionsConflict(options); !conflict.empty()) {
        return usageError(conflict);
    }
    if (options.undo) {
        return pellatrix::UndoCommand(options.undoRun, stdout, stderr);
    }
    if (options.listRuns) {
        return pellatrix::ListRunsCommand(stdout, stderr);
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

    pellatrix::PipedFileSystem fs;
    if (options.haveTextFile) {
        try {
            fs.readFile(options.textFile,
                        [&](std::string_view chunk) { options.text.append(chunk); });
        } catch (const std::exception& e) {
            std::fprintf(stderr, "pellatrix-cli: %s\n", e.what());
            return kExitFailures;
        }
    }

    pellatrix::CliUi ui(std::move(options.listFiles), std::move(options.text), stderr,
                        ::isatty(STDERR_FILENO) == 1);
    pellatrix::CreationRun run(fs, ui);
    if (options.haveTextFile) {
        run.protectFile(options.textFile);
    }
    if (options.dryRun) {
        return pellatrix::PrintPreview(run, options.nullEnded, stdout);
    }
    run.keepJournalIn(pellatrix::RunsFolder());
    run.PushButton2_Click();
    ui.clearProgress();

    const pellatrix::CreationSummary& summary = run.lastSummary();
    std::printf("%zu %s written, %zu %s\n", summary.filesWritten,
                summary.filesWritten == 1 ? "file" : "files", summary.failures,
                summary.failures == 1 ? "failure" : "failures");
    std::printf("%s\n", ui.finalMessage().c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "pellatrix-cli: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return kExitFailures;
    }
    return summary.failures == 0 ? kExitOk : kExitFailures;
}
