#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

using namespace std::string_literals;

struct CliResult {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs the built pellatrix-cli in `tmp` with `args`, standard output and error captured in files,
// `input` fed to standard input through a pipe, under a file-size limit of `fileSizeLimit` bytes.
CliResult runCli(const std::vector<std::string>& args, const test::TempFolder& tmp,
                 const std::string& input = {}, rlim_t fileSizeLimit = RLIM_INFINITY,
                 rlim_t addressSpace = RLIM_INFINITY) {
    const std::string outPath = tmp / ".stdout";
    const std::string errPath = tmp / ".stderr";
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return {-2, {}, {}};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::dup2(pipeFds[0], 0) < 0) {
            ::_exit(120);
        }
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (::chdir(tmp.path().c_str()) != 0) {  // relative paths land in the temporary folder
            ::_exit(122);
        }
        // The program itself must ignore SIGXFSZ: it starts from the default here.
        struct rlimit limit {
            fileSizeLimit, RLIM_INFINITY
        };
        struct rlimit space {
            addressSpace, addressSpace
        };
        if (::signal(SIGXFSZ, SIG_DFL) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
            (addressSpace != RLIM_INFINITY && ::setrlimit(RLIMIT_AS, &space) != 0)) {
            ::_exit(123);
        }
        std::vector<char*> argv;
        std::string program = PELLATRIX_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(121);
    }
    ::close(pipeFds[0]);
    // A program that exits without reading leaves the pipe unread; that must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < input.size();) {
        ssize_t n = ::write(pipeFds[1], input.data() + done, input.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(pipeFds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::readBytes(outPath),
            test::readBytes(errPath)};
}

// Runs `script` with bash in `tmp`, $CLI naming the program; standard output and error captured.
CliResult runShell(const std::string& script, const test::TempFolder& tmp) {
    const std::string command = "cd '" + tmp.path() + "' && CLI='" + PELLATRIX_CLI_PATH +
                                "' bash -c '" + script + "' >.stdout 2>.stderr";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::readBytes(tmp / ".stdout"),
            test::readBytes(tmp / ".stderr")};
}

