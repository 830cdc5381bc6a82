#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/engine/DelayShare.h"
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
    std::filesystem::create_symlink("t.txt", tmp / "t-link");
    test::writeBytes(tmp / "f1.txt", "out/a.txt>{n}\nout/b.txt>{nam}\n");
    test::writeBytes(tmp / "f2.txt", "out/a.txt>{{n}}\n\nout/{name}.txt\n");
    test::writeBytes(tmp / "t-big", "");
    std::filesystem::resize_file(tmp / "t-big", (std::uint64_t{16} << 20) + 1);
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
        {{"-j"}, "option requires an argument -- 'j'"},
        {{"--jobs=0", "list.txt"},
         "invalid number of jobs: '0' (give a whole number from 1 to 256)"},
        {{"-j", "257", "list.txt"},
         "invalid number of jobs: '257' (give a whole number from 1 to 256)"},
        {{"--jobs=+4", "list.txt"},
         "invalid number of jobs: '+4' (give a whole number from 1 to 256)"},
        {{"-j4x", "list.txt"}, "invalid number of jobs: '4x' (give a whole number from 1 to 256)"},
        {{"--jobs", "99999999999999999999", "list.txt"},
         "invalid number of jobs: '99999999999999999999' (give a whole number from 1 to 256)"},
        {{"-n", "-j2", "list.txt"}, "--dry-run writes nothing; give it without --jobs"},
        {{"--undo", "-j2"}, ""},
        {{"--of-run=x"},
         "--of-run names the run whose failed lines --failed=FILE writes; give --failed too"},
        {{"--failed=f", "--of-run=x", "-0"},
         "--failed with --of-run takes no list file and no other option"},
        {{"--failed=f", "--of-run=x", "list.txt"},
         "--failed with --of-run takes no list file and no other option"},
        {{"--failed=f", "--list-runs"}, ""},
        {{"-n", "--failed=f", "list.txt"}, "--dry-run writes nothing; give it without --failed"},
        // The run's own inputs by whatever name, a folder, a missing folder: refused before
        // anything is read.
        {{"--failed=" + tmp / "t.txt", "list.txt", tmp / "t.txt"},
         "cannot write the failed lines to '" + tmp / "t.txt" + "': it is read by this run ('" +
             tmp / "t.txt" + "')"},
        {{"--failed=" + tmp / "t-link", "-f", tmp / "t.txt", "list.txt"},
         "cannot write the failed lines to '" + tmp / "t-link" + "': it is read by this run ('" +
             tmp / "t.txt" + "')"},
        {{"--failed=" + tmp.path(), "list.txt"},
         "cannot write the failed lines to '" + tmp.path() + "': it is a folder"},
        {{"--failed=" + tmp / "no/f.txt", "list.txt"},
         "cannot write the failed lines to '" + tmp / "no/f.txt" +
             "': its folder cannot be used: No such file or directory"},
        // The content: a size, fields that cannot be filled, a template that is no template.
        {{"--size=0", "list.txt"},
         "a size of 0 makes only empty files: give --size=1 or more (an empty text makes empty "
         "files already)"},
        {{"--size=-1", "list.txt"},
         "invalid size: '-1' (give a whole number of bytes, or of KiB, MiB or GiB with K, M or G: "
         "--size=1M)"},
        {{"--size=2KB", "list.txt"},
         "invalid size: '2KB' (give a whole number of bytes, or of KiB, MiB or GiB with K, M or "
         "G: --size=1M)"},
        {{"--size", "8589934592G", "list.txt"},
         "size '8589934592G' is beyond the longest file there can be (9223372036854775807 "
         "bytes)"},
        {{"--undo", "--fields"}, ""},
        {{"--list-runs", "--size=1"}, ""},
        {{"--fields", "f1.txt"},
         "f1.txt:2: unknown field '{nam}' (known: {name} {stem} {ext} {folder} {path} {n} "
         "{n:WIDTH} {list} {line} {date}; '{{' for a brace)"},
        {{"--fields", "f1.txt", "f2.txt"},
         "f1.txt:2: unknown field '{nam}' (known: {name} {stem} {ext} {folder} {path} {n} "
         "{n:WIDTH} {list} {line} {date}; '{{' for a brace)"},
        {{"--fields", "f2.txt"},
         "f2.txt:3: a field in a path is not filled: fields are filled only in a text, after "
         "'>'"},
        {{"--fields", "-t", "a{n", "f2.txt"},
         "--text: a '{' left open at byte 2 of the text (write '{{' for a brace)"},
        {{"--fields", "-f", "t-big", "list.txt"},
         "the text file 't-big' is too large to fill fields in (16777217 bytes; --fields takes "
         "at most 16 MiB); give it without --fields to copy it"},
        {{"-f", "t-link", "t.txt"}, "the text file 't-link' is one of the run's list files"},
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
    EXPECT_FALSE(std::filesystem::exists(tmp / "out"));
    EXPECT_EQ(test::readBytes(tmp / "t.txt"), "");
    EXPECT_FALSE(std::filesystem::exists(tmp / "f"));
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

