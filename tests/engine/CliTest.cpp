#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
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
                 const std::string& input = {}, rlim_t fileSizeLimit = RLIM_INFINITY) {
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
        if (::signal(SIGXFSZ, SIG_DFL) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
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

TEST(Cli, UsageErrorsExitTwoWithAUsageMessage) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "t.txt", "");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--"},
        {"-x", "list.txt"},
        {"--textual", "list.txt"},
        {"--text"},
        {"--text-file"},
        {"--text", "a", "--text", "b", "list.txt"},
        {"--text", "a", "--text-file", tmp / "t.txt", "list.txt"},
        {"--text=a", "--text-file=" + tmp / "t.txt", "list.txt"},
        {"-", "-"},
        {"--text-file", "-", "-"},
        {"--text-file=-", "list.txt", "--", "-"},
        {"--undo", "list.txt"},
        {"--undo", "--list-runs"},
        {"--null", "list.txt"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        CliResult r = runCli(args, tmp);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Usage: pellatrix-cli [--text TEXT | --text-file FILE] LISTFILE..."),
                  std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists("list.txt"));
}

TEST(Cli, HelpAndVersion) {
    test::TempFolder tmp;
    CliResult help = runCli({"--help"}, tmp);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: pellatrix-cli", 0), 0u);
    EXPECT_EQ(help.err, "");
    CliResult version = runCli({"--version"}, tmp);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "pellatrix-cli 1.0.0\n");
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

TEST(Cli, FailuresGoToStandardErrorOneLineEachAndExitOne) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    test::writeBytes(tmp / "l.txt", out + "/ok.txt>fine\n" + out + "/\n");
    CliResult r = runCli({tmp / "missing\n\x1b[2J.txt", tmp / "l.txt"}, tmp);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "1 file written, 2 failures\nDone.\n");
    EXPECT_EQ(r.err, "pellatrix-cli: Cannot open '" + tmp / "missing\\n\\x1b[2J.txt" +
                         "' for reading: No such file or directory (error 53, line 124)\n"
                         "pellatrix-cli: Cannot open '" +
                         out + "/' for writing: Is a directory (error 75, line 216)\n");
    EXPECT_EQ(test::readBytes(out + "/ok.txt"), "fine");

    // A fixed-text file that cannot be read stops before anything is created.
    CliResult noText = runCli({"--text-file", tmp / "nope", tmp / "l.txt"}, tmp);
    EXPECT_EQ(noText.exitCode, 1);
    EXPECT_EQ(noText.out, "");
    EXPECT_EQ(noText.err.rfind("pellatrix-cli: Cannot open '" + tmp / "nope" + "' for reading", 0),
              0u)
        << noText.err;
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
              "pellatrix-cli: Cannot open 'l.txt' for writing: it is a list file of this run "
              "(error 70, line 216)\n");

    // So is the file of --text-file, also through a link.
    ASSERT_EQ(::symlink("l.txt", (tmp / "link").c_str()), 0);
    test::writeBytes(tmp / "l2.txt", "link\nl.txt\nother.txt\n");
    CliResult r = runCli({"--text-file", "l.txt", "l2.txt"}, tmp);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(test::readBytes(tmp / "l.txt"), list);
    EXPECT_EQ(test::readBytes(tmp / "other.txt"), list);
    EXPECT_EQ(r.err,
              "pellatrix-cli: Cannot open 'link' for writing: the run reads its text from "
              "it (error 70, line 212)\n"
              "pellatrix-cli: Cannot open 'l.txt' for writing: the run reads its text from "
              "it (error 70, line 212)\n");
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
    EXPECT_EQ(r.err, "pellatrix-cli: Cannot write '" + out +
                         "/big1.txt': File too large (error 61, line 216)\n"
                         "pellatrix-cli: Cannot write '" +
                         out + "/big2.txt': File too large (error 61, line 216)\n");
    EXPECT_EQ(test::readBytes(out + "/small.txt"), "ok");
    EXPECT_FALSE(std::filesystem::exists(out + "/big1.txt"));
    EXPECT_EQ(test::readBytes(out + "/big2.txt"), "old\0text"s);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 2);
}

// A preview reads the lists as a run does and writes nothing; with --null its lines end in NUL.
TEST(Cli, DryRunForeseesEachStepAndWritesNothing) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    test::writeBytes(out + "/old.txt", "old");
    test::writeBytes(out + "/file", "x");
    test::writeBytes(tmp / "l.txt", out + "/new/a.txt>1\n" + out + "/old.txt\n" + out +
                                        "/file/b.txt\n" + tmp / "l.txt\n" + out + "/new/\n" + out +
                                        "/new/a.txt\n\n" + out + "/c?d.txt\n");
    const std::vector<std::string> lines = {
        "fail " + tmp / "missing.txt" + ": Cannot open '" + tmp / "missing.txt" +
            "' for reading: No such file or directory",
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
    for (const char* option : {"--dry-run", "-n", "--null"}) {
        SCOPED_TRACE(option);
        const bool null = std::string(option) == "--null";
        std::vector<std::string> args = {option, tmp / "missing.txt", tmp / "l.txt"};
        if (null) {
            args.insert(args.begin(), "-n");
        }
        CliResult r = runCli(args, tmp);
        std::string expected;
        for (const std::string& line : lines) {
            expected += line + (null ? '\0' : '\n');
        }
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(std::filesystem::exists(out + "/new"));
        EXPECT_FALSE(std::filesystem::exists(out + "/cd.txt"));
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "old");
    }
}

// A run from the companion keeps a journal; --undo takes it back once, --list-runs shows it.
TEST(Cli, UndoTakesBackTheLastRunOnce) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    test::writeBytes(out + "/old.txt", "old");
    test::writeBytes(tmp / "l.txt", out + "/new/a.txt>1\n" + out + "/old.txt>2\n");
    const std::string state = tmp / "state";
    const char* before = std::getenv("XDG_STATE_HOME");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    CliResult run = runCli({tmp / "l.txt"}, tmp);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "2");

    CliResult listed = runCli({"--list-runs"}, tmp);
    EXPECT_EQ(listed.exitCode, 0);
    const std::string id = listed.out.substr(0, listed.out.find(' '));
    EXPECT_EQ(listed.out, id + "  complete  1 file created, 1 file replaced, 1 folder made\n");
    CliResult undo = runCli({"--undo"}, tmp);
    EXPECT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(undo.out, "Run " + id +
                            " undone: 1 file removed, 1 file put back, 1 folder removed, 0 "
                            "left alone\n");
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "old");
    EXPECT_FALSE(std::filesystem::exists(out + "/new"));

    CliResult again = runCli({"--undo"}, tmp);
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_EQ(again.err, "pellatrix-cli: cannot undo: there is no run to undo; nothing changed\n");
    CliResult same = runCli({"--undo=" + id}, tmp);
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_EQ(same.err, "pellatrix-cli: cannot undo " + id +
                            ": this run was undone before; nothing changed\n");
    EXPECT_EQ(runCli({"--list-runs"}, tmp).out,
              id + "  undone  1 file created, 1 file replaced, 1 folder made\n");
    if (before != nullptr) {
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

}  // namespace
}  // namespace pellatrix