// A usage error is told in one line, getopt_long's own words for a bad option, then where to
// read more, as GNU tools do; nothing is read or created.
TEST(Cli, UsageErrorsExitTwoWithTheMessageAndAPointerToHelp) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "t.txt", "");
    struct Case {
        std::vector<std::string> args;
        std::string message;  // empty: only that there is one line before the pointer
    };
    const std::vector<Case> cases = {
        {{}, "no list file given"},
        {{"--"}, "no list file given"},
        {{"-x", "list.txt"}, "invalid option -- 'x'"},
        {{"--textual", "list.txt"}, "unrecognized option '--textual'"},
        {{"--no", "list.txt"},
         "option '--no' is ambiguous; possibilities: '--no-clobber' '--no-journal'"},
        {{"--text"}, "option '--text' requires an argument"},
        {{"-t"}, "option requires an argument -- 't'"},
        {{"--text-file"}, "option '--text-file' requires an argument"},
        {{"--version=2"}, "option '--version' doesn't allow an argument"},
        {{"--text", "a", "--text", "b", "list.txt"}, ""},
        {{"--text", "a", "--text-file", tmp / "t.txt", "list.txt"}, ""},
        {{"--text=a", "--text-file=" + tmp / "t.txt", "list.txt"}, ""},
        {{"-", "-"}, ""},
        {{"--text-file", "-", "-"}, ""},
        {{"--text-file=-", "list.txt", "--", "-"}, ""},
        {{"--undo", "list.txt"}, ""},
        {{"--undo", "--list-runs"}, ""},
        {{"--list-runs", "-n"}, ""},
        {{"--undo", "--no-journal"}, ""},
        {{"-f", "-", "-0", "-"}, ""},
        {{"-nv", "list.txt"}, "--dry-run prints every step already; give it without --verbose"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CliResult r = runCli(c.args, tmp);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        const std::string tryHelp = "Try 'pellatrix-cli --help' for more information.\n";
        if (!c.message.empty()) {
            EXPECT_EQ(r.err, "pellatrix-cli: " + c.message + "\n" + tryHelp);
        } else {
            EXPECT_EQ(r.err.rfind("pellatrix-cli: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
            EXPECT_TRUE(r.err.ends_with(tryHelp)) << r.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists("list.txt"));
}

TEST(Cli, HelpAndVersion) {
    test::TempFolder tmp;
    CliResult help = runCli({"--help"}, tmp);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: pellatrix-cli", 0), 0u);
    EXPECT_EQ(help.err, "");
    std::size_t lineStart = 0;
    for (std::size_t end; (end = help.out.find('\n', lineStart)) != std::string::npos;) {
        EXPECT_LT(end - lineStart, 80u) << help.out.substr(lineStart, end - lineStart);
        lineStart = end + 1;
    }
    EXPECT_NE(help.out.find("this program's own error number"), std::string::npos);
    for (const char* abbreviation : {"--version", "--vers"}) {
        CliResult version = runCli({abbreviation}, tmp);
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.out,
                  "pellatrix-cli 1.0.0\nCopyright (C) 2026 Quennet\n"
                  "License MIT: <https://opensource.org/licenses/MIT>.\n"
                  "This is free software: you are free to change and redistribute it.\n"
                  "There is NO WARRANTY, to the extent permitted by law.\n");
    }
}

TEST(Cli, SuccessfulRunPrintsTheSummaryAndExitsZero) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    test::writeBytes(tmp / "l1.txt", out + "/a/one.txt\r\n\r\n" + out + "/two.txt\r\n");
    test::writeBytes(tmp / "--text", out + "/three.txt");
    test::writeBytes(tmp / "fixed.bin", "line1\r\nline2\0\xff"s);
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{tmp / "l1.txt", "--", tmp / "--text"}, ""},
        {{"--text", "hello", tmp / "l1.txt", "--", tmp / "--text"}, "hello"},
        {{"--text=a=b", "--", tmp / "l1.txt", tmp / "--text"}, "a=b"},
        {{tmp / "l1.txt", "-t", "hi", "--", tmp / "--text"}, "hi"},
        {{"--text-f=" + tmp / "fixed.bin", "--", tmp / "l1.txt", tmp / "--text"},
         "line1\r\nline2\0\xff"s},
        {{"-f", tmp / "fixed.bin", tmp / "l1.txt", "--", tmp / "--text"}, "line1\r\nline2\0\xff"s},
        {{"--text-file", tmp / "fixed.bin", tmp / "l1.txt", "--", tmp / "--text"},
         "line1\r\nline2\0\xff"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CliResult r = runCli(c.args, tmp);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "3 files written, 0 failures\nDone.\n");
        for (const char* name : {"/a/one.txt", "/two.txt", "/three.txt"}) {
            EXPECT_EQ(test::readBytes(out + name), c.text) << name;
        }
    }
}