// A list of nothing but NUL bytes is one line that names no file that can exist, and so is a
// path of megabytes, read as a line or as a NUL-ended entry: each runs within a small address
// space, its journal kept, and reports one short line (the whole path would be megabytes).
TEST(Cli, AHugeEntryStaysWithinItsMemoryAndReportsOneShortLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
#endif
    test::TempFolder tmp;
    constexpr std::size_t kListBytes = std::size_t{32} << 20;
    const std::string path = "out/" + std::string(kListBytes - 5, 'p');
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string list;
        const char* shown;  // how the report begins to show the path
        const char* why;
    };
    const std::vector<Case> cases = {
        {"all NUL", {}, std::string(kListBytes, '\0'), "\\0\\0", "Invalid argument"},
        {"one line", {}, path + "\n", "out/ppp", "File name too long"},
        {"one entry", {"-0"}, path, "out/ppp", "File name too long"},
    };
    ::setenv("XDG_STATE_HOME", (tmp / "state").c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeBytes(tmp / "list", c.list);
        std::vector<std::string> args = c.args;
        args.push_back("list");
        CliResult r = runCli(args, tmp, {}, RLIM_INFINITY, 2 * kListBytes + (64 << 20));
        EXPECT_EQ(r.exitCode, 1);
        const char end = c.args.empty() ? '\n' : '\0';
        EXPECT_EQ(r.out, "0 files written, 1 failure"s + end + "Done." + end);
        EXPECT_EQ(r.err.rfind("pellatrix-cli: list:1: Cannot open '"s + c.shown, 0), 0u)
            << r.err.size();
        const std::string tail = "' for writing: "s + c.why + " (error 75)\n";
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail);
        EXPECT_LT(r.err.size(), 8192u);
    }
    ::unsetenv("XDG_STATE_HOME");
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
                             tmp / "l.txt\n" + out + "/new/\n" + out + "/new\n" + out +
                             "/new/a.txt\n\n" + out + "/c?d.txt\n";
    const std::string missing = tmp / "mis\x1bs\xe2\x80\xaeing\xff.txt";
    const std::vector<std::string> lines = {
        "fail " + missing + ": Cannot open for reading: No such file or directory",
        "folder " + out + "/new",
        "create " + out + "/new/a.txt",
        "replace " + out + "/old.txt",
        "fail " + out + "/file/b.txt: a folder part is a file: " + out + "/file",
        "fail " + tmp / "l.txt" + ": it is a list file of this run",
        "fail " + out + "/new/: it names a folder, not a file",
        "fail " + out + "/new: it is a folder",
        "replace " + out + "/new/a.txt",
        "create " + out + "/cd.txt",
        "2 files to create, 2 files to replace, 1 folder to make, 5 foreseen failures",
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

// A template, fields and a size shape each file as the preview says, with any number of steps at
// once; a template changed during the run fails the files written from it, the old ones kept.
TEST(Cli, ContentBeyondOneTextIsCopiedFilledOrSizedAsPreviewed) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "t.odt", "PK\0\x03template\xff"s);
    struct Case {
        std::vector<std::string> args;
        std::string list;
        std::string preview;                                     // its lines for the files
        std::vector<std::pair<std::string, std::string>> files;  // what each holds after the run
    };
    const std::vector<Case> cases = {
        {{"-f", "t.odt"},
         "o/a.bin\no/b/c.bin\n",
         "create o/a.bin (template t.odt, 13 bytes)\ncreate o/b/c.bin (template t.odt, 13 "
         "bytes)\n",
         {{"o/a.bin", "PK\0\x03template\xff"s}, {"o/b/c.bin", "PK\0\x03template\xff"s}}},
        // Before the first line with '>' the fixed text is the template; after it, empty.
        {{"-f", "t.odt", "--size=20"},
         "o/a.bin\no/b.txt>xy\no/c.bin\n",
         "create o/a.bin (template t.odt, 20 bytes)\ncreate o/b.txt (20 bytes, text "
         "repeated)\ncreate o/c.bin (20 bytes of zeros)\n",
         {{"o/a.bin", "PK\0\x03template\xffPK\0\x03tem"s},
          {"o/b.txt", "xyxyxyxyxyxyxyxyxyxy"},
          {"o/c.bin", std::string(20, '\0')}}},
        {{"--fields", "-t", "{n:2}/{name}/{line}", "-j", "4"},
         "o/x.txt\n\no/y.md\no/z\n",
         "create o/x.txt (fields filled, 10 bytes)\ncreate o/y.md (fields filled, 9 bytes)\n"
         "create o/z (fields filled, 6 bytes)\n",
         {{"o/x.txt", "01/x.txt/1"}, {"o/y.md", "02/y.md/3"}, {"o/z", "03/z/4"}}},
        {{"--fields", "-f", "t.odt"},
         "o/a>{stem}.{ext} in {folder} {{}}\n",
         "create o/a (fields filled, 10 bytes)\n",
         {{"o/a", "a. in o {}"}}},
        // Without --fields a brace is a byte like any other.
        {{"-t", "{n}"}, "o/a\n", "create o/a\n", {{"o/a", "{n}"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::filesystem::remove_all(tmp / "o");
        test::writeBytes(tmp / "l.txt", c.list);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--no-journal");
        args.push_back("l.txt");
        std::vector<std::string> previewArgs = {"-n"};
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "-j") {
                ++i;  // a preview writes nothing, on no number of workers
            } else {
                previewArgs.push_back(args[i]);
            }
        }
        const CliResult preview = runCli(previewArgs, tmp);
        EXPECT_EQ(preview.exitCode, 0) << preview.err;
        std::string files;
        std::istringstream lines(preview.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("create ")) {
                files += line + "\n";
            }
        }
        EXPECT_EQ(files, c.preview);
        const CliResult run = runCli(args, tmp);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        for (const auto& [path, bytes] : c.files) {
            EXPECT_EQ(test::readBytes(tmp / path), bytes) << path;
        }
    }
    // K, M and G count 1024; a size beyond what the file system takes fails each file, a
    // replaced one keeping its old content.
    test::writeBytes(tmp / "l.txt", "o/k\n");
    EXPECT_EQ(runCli({"--size=2K", "-t", "ab", "l.txt"}, tmp).exitCode, 0);
    EXPECT_EQ(std::filesystem::file_size(tmp / "o/k"), 2048u);
    EXPECT_EQ(test::readBytes(tmp / "o/k").substr(2044), "abab");
    test::writeBytes(tmp / "l.txt", "o/k\no/big\n");
    const CliResult limited = runCli({"--size=1M", "l.txt"}, tmp, {}, 65536);
    EXPECT_EQ(limited.exitCode, 1);
    EXPECT_EQ(limited.err,
              "pellatrix-cli: l.txt:1: Cannot write 'o/k': File too large (error 61)\n"
              "pellatrix-cli: l.txt:2: Cannot write 'o/big': File too large (error "
              "61)\n");
    EXPECT_EQ(std::filesystem::file_size(tmp / "o/k"), 2048u);
    EXPECT_FALSE(std::filesystem::exists(tmp / "o/big"));

    // The run's dates are one, its start's.
    test::writeBytes(tmp / "l.txt", "o/d1>{date}\no/d2>{date}\n");
    EXPECT_EQ(runCli({"--fields", "l.txt"}, tmp).exitCode, 0);
    EXPECT_EQ(test::readBytes(tmp / "o/d1").size(), 25u);
    EXPECT_EQ(test::readBytes(tmp / "o/d1"), test::readBytes(tmp / "o/d2"));

    // The template grows once the run opened it, while its list is still being read.
    test::writeBytes(tmp / "o/old.txt", "old");
    const CliResult changed = runShell(
        "mkfifo p; (exec 3>p; printf \"!\" >>t.odt; printf \"o/new.txt\\no/old.txt\\n\" >&3) & "
        "\"$CLI\" -f t.odt p; s=$?; wait; exit $s",
        tmp);
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_EQ(changed.out, "0 files written, 2 failures\nDone.\n");
    EXPECT_EQ(changed.err,
              "pellatrix-cli: p:1: Cannot write 'o/new.txt': the template 't.odt' changed during "
              "the run (its size, time or identity) (error 75)\n"
              "pellatrix-cli: p:2: Cannot write 'o/old.txt': the template 't.odt' changed during "
              "the run (its size, time or identity) (error 75)\n");
    EXPECT_FALSE(std::filesystem::exists(tmp / "o/new.txt"));
    EXPECT_EQ(test::readBytes(tmp / "o/old.txt"), "old");
}