// Compiler form: the list as given, the line in it, the description, the error number; the step
// of the run only with --verbose. A file is named once. Control characters, bidirectional
// controls and bytes that are no UTF-8 are escaped in what is printed, never in what is created;
// a huge path is shortened.
TEST(Cli, FailuresNameTheListAndLineOneLineEachAndExitOne) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    const std::string huge = out + "/" + std::string(100000, 'h') + "/end";
    const std::string odd = "/\xe2\x80\xae\xff\xc2\x9b.txt";  // U+202E, a stray byte, U+009B
    const std::string shownOdd = "/\\xe2\\x80\\xae\\xff\\xc2\\x9b.txt";
    test::writeBytes(tmp / "l.txt", out + "/ok.txt>fine\n\n" + out + "/\n" + huge + "\n" + out +
                                        odd + ">odd\n" + tmp / "plain" + odd + "\n");
    test::writeBytes(tmp / "plain", "");
    const std::string missing = tmp / "missing\n\x1b[2J\xe2\x81\xa6.txt";
    const std::string shownMissing = tmp / "missing\\n\\x1b[2J\\xe2\\x81\\xa6.txt";
    const std::string shownHuge =
        "'" + huge.substr(0, 2046) + "..." + huge.substr(huge.size() - 2046) + "'";
    for (bool verbose : {false, true}) {
        std::vector<std::string> args = {missing, tmp / "l.txt"};
        if (verbose) {
            args.insert(args.begin(), "-v");
        }
        CliResult r = runCli(args, tmp);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, (verbose ? "replaced " + out + "/ok.txt\nreplaced " + out + shownOdd + "\n"
                                  : "") +
                             "2 files written, 4 failures\nDone.\n");
        const auto step = [&](int n) { return verbose ? ", step " + std::to_string(n) : ""; };
        EXPECT_EQ(r.err, "pellatrix-cli: " + shownMissing +
                             ": Cannot open for reading: No such file or directory (error 53" +
                             step(124) + ")\npellatrix-cli: " + tmp / "l.txt:3: Cannot open '" +
                             out + "/' for writing: Is a directory (error 75" + step(216) +
                             ")\npellatrix-cli: " + tmp / "l.txt:4: Cannot open " + shownHuge +
                             " for writing: File name too long (error 75" + step(216) +
                             ")\npellatrix-cli: " + tmp / "l.txt:6: Cannot open '" + tmp / "plain" +
                             shownOdd + "' for writing: Not a directory (error 76" + step(216) +
                             ")\n");
        EXPECT_EQ(test::readBytes(out + "/ok.txt"), "fine");
        EXPECT_EQ(test::readBytes(out + odd), "odd");
    }

    // A fixed-text file that cannot be read stops before anything is created.
    CliResult noText = runCli({"--text-file", tmp / "nope", tmp / "l.txt"}, tmp);
    EXPECT_EQ(noText.exitCode, 1);
    EXPECT_EQ(noText.out, "");
    EXPECT_EQ(noText.err, "pellatrix-cli: " + tmp /
                                                  "nope: Cannot open for reading: No such file "
                                                  "or directory (error 53)\n");
}

// -v, -q, -0 and --no-clobber, alone and together, on one list run twice over the same folder.
TEST(Cli, OptionsShapeWhatIsWrittenAndPrinted) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "lines.txt", "a.txt>1\nsub/b.txt>2\n");
    test::writeBytes(tmp / "nul.txt", "a.txt>1\0sub/new\nline.txt>x\ny\0\0"s);
    struct Case {
        std::vector<std::string> args;
        std::string firstOut;
        std::string secondOut;  // the same run again, every file now there
    };
    const std::vector<Case> cases = {
        {{"-v", "lines.txt"},
         "created a.txt\ncreated sub/b.txt\n2 files written, 0 failures\nDone.\n",
         "replaced a.txt\nreplaced sub/b.txt\n2 files written, 0 failures\nDone.\n"},
        {{"-q", "lines.txt"}, "", ""},
        {{"--verb", "--qu", "lines.txt"},
         "created a.txt\ncreated sub/b.txt\n",
         "replaced a.txt\nreplaced sub/b.txt\n"},
        {{"--no-clobber", "lines.txt"},
         "2 files written, 0 skipped, 0 failures\nDone.\n",
         "0 files written, 2 skipped, 0 failures\nDone.\n"},
        {{"-v", "--no-c", "lines.txt"},
         "created a.txt\ncreated sub/b.txt\n2 files written, 0 skipped, 0 failures\nDone.\n",
         "skipped a.txt\nskipped sub/b.txt\n0 files written, 2 skipped, 0 failures\nDone.\n"},
        {{"-v", "nul.txt"},  // without -0 a NUL ends nothing: "y\0\0" is a path, and fails
         "created a.txt\ncreated line.txt\n2 files written, 1 failure\nDone.\n",
         "replaced a.txt\nreplaced line.txt\n2 files written, 1 failure\nDone.\n"},
        {{"-q", "nul.txt"},  // quiet only while nothing fails
         "2 files written, 1 failure\nDone.\n",
         "2 files written, 1 failure\nDone.\n"},
        {{"-v", "--no-j", "lines.txt"},
         "created a.txt\ncreated sub/b.txt\n2 files written, 0 failures; no journal kept "
         "(--no-journal): --undo cannot take this run back\nDone.\n",
         "replaced a.txt\nreplaced sub/b.txt\n2 files written, 0 failures; no journal kept "
         "(--no-journal): --undo cannot take this run back\nDone.\n"},
        {{"-0v", "nul.txt"},
         "created a.txt\0created sub/new\nline.txt\0"s + "2 files written, 0 failures\0Done.\0"s,
         "replaced a.txt\0replaced sub/new\nline.txt\0"s + "2 files written, 0 failures\0Done.\0"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::filesystem::remove_all(tmp / "sub");
        std::filesystem::remove(tmp / "a.txt");
        CliResult first = runCli(c.args, tmp);
        CliResult second = runCli(c.args, tmp);
        EXPECT_EQ(first.out, c.firstOut);
        EXPECT_EQ(second.out, c.secondOut);
        const bool nulFailure = c.args.back() == "nul.txt" && c.args[0] != "-0v";
        EXPECT_EQ(first.exitCode, nulFailure ? 1 : 0) << first.err;
        EXPECT_EQ(second.exitCode, nulFailure ? 1 : 0) << second.err;
    }
    EXPECT_EQ(test::readBytes(tmp / "sub/new\nline.txt"), "x\ny");
    EXPECT_EQ(test::readBytes(tmp / "a.txt"), "1");
}