// A template's bytes never pass through the program's memory: a template larger than the
// address space it may use is copied whole, and the undo takes the run back like any other.
TEST(Cli, ATemplateLargerThanTheMemoryIsCopiedAndUndone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
#endif
    test::TempFolder tmp;
    constexpr std::uint64_t kTemplate = std::uint64_t{256} << 20;
    test::writeBytes(tmp / "t.img", "head");
    std::filesystem::resize_file(tmp / "t.img", kTemplate);
    test::writeBytes(tmp / "old.img", "old");
    test::writeBytes(tmp / "l.txt", "new/a.img\nold.img\n");
    const std::string state = tmp / "state";
    const char* before = std::getenv("XDG_STATE_HOME");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    CliResult run = runCli({"-f", "t.img", "l.txt"}, tmp, {}, RLIM_INFINITY, kTemplate / 2);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const char* copy : {"new/a.img", "old.img"}) {
        EXPECT_EQ(std::filesystem::file_size(tmp / copy), kTemplate);
        std::ifstream in(tmp / copy, std::ios::binary);
        char head[5] = {};
        in.read(head, 4);
        EXPECT_EQ(std::string(head), "head");
    }
    CliResult undo = runCli({"--undo"}, tmp);
    EXPECT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(undo.out.substr(undo.out.find(" undone")),
              " undone: 1 file removed, 1 file put back, 1 folder removed, 0 left alone\n");
    EXPECT_FALSE(std::filesystem::exists(tmp / "new"));
    EXPECT_EQ(test::readBytes(tmp / "old.img"), "old");
    EXPECT_EQ(std::filesystem::file_size(tmp / "t.img"), kTemplate);
    if (before != nullptr) {
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

// An awkward tree: each row is one line of the list, relative to the tree's folder.
struct AwkwardTree {
    test::TempFolder tmp;
    std::vector<std::string> lines;
    std::vector<std::string> foldersBefore;
};

std::vector<std::string> foldersUnder(const std::string& root) {
    std::vector<std::string> folders;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (std::filesystem::is_directory(it->symlink_status(ec))) {
            folders.push_back(it->path().string());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

void makeAwkwardTree(AwkwardTree& t) {
    const std::string o = t.tmp / "o";
    const auto folder = [&](const std::string& name, mode_t mode) {
        ASSERT_EQ(::mkdir((o + name).c_str(), 0700), 0);
        ASSERT_EQ(::chmod((o + name).c_str(), mode), 0);
    };
    const auto file = [&](const std::string& name, mode_t mode) {
        test::writeBytes(o + name, "old");
        ASSERT_EQ(::chmod((o + name).c_str(), mode), 0);
    };
    const auto link = [&](const char* to, const std::string& name) {
        ASSERT_EQ(::symlink(to, (o + name).c_str()), 0);
    };
    ASSERT_EQ(::chmod(t.tmp.path().c_str(), 0777), 0);  // the unprivileged run's output lands here
    folder("", 0777);
    folder("/dir", 0777);
    folder("/ro", 0555);
    folder("/shut", 0666);  // listed but not searched by others
    file("/file.txt", 0666);
    file("/ro.txt", 0444);
    file("/hard.txt", 0666);
    ASSERT_EQ(::link((o + "/hard.txt").c_str(), (o + "/hard2.txt").c_str()), 0);
    file("/ro/old.txt", 0666);
    file("/shut/old.txt", 0666);
    ASSERT_EQ(::mkfifo((o + "/fifo").c_str(), 0666), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/sock", o.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(sock);
    for (const char* name : {"/fifo", "/sock"}) {  // open to all, whatever the umask
        ASSERT_EQ(::chmod((o + name).c_str(), 0666), 0);
    }
    link("file.txt", "/to-file");
    link("nowhere.txt", "/dangling");
    link("missing/x", "/into-missing");
    link("ro/x", "/into-ro");
    link("loop", "/loop");
    link("dir", "/to-dir");
    link("gone", "/gone-folder");
    const std::string longName(300, 'n');
    std::string longPath = o;
    while (longPath.size() <= 4096) {
        longPath += "/" + std::string(200, 'd');
    }
    // Lines 27 and 28 name one new file twice: made, then replaced (or kept); so do the last
    // two, spelt otherwise. A name the run makes a folder of is a file on another line, before
    // and after.
    std::istringstream rows(
        "o/new.txt o/fifo o/sock o/dir o/dir/ o/made/ o/file.txt o/ro.txt o/hard.txt o/ro/old.txt "
        "o/ro/new.txt o/ro/sub/f o/shut/old.txt o/shut/new.txt o/to-file o/dangling "
        "o/into-missing o/into-ro o/loop o/to-dir o/to-dir/f o/gone-folder/f o/file.txt/x "
        "o/first o/first/f o/then/f o//then/. o/ro/then/f o/ro/then");
    t.lines.assign(std::istream_iterator<std::string>(rows), {});
    t.lines.insert(t.lines.end(),
                   {"o/" + longName, "o/" + longName + "/f", longPath + "/f", "o/new/deep/f",
                    "o/new/deep/f", "l.txt", "/dev/null", "o/twice", "o//./twice"});
    std::string list;
    for (const std::string& line : t.lines) {
        list += line + "\n";
    }
    test::writeBytes(t.tmp / "l.txt", list);
    t.foldersBefore = foldersUnder(o);
}

// Each line of the list as the preview foresees it ("create", "replace", "keep", "fail", with
// its "folder" lines in `folders`) or as the run did it (-v prints each file done in order; each
// failure on standard error names its line).
std::vector<std::string> verdicts(const CliResult& r, const std::string& list, std::size_t lines,
                                  std::vector<std::string>* folders) {
    std::vector<std::string> out(folders != nullptr ? 0 : lines);
    const std::string lead = "pellatrix-cli: " + list + ":";
    for (std::size_t at = 0; !folders && (at = r.err.find(lead, at)) != std::string::npos; ++at) {
        out.at(std::stoul(r.err.substr(at + lead.size())) - 1) = "fail";
    }
    std::istringstream printed(r.out);
    std::size_t next = 0;
    for (std::string word, rest; printed >> word && std::getline(printed, rest);) {
        if (folders != nullptr) {
            if (word == "folder") {
                folders->push_back(rest.substr(1));
            } else if (word == "create" || word == "replace" || word == "keep" || word == "fail") {
                // Only the write can tell whether a program reads from a FIFO; none does here.
                const bool unread = rest.ends_with(
                    ": it is a FIFO, written only if a program "
                    "reads from it then");
                out.push_back(unread ? "fail" : word);
            }
            continue;
        }
        const char* verdict = word == "created"    ? "create"
                              : word == "replaced" ? "replace"
                              : word == "skipped"  ? "keep"
                                                   : nullptr;
        while (verdict != nullptr && next < lines && !out[next].empty()) {
            ++next;
        }
        if (verdict != nullptr && next < lines) {
            out[next++] = verdict;
        }
    }
    return out;
}

// The preview is the run's own decisions: on a tree of awkward cases, previewed and then run by
// the same user, each line of the preview is what the run then did, and the folders it foresaw
// are the folders the run made. As the current user and as an unprivileged one, keeping
// existing files or not, and with a umask that leaves a made folder closed to its owner.
TEST(Cli, PreviewForeseesWhatTheRunThenDoes) {
    struct Way {
        const char* name;
        bool unprivileged;
        mode_t umask;
        bool keep;
        bool manyAtOnce;  // the run with 16 steps at once
    };
    const std::vector<Way> ways = {
        {"current user", false, 022, false, false},
        {"current user, no-clobber", false, 022, true, false},
        {"unprivileged", true, 022, false, false},
        {"unprivileged, no-clobber", true, 022, true, false},
        {"unprivileged, umask 0277", true, 0277, false, false},
        {"current user, 16 at once", false, 022, false, true},
        {"unprivileged, no-clobber, 16 at once", true, 022, true, true},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        AwkwardTree tree;
        makeAwkwardTree(tree);
        const std::string list = tree.tmp / "l.txt";
        const auto run = [&](std::vector<std::string> args) {
            if (way.keep) {
                args.insert(args.begin(), "--no-clobber");
            }
            if (way.manyAtOnce && std::find(args.begin(), args.end(), "-n") == args.end()) {
                args.insert(args.begin(), "--jobs=16");
            }
            args.push_back(list);
            // Made afresh each time: under the narrow umask the last ones are read-only.
            std::filesystem::remove(tree.tmp / ".stdout");
            std::filesystem::remove(tree.tmp / ".stderr");
            const auto body = [&] {
                const mode_t old = ::umask(way.umask);
                const int code = runCli(args, tree.tmp).exitCode;
                ::umask(old);
                return code;
            };
            const int status = way.unprivileged ? test::runUnprivileged(body) : body();
            return CliResult{status, test::readBytes(tree.tmp / ".stdout"),
                             test::readBytes(tree.tmp / ".stderr")};
        };
        const CliResult preview = run({"-n"});
        std::vector<std::string> foreseenFolders;
        const auto foreseen = verdicts(preview, list, tree.lines.size(), &foreseenFolders);
        const auto did = verdicts(run({"-v"}), list, tree.lines.size(), nullptr);
        ASSERT_EQ(foreseen.size(), tree.lines.size()) << preview.out;
        for (std::size_t i = 0; i < tree.lines.size(); ++i) {
            EXPECT_EQ(foreseen[i], did[i])
                << "line " << i + 1 << ": " << tree.lines[i].substr(0, 80);
        }
        std::vector<std::string> made;
        const std::vector<std::string> after = foldersUnder(tree.tmp / "o");
        std::set_difference(after.begin(), after.end(), tree.foldersBefore.begin(),
                            tree.foldersBefore.end(), std::back_inserter(made));
        for (std::string& folder : foreseenFolders) {
            folder = tree.tmp.path() + "/" + folder;
        }
        std::sort(foreseenFolders.begin(), foreseenFolders.end());
        EXPECT_EQ(foreseenFolders, made);
    }
}

// The failed lines of a run, as a user tries them again: written with --failed as they stand
// in the list (blank lines, the '>' texts and the breaks of the source, a last line without one
// given the break before it), kept with the run for --of-run and counted by --list-runs; once the
// cause is fixed by hand, a run over that file creates exactly those files and fails none.
TEST(Cli, FailedLinesAreAListThatALaterRunTakesAsItIs) {
    struct Case {
        std::string end;
        std::vector<std::string> options;
    };
    const std::vector<Case> cases = {
        {"\n", {}}, {"\r\n", {}}, {"\r", {}}, {"\0"s, {"-0"}}, {"\n", {"-j4", "--no-clobber"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.end) + testing::PrintToString(c.options));
        test::TempFolder tmp;
        const std::string state = tmp / "state";
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        test::writeBytes(tmp / "blocked", "a file where a folder is wanted");
        const std::string& e = c.end;
        const std::string lines[] = {
            "ok/a.txt>A" + e,    "blocked/b.txt>B > b" + e, e,
            "blocked/c.txt" + e, "ok/d.txt>" + e,           "blocked/e.txt> E"};
        std::string list;
        for (const std::string& line : lines) {
            list += line;
        }
        test::writeBytes(tmp / "list.txt", list);
        const std::string expected = lines[1] + lines[3] + lines[5] + e;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--failed=failed.txt", "list.txt"});
        CliResult run = runCli(args, tmp);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(test::readBytes(tmp / "failed.txt"), expected);
        EXPECT_EQ(test::readBytes(tmp / "ok/a.txt"), "A");

        CliResult listed = runCli({"--list-runs"}, tmp);
        EXPECT_NE(listed.out.find(
                      "  complete  2 files created, 0 files replaced, 1 folder made, 3 failures, "),
                  std::string::npos)
            << listed.out;
        const std::string id = listed.out.substr(0, listed.out.find(' '));
        EXPECT_EQ(runCli({"--failed=again.txt", "--of-run=" + id}, tmp).exitCode, 0);
        EXPECT_EQ(test::readBytes(tmp / "again.txt"), expected);

        std::filesystem::remove(tmp / "blocked");
        std::filesystem::create_directory(tmp / "blocked");
        args = c.options;
        args.insert(args.end(), {"--no-journal", "--failed=left.txt", "failed.txt"});
        CliResult retry = runCli(args, tmp);
        EXPECT_EQ(retry.exitCode, 0) << retry.err;
        EXPECT_EQ(test::readBytes(tmp / "left.txt"), "");
        EXPECT_EQ(test::readBytes(tmp / "blocked/b.txt"), "B > b");
        EXPECT_EQ(test::readBytes(tmp / "blocked/c.txt"), "");
        EXPECT_EQ(test::readBytes(tmp / "blocked/e.txt"), " E");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "blocked"), {}), 3);
    }
    ::unsetenv("XDG_STATE_HOME");
}

// Lists read once (standard input, a process substitution) give their failed lines with
// --failed, which keeps a copy of each stream for it; without it their lines are not kept with
// the run, and writing them later says so. An unknown run has none to write.
TEST(Cli, FailedLinesOfStreamsAreWrittenOnlyWhereAsked) {
    test::TempFolder tmp;
    const std::string state = tmp / "state";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    test::writeBytes(tmp / "blocked", "");
    test::writeBytes(tmp / "failed.txt", "before");
    CliResult piped = runCli({"--failed=failed.txt", "-"}, tmp, "blocked/x\r\nok.txt\n");
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_EQ(test::readBytes(tmp / "failed.txt"), "blocked/x\r\n");
    CliResult substituted = runShell("$CLI --failed=f2.txt <(printf \"a.txt\\nblocked/y\")", tmp);
    EXPECT_EQ(substituted.exitCode, 1) << substituted.err;
    EXPECT_EQ(test::readBytes(tmp / "f2.txt"), "blocked/y\n");

    EXPECT_EQ(runCli({"-"}, tmp, "ok2.txt\nblocked/z\n").exitCode, 1);
    const std::string listed = runCli({"--list-runs"}, tmp).out;
    const std::string id = listed.substr(0, listed.find(' '));
    CliResult later = runCli({"--failed=later.txt", "--of-run=" + id}, tmp);
    EXPECT_EQ(later.exitCode, 1);
    EXPECT_EQ(later.err,
              "pellatrix-cli: -: its failed lines were not kept (standard input, a pipe, or "
              "changed since the run read it)\n");
    EXPECT_EQ(test::readBytes(tmp / "later.txt"), "");

    CliResult unknown = runCli({"--failed=failed.txt", "--of-run=20260101-000000.1-1"}, tmp);
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err,
              "pellatrix-cli: cannot read the failed lines of 20260101-000000.1-1: no kept run is "
              "named '20260101-000000.1-1'\n");
    ::unsetenv("XDG_STATE_HOME");
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
    // Its size: the journal and the two old contents, one of them large.
    EXPECT_TRUE(listed.out.starts_with(id + "  complete  1 file created, 2 files replaced, 1 "
                                            "folder made, ") &&
                listed.out.ends_with(" GiB on disk\n"))
        << listed.out;
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
    EXPECT_TRUE(runCli({"--list-runs"}, tmp)
                    .out.starts_with(id + "  undone  1 file created, 2 files replaced, 1 folder "
                                          "made, "));
    // A runs folder others may write is listed no more than undone.
    const std::string runs = state + "/pellatrix/runs";
    ASSERT_EQ(::chmod(runs.c_str(), 0777), 0);
    CliResult refused = runCli({"--list-runs"}, tmp);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "pellatrix-cli: cannot list the runs: the runs folder '" + runs +
                               "' may be written by other users (mode 0777), so it is not "
                               "trusted\n");
    ASSERT_EQ(::chmod(runs.c_str(), 0700), 0);
    if (before != nullptr) {
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

// Every file and folder under `root` as "PATH type content", in path order.
// The tree under `root`, but for what lies under `root + skip` (a state folder kept there).
std::vector<std::string> treeOf(const std::string& root, const std::string& skip = {}) {
    std::vector<std::string> tree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string().substr(root.size());
        if (!skip.empty() && path.starts_with(skip)) {
            continue;
        }
        if (it->is_directory()) {
            tree.push_back(path + " folder");
        } else {
            tree.push_back(path + " file " + test::readBytes(it->path().string()));
        }
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

// What the lists below find: folders, files to replace, a file where a folder is named.
void seedShare(const std::string& root) {
    for (const char* folder : {"/a", "/a/b", "/old"}) {
        ASSERT_EQ(::mkdir((root + folder).c_str(), 0755), 0);
    }
    for (int i = 0; i < 20; ++i) {
        test::writeBytes(root + "/old/f" + std::to_string(i), "old " + std::to_string(i));
    }
    test::writeBytes(root + "/a/file", "a file");
}

// Other names of the files seedShare made: a linked folder "ol" (to "old"), and in "old" a
// symbolic link "sN" to each file "fN" and a second hard link "hN" to the first five.
void seedAliases(const std::string& root) {
    ASSERT_EQ(::symlink("old", (root + "/ol").c_str()), 0);
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(::symlink(("f" + n).c_str(), (root + "/old/s" + n).c_str()), 0);
        if (i < 5) {
            ASSERT_EQ(::link((root + "/old/f" + n).c_str(), (root + "/old/h" + n).c_str()), 0);
        }
    }
}

// "t/old/fN" or, with `aliases`, another name of that file (see seedAliases).
std::string oldFile(std::mt19937& random, bool aliases) {
    const std::string n = std::to_string(random() % 20);
    if (!aliases) {
        return "t/old/f" + n;
    }
    const std::string names[] = {
        "t/old/f",    "t/ol/f",       "t/old/s",
        "t//old/./f", "t/a/../old/f", n.size() == 1 && n[0] < '5' ? "t/old/h" : "t/ol/s"};
    return names[random() % 6] + n;
}

// A list over "t/": new nested folders, existing files, paths named twice (the later text
// wins), and lines that fail: a folder part that is a file, a name too long, a folder named as a
// file, a path in a missing root. With text of its own on some lines when `ownText`; with
// `aliases`, files named by their other names too, "//" in new paths among them.
std::string randomList(std::mt19937& random, std::size_t lines, bool ownText,
                       bool aliases = false) {
    std::vector<std::string> named;
    std::string list;
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    for (std::size_t i = 0; i < lines; ++i) {
        std::string path;
        switch (pick(10)) {
            case 0:
            case 1:
                path = oldFile(random, aliases);
                break;
            case 2:
                path = named.empty() ? "t/a/x" : named[pick(named.size())];
                break;
            case 3: {
                const char* failing[] = {"t/a/file/x", "t/a/b", "/proc/pellatrix-none/x", "t/a/b/"};
                path = failing[pick(4)];
                if (pick(4) == 0) {
                    path = "t/n/" + std::string(300, 'l');
                }
                break;
            }
            default:
                path = "t/n" + std::to_string(pick(6)) + (aliases && pick(2) == 0 ? "//d" : "/d") +
                       std::to_string(pick(4)) +
                       (pick(2) == 0 ? "/e" + std::to_string(pick(3)) : "") + "/f" +
                       std::to_string(pick(40));
        }
        named.push_back(path);
        list += path;
        if (ownText && pick(3) != 0) {
            list += ">line " + std::to_string(i);
        }
        list += '\n';
    }
    return list;
}

// With many steps at once the run tells and leaves exactly what a run one step at a time does:
// the same tree, the same -v lines and failures (LIST:LINE, number, step) in the same order, the
// same summary. On delayfs where FUSE can be mounted (a share where each request waits), else
// on a plain folder.
TEST(ManyStepsAtOnce, TellAndLeaveWhatOneAtATimeDoes) {
    struct Case {
        unsigned seed;
        std::size_t lines;
        bool ownText;
        std::vector<std::string> options;
        bool aliases = false;
    };
    const std::vector<Case> cases = {
        {1, 300, false, {"-v", "-t", "fixed"}},
        {2, 300, true, {"-v"}},
        {3, 200, true, {"-v", "--no-clobber"}},
        {4, 200, false, {"-q", "-t", "quiet"}},
        // One file by many names at once: the later line's text still wins.
        {5, 400, true, {"-v"}, true},
        {6, 400, true, {"-q"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        std::mt19937 random(c.seed);
        const std::string first = randomList(random, c.lines, c.ownText, c.aliases);
        const std::string second = randomList(random, c.lines / 2, c.ownText, c.aliases);
        std::vector<CliResult> results;
        std::vector<std::vector<std::string>> trees;
        for (const char* jobs : {"--jobs=1", "--jobs=16"}) {
            test::DelayShare share(100);
            seedShare(share.root);
            if (c.aliases) {
                seedAliases(share.root);
            }
            test::writeBytes(share.tmp / "l1.txt", first);
            test::writeBytes(share.tmp / "l2.txt", second);
            std::vector<std::string> args = c.options;
            args.insert(args.end(), {jobs, "l1.txt", "l2.txt"});
            results.push_back(runCli(args, share.tmp));
            // Read where delayfs keeps it: through the mount, a hard link's other name may
            // still show the size it had a moment ago.
            trees.push_back(treeOf(share.onFuse() ? share.backing : share.root));
            if (c.seed == 1) {
                std::cout << "[ manyatonce] " << jobs
                          << (share.onFuse() ? " on delayfs" : " on a plain folder") << "\n";
            }
        }
        EXPECT_EQ(results[0].exitCode, 1);
        EXPECT_EQ(results[1].exitCode, results[0].exitCode);
        EXPECT_EQ(results[1].out, results[0].out);
        EXPECT_EQ(results[1].err, results[0].err);
        EXPECT_EQ(trees[1], trees[0]);
        EXPECT_NE(results[0].err.find("l2.txt:"), std::string::npos) << results[0].err;
    }
}

// A run with many steps in flight, killed (SIGKILL) or stopped (SIGTERM, SIGINT) part-way:
// stopped, it ends by the signal with every file whole (its old text or its new one) and no
// hidden file left; either way --undo then leaves the tree exactly as before the run. Once
// with the journal on the share too, where it grows without a reservation (no fallocate), and
// once more on a share that gives each name a number of its own, as sshfs does.
TEST(ManyStepsAtOnce, KilledOrStoppedInFlightIsTakenBackWhole) {
    struct Case {
        int sig;
        bool stateOnShare;
        bool inodes;
    };
    for (const Case& c :
         {Case{SIGKILL, false, true}, Case{SIGTERM, false, true}, Case{SIGINT, false, true},
          Case{SIGKILL, true, true}, Case{SIGKILL, true, false}}) {
        const auto [sig, stateOnShare, inodes] = c;
        SCOPED_TRACE("signal " + std::to_string(sig) +
                     (stateOnShare ? ", journal on the share" : "") +
                     (inodes ? "" : ", no inode numbers"));
        test::DelayShare share(1000, inodes);
        seedShare(share.root);
        const std::size_t files = share.onFuse() ? 2000 : 30000;
        std::string list;
        for (int i = 0; i < 20; ++i) {
            list += "t/old/f" + std::to_string(i) + ">new " + std::to_string(i) + "\n";
        }
        for (std::size_t i = 0; i < files; ++i) {
            list += "t/new" + std::to_string(i % 50) + "/f" + std::to_string(i) + ">new " +
                    std::to_string(i) + "\n";
        }
        test::writeBytes(share.tmp / "l.txt", list);
        const std::string skip = stateOnShare ? "/.state" : "";
        const std::vector<std::string> before = treeOf(share.root, skip);
        const std::string state = stateOnShare ? share.root + skip : share.tmp / "state";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_STATE_HOME", state.c_str(), 1);
            if (::chdir(share.tmp.path().c_str()) != 0) {
                ::_exit(122);
            }
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(PELLATRIX_CLI_PATH, PELLATRIX_CLI_PATH, "--jobs=16", "l.txt",
                    static_cast<char*>(nullptr));
            ::_exit(121);
        }
        // Stopped once a good part is written, with steps still going.
        for (int wait = 0; wait < 2000; ++wait) {
            std::error_code ec;
            std::size_t made = 0;
            for (int folder = 0; folder < 50; folder += 7) {
                const std::string name = share.root + "/new" + std::to_string(folder);
                if (std::filesystem::exists(name, ec)) {
                    made += static_cast<std::size_t>(
                        std::distance(std::filesystem::directory_iterator(name, ec), {}));
                }
            }
            if (made * 50 / 8 > files / 10) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(::kill(pid, sig), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "it ran to its end before the signal: " << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        if (sig != SIGKILL) {
            for (const std::string& entry : treeOf(share.root, skip)) {
                SCOPED_TRACE(entry);
                EXPECT_EQ(entry.find(".pellatrix-"), std::string::npos);
                const std::size_t file = entry.find(" file ");
                if (file != std::string::npos && entry.rfind("/old/", 0) == 0) {
                    const std::string n = entry.substr(6, file - 6);
                    EXPECT_TRUE(entry.ends_with(" old " + n) || entry.ends_with(" new " + n));
                } else if (file != std::string::npos && entry.rfind("/new", 0) == 0) {
                    const std::string n =
                        entry.substr(entry.find("/f") + 2, file - entry.find("/f") - 2);
                    EXPECT_TRUE(entry.ends_with(" new " + n));
                }
            }
        }
        const char* saved = std::getenv("XDG_STATE_HOME");
        const std::string savedState = saved != nullptr ? saved : "";
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        CliResult undo = runCli({"--undo"}, share.tmp);
        if (saved != nullptr) {
            ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
        } else {
            ::unsetenv("XDG_STATE_HOME");
        }
        EXPECT_EQ(undo.exitCode, 0) << undo.err;
        EXPECT_EQ(treeOf(share.root, skip), before) << undo.out;
    }
}

}  // namespace
}  // namespace pellatrix