// Any stream is a list or a fixed text: a FIFO, a process substitution, /dev/stdin from a pipe,
// /dev/null. A folder or a block device is refused with its own message.
TEST(Cli, StreamsAreReadOnceAndFoldersAndBlockDevicesRefused) {
    test::TempFolder tmp;
    struct Case {
        std::string script;
        int exitCode;
        std::string out;
        std::string err;
    };
    std::vector<Case> cases = {
        {"mkfifo f; printf \"a.txt\\n\" >f & \"$CLI\" -t T f; wait", 0,
         "1 file written, 0 failures\nDone.\n", ""},
        // A writer that comes late is waited for: the FIFO is not read as an empty list.
        {"mkfifo f; (sleep 0.5; printf \"a.txt\\n\" >f) & \"$CLI\" -t T f; s=$?; kill $! "
         "2>/dev/null; wait; exit $s",
         0, "1 file written, 0 failures\nDone.\n", ""},
        {"\"$CLI\" -t T <(printf \"a.txt\\n\")", 0, "1 file written, 0 failures\nDone.\n", ""},
        {"printf \"a.txt>P\" | \"$CLI\" -f /dev/null /dev/stdin", 0,
         "1 file written, 0 failures\nDone.\n", ""},
        {"printf T | \"$CLI\" -f /dev/stdin <(echo a.txt)", 0,
         "1 file written, 0 failures\nDone.\n", ""},
        {"\"$CLI\" -t T /dev/null", 0, "0 files written, 0 failures\nDone.\n", ""},
        {"\"$CLI\" -t T . - </", 1, "0 files written, 2 failures\nDone.\n",
         "pellatrix-cli: .: Cannot open for reading: Is a directory (error 75)\n"
         "pellatrix-cli: -: Cannot read standard input: Is a directory (error 75)\n"},
    };
    // A block device: only root may open one, and only where a loop device exists.
    struct stat loop {};
    if (::geteuid() == 0 && ::stat("/dev/loop0", &loop) == 0 && S_ISBLK(loop.st_mode)) {
        cases.push_back({"\"$CLI\" /dev/loop0; \"$CLI\" -f /dev/loop0 /dev/null", 1,
                         "0 files written, 1 failure\nDone.\n",
                         "pellatrix-cli: /dev/loop0: Cannot open for reading: Is a block device, "
                         "not a file or a stream (error 75)\n"
                         "pellatrix-cli: /dev/loop0: Cannot open for reading: Is a block device, "
                         "not a file or a stream (error 75)\n"});
    } else {
        std::cout << "[  SKIPPED ] block device as a list: needs root and /dev/loop0\n";
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        std::filesystem::remove(tmp / "f");
        std::filesystem::remove(tmp / "a.txt");
        CliResult r = runShell(c.script, tmp);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        if (c.exitCode == 0 && c.out[0] == '1') {
            EXPECT_EQ(test::readBytes(tmp / "a.txt"),
                      c.script.find(">P") != std::string::npos ? "P" : "T");
        }
    }
}

// A list of nothing but NUL bytes is one line that names no file that can exist: it runs within a
// small address space and reports one short line (the whole path would be megabytes).
TEST(Cli, AllNulListStaysWithinItsMemoryAndReportsOneShortLine) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit";
#endif
    test::TempFolder tmp;
    constexpr std::size_t kListBytes = std::size_t{32} << 20;
    test::writeBytes(tmp / "zeros", std::string(kListBytes, '\0'));
    CliResult r = runCli({"zeros"}, tmp, {}, RLIM_INFINITY, 2 * kListBytes + (64 << 20));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "0 files written, 1 failure\nDone.\n");
    EXPECT_EQ(r.err.rfind("pellatrix-cli: zeros:1: Cannot open '\\0\\0", 0), 0u) << r.err.size();
    const std::string end = "' for writing: Invalid argument (error 75)\n";
    EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end);
    EXPECT_LT(r.err.size(), 8192u);
}

// "-" reads the list, or the fixed text, from standard input; the other one from its file.
TEST(Cli, StandardInputServesAsListOrFixedText) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    // The file "-" in the working folder is a target like any other, not standard input.
    const std::string list = out + "/a/one.txt\r\n\r\n-\n";
    test::writeBytes(tmp / "l.txt", list);
    test::writeBytes(tmp / "-", "old");
    test::writeBytes(tmp / "fixed.bin", "from file");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{"--text", "t", "-"}, list, "t"},
        {{"--text-file", tmp / "fixed.bin", "--", "-"}, list, "from file"},
        {{"--text-file", "-", tmp / "l.txt"}, "in\r\n\0\xff"s, "in\r\n\0\xff"s},
        {{"--text-file=-", tmp / "l.txt"}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CliResult r = runCli(c.args, tmp, c.input);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "2 files written, 0 failures\nDone.\n");
        EXPECT_EQ(test::readBytes(out + "/a/one.txt"), c.text);
        EXPECT_EQ(test::readBytes(tmp / "-"), c.text);
    }
}

// A list redirected from a file is guarded like a named one: a line naming that file is refused.
TEST(Cli, ListRedirectedFromAFileIsNeverWritten) {
    test::TempFolder tmp;
    const std::string list = "l.txt>overwritten\nother.txt>x\n";
    test::writeBytes(tmp / "l.txt", list);
    const std::string command =
        "cd '" + tmp.path() + "' && '" + PELLATRIX_CLI_PATH + "' - <l.txt >out.log 2>err.log";
    int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(test::readBytes(tmp / "l.txt"), list);
    EXPECT_EQ(test::readBytes(tmp / "other.txt"), "x");
    EXPECT_EQ(test::readBytes(tmp / "err.log"),
              "pellatrix-cli: -:1: Cannot open 'l.txt' for writing: it is a list file of this run "
              "(error 70)\n");

    // So is the file of --text-file, also through a link.
    ASSERT_EQ(::symlink("l.txt", (tmp / "link").c_str()), 0);
    test::writeBytes(tmp / "l2.txt", "link\nl.txt\nother.txt\n");
    CliResult r = runCli({"--text-file", "l.txt", "l2.txt"}, tmp);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(test::readBytes(tmp / "l.txt"), list);
    EXPECT_EQ(test::readBytes(tmp / "other.txt"), list);
    EXPECT_EQ(r.err,
              "pellatrix-cli: l2.txt:1: Cannot open 'link' for writing: the run reads its text "
              "from it (error 70)\n"
              "pellatrix-cli: l2.txt:2: Cannot open 'l.txt' for writing: the run reads its text "
              "from it (error 70)\n");
}

// A new file over the limit is removed again; an existing one keeps its old content.
TEST(Cli, FileSizeLimitFailsEachFileTooBigAndTheRunGoesOn) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    const std::string big(10000, 'b');
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    test::writeBytes(out + "/big2.txt", "old\0text"s);
    test::writeBytes(tmp / "l.txt", out + "/big1.txt>" + big + "\n" + out + "/small.txt>ok\n" +
                                        out + "/big2.txt>" + big + "\n");
    CliResult r = runCli({tmp / "l.txt"}, tmp, {}, 4096);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "1 file written, 2 failures\nDone.\n");
    EXPECT_EQ(r.err, "pellatrix-cli: " + tmp / "l.txt:1: Cannot write '" + out +
                         "/big1.txt': File too large (error 61)\n"
                         "pellatrix-cli: " +
                         tmp / "l.txt:3: Cannot write '" + out +
                         "/big2.txt': File too large (error 61)\n");
    EXPECT_EQ(test::readBytes(out + "/small.txt"), "ok");
    EXPECT_FALSE(std::filesystem::exists(out + "/big1.txt"));
    EXPECT_EQ(test::readBytes(out + "/big2.txt"), "old\0text"s);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 2);
}

// A preview reads the lists as a run does and writes nothing; with --null its lines end in NUL;
// with -q it prints only the foreseen failures and their summary.
TEST(Cli, DryRunForeseesEachStepAndWritesNothing) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    test::writeBytes(out + "/old.txt", "old");
    test::writeBytes(out + "/file", "x");
    const std::string list = out + "/new/a.txt>1\n" + out + "/old.txt\n" + out + "/file/b.txt\n" +
                             tmp / "l.txt\n" + out + "/new/\n" + out + "/new/a.txt\n\n" + out +
                             "/c?d.txt\n";
    const std::string missing = tmp / "mis\x1bs\xe2\x80\xaeing\xff.txt";
    const std::vector<std::string> lines = {
        "fail " + missing + ": Cannot open for reading: No such file or directory",
        "folder " + out + "/new",
        "create " + out + "/new/a.txt",
        "replace " + out + "/old.txt",
        "fail " + out + "/file/b.txt: a folder part is a file: " + out + "/file",
        "fail " + tmp / "l.txt" + ": it is a list file of this run",
        "fail " + out + "/new/: it names a folder, not a file",
        "replace " + out + "/new/a.txt",
        "create " + out + "/cd.txt",
        "2 files to create, 2 files to replace, 1 folder to make, 4 foreseen failures",
    };
    for (const char* option : {"--dry-run", "-n", "--null", "-q"}) {
        SCOPED_TRACE(option);
        // With -0 the list's entries end in NUL too, as for a run.
        const bool null = std::string(option) == "--null";
        const bool quiet = std::string(option) == "-q";
        std::string entries = list;
        if (null) {
            std::replace(entries.begin(), entries.end(), '\n', '\0');
        }
        test::writeBytes(tmp / "l.txt", entries);
        std::vector<std::string> args = {option, missing, tmp / "l.txt"};
        if (null || quiet) {
            args.insert(args.begin(), "-n");
        }
        CliResult r = runCli(args, tmp);
        std::string expected;
        for (const std::string& line : lines) {
            if (!quiet || line.starts_with("fail ") || &line == &lines.back()) {
                expected += line + (null ? '\0' : '\n');
            }
        }
        // Control characters, bidirectional controls and stray bytes are escaped in lines for
        // people, kept as they are for scripts.
        for (auto [raw, shown] :
             {std::pair{"\x1b", "\\x1b"}, std::pair{"\xe2\x80\xae", "\\xe2\\x80\\xae"},
              std::pair{"\xff", "\\xff"}}) {
            for (std::size_t at = 0; !null && (at = expected.find(raw, at)) != std::string::npos;) {
                expected.replace(at, std::string_view(raw).size(), shown);
            }
        }
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(std::filesystem::exists(out + "/new"));
        EXPECT_FALSE(std::filesystem::exists(out + "/cd.txt"));
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "old");
    }
    // Quiet and nothing foreseen to fail: nothing printed, exit status 0.
    test::writeBytes(tmp / "fine.txt", out + "/new/a.txt\n");
    CliResult fine = runCli({"-nq", tmp / "fine.txt"}, tmp);
    EXPECT_EQ(fine.exitCode, 0);
    EXPECT_EQ(fine.out + fine.err, "");
}

// A run from the companion keeps a journal; --undo takes it back once, --list-runs shows it. A
// run with --no-journal keeps nothing. A file over 2 GiB (sparse) is previewed, replaced and
// put back like any other, also by a 32-bit build.
TEST(Cli, UndoTakesBackTheLastRunOnce) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    test::writeBytes(out + "/old.txt", "old");
    constexpr std::uint64_t kBig = (std::uint64_t{3} << 30) + 5;
    {
        // 64-bit offsets here whatever the build's own, so it is the program that is tried.
        const int fd = ::open64((out + "/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate64(fd, static_cast<off64_t>(kBig)), 0);
        ::close(fd);
    }
    test::writeBytes(tmp / "l.txt",
                     out + "/new/a.txt>1\n" + out + "/old.txt>2\n" + out + "/big.bin>small\n");
    const std::string state = tmp / "state";
    const char* before = std::getenv("XDG_STATE_HOME");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    CliResult preview = runCli({"-nq", tmp / "l.txt"}, tmp);
    EXPECT_EQ(preview.exitCode, 0);
    EXPECT_EQ(preview.out + preview.err, "");
    EXPECT_FALSE(std::filesystem::exists(state));
    CliResult run = runCli({tmp / "l.txt"}, tmp);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "2");
    EXPECT_EQ(test::readBytes(out + "/big.bin"), "small");
    test::writeBytes(tmp / "l2.txt", out + "/unkept.txt>x\n");
    EXPECT_EQ(runCli({"--no-journal", tmp / "l2.txt"}, tmp).exitCode, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(state + "/pellatrix/runs"), {}), 1);

    CliResult listed = runCli({"--list-runs"}, tmp);
    EXPECT_EQ(listed.exitCode, 0);
    const std::string id = listed.out.substr(0, listed.out.find(' '));
    EXPECT_EQ(listed.out, id + "  complete  1 file created, 2 files replaced, 1 folder made\n");
    CliResult undo = runCli({"--undo"}, tmp);
    EXPECT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(undo.out, "Run " + id +
                            " undone: 1 file removed, 2 files put back, 1 folder removed, 0 "
                            "left alone\n");
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "old");
    EXPECT_EQ(std::filesystem::file_size(out + "/big.bin"), kBig);
    EXPECT_FALSE(std::filesystem::exists(out + "/new"));
    EXPECT_EQ(test::readBytes(out + "/unkept.txt"), "x");

    CliResult again = runCli({"--undo"}, tmp);
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_EQ(again.err, "pellatrix-cli: cannot undo: there is no run to undo; nothing changed\n");
    CliResult same = runCli({"--undo=" + id}, tmp);
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_EQ(same.err, "pellatrix-cli: cannot undo " + id +
                            ": this run was undone before; nothing changed\n");
    EXPECT_EQ(runCli({"--list-runs"}, tmp).out,
              id + "  undone  1 file created, 2 files replaced, 1 folder made\n");
    if (before != nullptr) {
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

}  // namespace
}  // namespace pellatrix
