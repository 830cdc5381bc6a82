#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/journal/JournalFormat.h"
#include "tests/engine/DelayShare.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// One line of the companion's standard error for a failure of line `line` of list `list`.
std::string reported(const std::string& list, int line, const std::string& description,
                     int number) {
    return "pellatrix-cli: " + list + ":" + std::to_string(line) + ": " + description + " (error " +
           std::to_string(number) + ")\n";
}

struct Outcome {
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

struct Launch {
    std::string program;
    std::vector<std::string> args;
    Env env;  // PELLATRIX_FAULT_* settings; with any, the fault library is preloaded
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

// Starts `launch` with standard output and error going to files in `tmp`.
pid_t start(const Launch& launch, const test::TempFolder& tmp) {
    const std::string outPath = tmp / ".stdout";
    const std::string errPath = tmp / ".stderr";
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
            ::_exit(120);
        }
        if (!launch.env.empty()) {
            ::setenv("LD_PRELOAD", FAULT_SHIM_PATH, 1);
            // A sanitizer build wants its runtime first; the shim only wraps three calls.
            ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            for (const auto& [name, value] : launch.env) {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        // The program must ignore SIGXFSZ by itself: start it with the default action.
        ::signal(SIGXFSZ, SIG_DFL);
        if (launch.fileSizeLimit != RLIM_INFINITY) {
            rlimit limit{launch.fileSizeLimit, launch.fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                ::_exit(122);
            }
        }
        std::vector<std::string> copies = launch.args;
        std::vector<char*> argv{const_cast<char*>(launch.program.c_str())};
        for (std::string& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(launch.program.c_str(), argv.data());
        ::_exit(121);
    }
    return pid;
}

// Waits for `pid`, a bounded time: a program that hangs is killed and fails the test.
Outcome finish(pid_t pid, const test::TempFolder& tmp) {
    Outcome o;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "the program hung and was killed";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    o.exited = WIFEXITED(status);
    o.exitCode = o.exited ? WEXITSTATUS(status) : -1;
    o.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    o.out = test::readBytes(tmp / ".stdout");
    o.err = test::readBytes(tmp / ".stderr");
    return o;
}

// A file's bytes in a failure message: its size and first bytes, not a screenful.
std::string contentOf(const std::string& path) {
    const std::string bytes = test::readBytes(path);
    return std::to_string(bytes.size()) + " bytes \"" + bytes.substr(0, 40) + "\"";
}

std::string sized(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes \"" + bytes.substr(0, 40) + "\"";
}

Outcome run(const Launch& launch, const test::TempFolder& tmp) {
    return finish(start(launch, tmp), tmp);
}

Launch cli(std::vector<std::string> args, Env env = {}) {
    return {PELLATRIX_CLI_PATH, std::move(args), std::move(env)};
}

Launch fsCall(std::vector<std::string> args, Env env = {}) {
    return {FAULT_FS_CALL_PATH, std::move(args), std::move(env)};
}

Env fault(const std::string& call, const std::string& path, const std::string& err,
          const std::string& after = "0", const std::string& times = "-1") {
    return {{"PELLATRIX_FAULT_CALL", call},
            {"PELLATRIX_FAULT_PATH", path},
            {"PELLATRIX_FAULT_ERRNO", err},
            {"PELLATRIX_FAULT_AFTER", after},
            {"PELLATRIX_FAULT_TIMES", times}};
}

// Waits until the fault library's hold point has made its mark file `mark`, at most 30 s: woken
// by the folder's own notice of the new name, not by looking again and again.
bool waitForMark(const std::string& mark) {
    const std::filesystem::path path(mark);
    const int notices = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (notices < 0 ||
        ::inotify_add_watch(notices, path.parent_path().c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        ADD_FAILURE() << "cannot watch " << path.parent_path() << ": " << std::strerror(errno);
        if (notices >= 0) {
            ::close(notices);
        }
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool made = std::filesystem::exists(path);
    while (!made) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{notices, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        alignas(inotify_event) char drained[4096];
        while (::read(notices, drained, sizeof drained) > 0) {
        }
        made = std::filesystem::exists(path);
    }
    ::close(notices);
    return made;
}

// Whether the process `pid` noted a stop signal: its stop pipe, its only pipe, holds the
// handler's byte (looked at through a descriptor of its own, read from nothing).
bool stopNoted(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
        if (!std::filesystem::read_symlink(entry.path(), ec).string().starts_with("pipe:")) {
            continue;
        }
        const int pipe = ::open(entry.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int waiting = 0;
        const bool noted = pipe >= 0 && ::ioctl(pipe, FIONREAD, &waiting) == 0 && waiting > 0;
        if (pipe >= 0) {
            ::close(pipe);
        }
        if (noted) {
            return true;
        }
    }
    return false;
}

// Memory-backed where there is one, so the tests that write many files or large texts stay fast.
std::string fastBase() {
    return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "";
}

// The names in `folder` of the pattern a replacing write gives its temporary file.
std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const std::size_t mark = name.rfind(".pellatrix-");
        if (name[0] == '.' && mark != std::string::npos && mark + 17 == name.size()) {
            names.push_back(name);
        }
    }
    return names;
}

// A failing write, close or rename on the real adapter: the right number, an existing file
// keeping its old content byte for byte, a new one not left behind, no temporary file; in a real
// run the report at the write step and the next file still written.
struct FailedWrite {
    const char* call;
    const char* err;
    const char* after;
    int number;
    const char* text;
    // The target has a second name, so it is written in place: its old content is put back
    // (the driver keeps no journal and holds it; the companion's journal keeps a copy).
    bool linked = false;
};

void expectReportedAndUntouched(const FailedWrite& c) {
    SCOPED_TRACE(std::string(c.call) + " " + c.err + " after " + c.after +
                 (c.linked ? ", linked" : ""));
    const std::string text(100000, 'n');
    const std::string old = "old\0" + std::string(200000, 'o');
    test::TempFolder tmp;
    const std::string target = tmp / "target.txt";
    std::string expected = c.text;
    expected.replace(expected.find('%'), 1, target);
    const Env env = fault(c.call, "/target.txt", c.err, c.after);

    // A rename only ever replaces: a new file cannot fail there.
    if (std::string(c.call) != "rename") {
        Outcome fresh = run(fsCall({"write", target, std::to_string(text.size())}, env), tmp);
        EXPECT_EQ(fresh.out, std::to_string(c.number) + " " + expected + "\n") << fresh.err;
        EXPECT_FALSE(std::filesystem::exists(target));
    }
    test::writeBytes(target, old);
    if (c.linked) {
        std::filesystem::create_hard_link(target, tmp / "second.txt");
    }
    Outcome one = run(fsCall({"write", target, std::to_string(text.size())}, env), tmp);
    EXPECT_EQ(one.out, std::to_string(c.number) + " " + expected + "\n") << one.err;
    EXPECT_EQ(contentOf(target), sized(old));
    EXPECT_EQ(std::filesystem::hard_link_count(target), c.linked ? 2u : 1u);

    test::writeBytes(tmp / "text", text);
    test::writeBytes(tmp / "list.txt", tmp / "before.txt\n" + target + "\n" + tmp / "after.txt\n");
    Outcome r = run(cli({"--text-file", tmp / "text", tmp / "list.txt"}, env), tmp);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, reported(tmp / "list.txt", 2, expected, c.number));
    EXPECT_EQ(r.out, "2 files written, 1 failure\nDone.\n");
    EXPECT_EQ(contentOf(target), sized(old));
    EXPECT_EQ(std::filesystem::hard_link_count(target), c.linked ? 2u : 1u);
    EXPECT_EQ(contentOf(tmp / "before.txt"), sized(text));
    EXPECT_EQ(contentOf(tmp / "after.txt"), sized(text));
    EXPECT_EQ(temporariesIn(tmp.path()), std::vector<std::string>{});
}

TEST(FaultInjection, AFailedWriteIsReportedWithItsNumberAndLeavesTheOldContent) {
    const FailedWrite cases[] = {
        {"write", "ENOSPC", "4096", 61, "Cannot write '%': No space left on device"},
        {"write", "EDQUOT", "4096", 61, "Cannot write '%': Disk quota exceeded"},
        {"write", "EIO", "4096", 75, "Cannot write '%': Input/output error"},
        {"write", "ENOSPC", "0", 61, "Cannot write '%': No space left on device"},
        // A close that fails may have lost what the write handed over: a failed write too.
        {"close", "EIO", "0", 75, "Cannot write '%': Input/output error"},
        {"rename", "EIO", "0", 75, "Cannot open '%' for writing: Input/output error"},
        {"write", "ENOSPC", "4096", 61, "Cannot write '%': No space left on device", true},
        {"write", "EIO", "0", 75, "Cannot write '%': Input/output error", true},
        {"close", "EIO", "0", 75, "Cannot write '%': Input/output error", true},
    };
    for (const FailedWrite& c : cases) {
        expectReportedAndUntouched(c);
    }
}

// A temporary file is made exclusively: a symbolic link put where it is to be made, as a
// hostile user racing for the name would, is neither followed nor replaced, and the write
// takes another name.
TEST(FaultInjection, ATemporaryFileIsMadeExclusively) {
    test::TempFolder tmp;
    const std::string target = tmp / "target.txt";
    test::writeBytes(target, "old");
    test::writeBytes(tmp / "victim", "not yours");
    Env env = fault("openat", "/target.txt", "PLANT", "0", "1");
    env.emplace_back("PELLATRIX_FAULT_MARK", tmp / "victim");
    Outcome one = run(fsCall({"write", target, "100"}, env), tmp);
    EXPECT_EQ(one.out, "ok\n") << one.err;
    EXPECT_EQ(test::readBytes(target), std::string(100, 'x'));
    EXPECT_FALSE(std::filesystem::is_symlink(target));
    EXPECT_EQ(test::readBytes(tmp / "victim"), "not yours");
    const std::vector<std::string> planted = temporariesIn(tmp.path());
    ASSERT_EQ(planted.size(), 1u);
    EXPECT_TRUE(std::filesystem::is_symlink(tmp / planted[0]));
}

// An interrupted write is retried where it stopped, also after a short write: nothing is
// reported and the file holds all of its text.
TEST(FaultInjection, AnInterruptedWriteIsRetried) {
    for (const char* after : {"0", "4096"}) {
        SCOPED_TRACE(after);
        test::TempFolder tmp;
        const std::string target = tmp / "target.txt";
        const Env env = fault("write", "/target.txt", "EINTR", after, "3");
        Outcome one = run(fsCall({"write", target, "100000"}, env), tmp);
        EXPECT_EQ(one.out, "ok\n") << one.err;
        EXPECT_EQ(contentOf(target), sized(std::string(100000, 'x')));

        test::writeBytes(tmp / "list.txt", target + ">" + std::string(50000, 'p') + "\n");
        Outcome r = run(cli({tmp / "list.txt"}, env), tmp);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(contentOf(target), sized(std::string(50000, 'p')));
    }
}

// A full disk while the folders are made: the folder step reports nothing itself, the file in
// that folder is reported at its write step as a missing folder, and the other files are made.
TEST(FaultInjection, AFullDiskDuringFolderCreationFailsOnlyThatFolder) {
    test::TempFolder tmp;
    const std::string folder = tmp / "newfolder1";
    const Env env = fault("mkdir", "/newfolder1", "ENOSPC");
    Outcome one = run(fsCall({"mkdir", folder}, env), tmp);
    EXPECT_EQ(one.out, "61 Cannot create folder '" + folder + "': No space left on device\n");
    EXPECT_FALSE(std::filesystem::exists(folder));

    test::writeBytes(tmp / "list.txt",
                     folder + "/deeper/out.txt\n" + tmp / "newfolder2/this.txt\n");
    Outcome r = run(cli({"--text", "fixed", tmp / "list.txt"}, env), tmp);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, reported(tmp / "list.txt", 1,
                              "Cannot open '" + folder +
                                  "/deeper/out.txt' for writing: No such file or directory",
                              76));
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(contentOf(tmp / "newfolder2/this.txt"), sized("fixed"));
}

// Under a file-size limit the program is not killed: each file over the limit is reported as a
// full disk, a new one is not left behind, an existing one keeps its old text, and the run goes
// on.
TEST(FaultInjection, AFileSizeLimitIsAReportedFailure) {
    test::TempFolder tmp;
    Launch one = fsCall({"write", tmp / "big.txt", "20000"});
    one.fileSizeLimit = 8192;
    Outcome o = run(one, tmp);
    EXPECT_TRUE(o.exited) << "signal " << o.signal;
    EXPECT_EQ(o.out, "61 Cannot write '" + tmp / "big.txt" + "': File too large\n");
    EXPECT_FALSE(std::filesystem::exists(tmp / "big.txt"));

    const std::string big(20000, 'b');
    test::writeBytes(tmp / "big2.txt", "old text");
    test::writeBytes(tmp / "list.txt", tmp / "big1.txt>" + big + "\n" + tmp / "small.txt>hello\n" +
                                           tmp / "big2.txt>" + big + "\n");
    // Tried again and again with the journal beside the files: the failed replace left no
    // second name of big2.txt, so each try replaces it whole or not at all.
    Launch l = cli({tmp / "list.txt"}, {{"XDG_STATE_HOME", tmp / "state"}});
    l.fileSizeLimit = 8192;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        Outcome r = run(l, tmp);
        ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err,
                  reported(tmp / "list.txt", 1,
                           "Cannot write '" + tmp / "big1.txt" + "': File too large", 61) +
                      reported(tmp / "list.txt", 3,
                               "Cannot write '" + tmp / "big2.txt" + "': File too large", 61));
        EXPECT_EQ(r.out, "1 file written, 2 failures\nDone.\n");
        EXPECT_FALSE(std::filesystem::exists(tmp / "big1.txt"));
        EXPECT_EQ(contentOf(tmp / "small.txt"), sized("hello"));
        EXPECT_EQ(contentOf(tmp / "big2.txt"), sized("old text"));
        EXPECT_EQ(std::filesystem::hard_link_count(tmp / "big2.txt"), 1u);
        EXPECT_EQ(temporariesIn(tmp.path()), std::vector<std::string>{});
    }
}

// A full disk, tried three times, with the journal on the same small file system (a tmpfs of
// its own, mounted in a mount namespace): the target keeps its content, identity and link
// count each time; a file with a second name, whose old content the full disk leaves no room
// to copy, has it put back, and the run says once that it could not keep it.
TEST(FaultInjection, AFullDiskTriedAgainLeavesTheTargetAsItWas) {
    const std::string script = R"sh(
        d=$1 cli=$2 text=$3
        mount -t tmpfs -o size=1m none "$d" || exit 90
        echo mounted
        yes o | head -c 20000 > "$d/doc"
        [ "$4" = linked ] && ln "$d/doc" "$d/second"
        printf '%s\n' "$d/doc" > "$d/list.txt"
        mkdir "$d/state"
        free=$(df --output=avail -B1 "$d" | tail -1)
        head -c $((free - 16384)) /dev/zero > "$d/fill" 2>/dev/null
        echo "$(stat -c '%i %h %s' "$d/doc")"
        for try in 1 2 3; do
            XDG_STATE_HOME=$d/state "$cli" --text-file "$text" "$d/list.txt" >/dev/null
            echo "$? $(stat -c '%i %h %s' "$d/doc") $(yes o | head -c 20000 | cmp -s - "$d/doc" && echo same)"
        done)sh";
    test::TempFolder tmp;
    test::writeBytes(tmp / "text", std::string(40000, 'n'));
    std::filesystem::create_directory(tmp / "small");
    for (const char* variant : {"single", "linked"}) {
        SCOPED_TRACE(variant);
        Outcome r = run({"/usr/bin/unshare",
                         {"-rm", "sh", "-c", script, "sh", tmp / "small", PELLATRIX_CLI_PATH,
                          tmp / "text", variant},
                         {}},
                        tmp);
        if (r.out.rfind("mounted\n", 0) != 0) {
            GTEST_SKIP() << "no mount namespace here: " << r.err;
        }
        std::vector<std::string> lines;
        for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos;
             at = end + 1) {
            lines.push_back(r.out.substr(at, end - at));
        }
        ASSERT_EQ(lines.size(), 5u) << r.out << r.err;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            EXPECT_EQ(lines[1 + attempt], "1 " + lines[1] + " same") << "try " << attempt;
        }
        const std::string notKept = "' is not kept (No space left on device)";
        EXPECT_EQ(r.err.find(notKept) != std::string::npos, variant == std::string("linked"))
            << r.err;
    }
}

// A run stopped part-way loses nothing: every file that existed holds its old text or its whole
// new one, never empty or cut short, whatever the size of the text. SIGINT and SIGTERM take back
// the file in progress (no temporary file, no new file half written) and end the run by the
// same signal; SIGKILL may leave one temporary file, which the next run in that folder clears
// away. A second run then completes them all.
class KilledRun : public testing::Test {
protected:
    static constexpr int kFiles = 400;

    std::string target(int i) const { return tmp / ("t" + std::to_string(i) + ".txt"); }
    static std::string newText(int i) { return "new text of file " + std::to_string(i); }
    static std::string oldText(int i) {
        return "the old text of file " + std::to_string(i) + ", longer than the new one";
    }

    void SetUp() override {
        std::string list;
        for (int i = 0; i < kFiles; ++i) {
            list += target(i) + ">" + newText(i) + "\n";
        }
        test::writeBytes(tmp / "list.txt", list);
    }

    void writeOldTexts() {
        for (int i = 0; i < kFiles; ++i) {
            test::writeBytes(target(i), oldText(i));
        }
    }

    // The state of every target: 'n' new, 'o' old, 'e' empty, '-' missing, '?' anything else.
    std::string states() const {
        std::string out;
        for (int i = 0; i < kFiles; ++i) {
            const std::string bytes = test::readBytes(target(i));
            out += bytes == newText(i)                   ? 'n'
                   : bytes == oldText(i)                 ? 'o'
                   : !std::filesystem::exists(target(i)) ? '-'
                   : bytes.empty()                       ? 'e'
                                                         : '?';
        }
        return out;
    }

    void secondRunCompletesThemAll() {
        // Past the file system's clock tick, so a temporary file left by a kill is older.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Outcome again = run(cli({tmp / "list.txt"}, ownState()), tmp);
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_EQ(states(), std::string(kFiles, 'n'));
        EXPECT_EQ(temporariesIn(tmp.path()), std::vector<std::string>{});
    }

    // The state folder of this fixture's runs: the next run finds the journal of the killed one,
    // whatever other tests run meanwhile.
    Env ownState() const { return {{"XDG_STATE_HOME", tmp / "state"}}; }

    // Starts a run that stalls inside the write of file `stalled`, and waits until it is there.
    pid_t startStalledAt(int stalled, Env env = {}) {
        return startHeld(fault("write", "/t" + std::to_string(stalled) + ".txt", "STALL"), env);
    }

    // Starts a run of `list` under the fault `all` (STALL or PAUSE), and waits until it waits.
    pid_t startHeld(Env all, const Env& env, const std::string& list = "list.txt") {
        std::filesystem::remove(tmp / ".stalled");
        all.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".stalled");
        all.push_back(ownState().front());
        all.insert(all.end(), env.begin(), env.end());
        const pid_t pid = start(cli({tmp / list}, all), tmp);
        EXPECT_TRUE(waitForMark(tmp / ".stalled"));
        return pid;
    }

    test::TempFolder tmp{fastBase()};
};

// Each stop but SIGKILL comes twice: the first leaves no second name of the file (the journal
// is beside the files, where it keeps old files by a link), so the second run replaces it whole
// or not at all again. A file with a second name is written in place and gets its old content
// back.
TEST_F(KilledRun, StoppedWhileWritingOneFile) {
    const int stalled = kFiles / 2;
    const Env state = ownState();
    for (int sig : {SIGKILL, SIGINT, SIGTERM, SIGHUP}) {
        for (const char* kind : {"existing", "new", "linked"}) {
            const bool existed = kind != std::string("new");
            const bool linked = kind == std::string("linked");
            if (sig == SIGKILL && linked) {
                continue;  // may be left part-written; the undo puts it back
            }
            SCOPED_TRACE(std::string(strsignal(sig)) + ", " + kind + " file");
            writeOldTexts();
            std::filesystem::remove(tmp / "second.txt");
            if (!existed) {
                std::filesystem::remove(target(stalled));
            }
            if (linked) {
                std::filesystem::create_hard_link(target(stalled), tmp / "second.txt");
            }
            for (int time = 1; time <= (sig == SIGKILL ? 1 : 2); ++time) {
                SCOPED_TRACE(time);
                const pid_t pid = startStalledAt(stalled, state);
                ASSERT_TRUE(std::filesystem::exists(tmp / ".stalled"));
                ::kill(pid, sig);
                Outcome killed = finish(pid, tmp);
                EXPECT_EQ(killed.signal, sig);
                const char inProgress = existed ? 'o' : sig == SIGKILL ? 'e' : '-';
                EXPECT_EQ(states(), std::string(stalled, 'n') + inProgress +
                                        std::string(kFiles - stalled - 1, 'o'));
                if (existed) {
                    EXPECT_EQ(std::filesystem::hard_link_count(target(stalled)), linked ? 2u : 1u);
                }
                EXPECT_EQ(temporariesIn(tmp.path()).size(), sig == SIGKILL && existed ? 1u : 0u);
            }
            secondRunCompletesThemAll();
        }
    }
}

// Without a journal nothing would ever remove a hidden file a kill left: the new text has no
// name until it is whole, so a run killed while writing leaves the file as it was and nothing
// beside it.
TEST_F(KilledRun, KilledWithoutAJournalLeavesNoHiddenFile) {
    writeOldTexts();
    test::writeBytes(tmp / "one.txt", target(0) + ">" + newText(0) + "\n");
    std::filesystem::remove(tmp / ".stalled");
    Env env = fault("write", "/t0.txt", "STALL");
    env.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".stalled");
    const pid_t pid = start(cli({"--no-journal", tmp / "one.txt"}, env), tmp);
    EXPECT_TRUE(waitForMark(tmp / ".stalled"));
    ::kill(pid, SIGKILL);
    EXPECT_EQ(finish(pid, tmp).signal, SIGKILL);
    EXPECT_EQ(test::readBytes(target(0)), oldText(0));
    EXPECT_EQ(temporariesIn(tmp.path()), std::vector<std::string>{});
}

// With many steps at once, a stop still tells every step that finished, in the list's order, as
// a run one step at a time tells them: the step held at its rename (past its last look for a
// stop), and the steps before and after it that finished; a step the stop took back is not.
TEST_F(KilledRun, StoppedWithManyStepsTellsWhatWasDoneInOrder) {
    const int held = kFiles / 2;
    writeOldTexts();
    std::filesystem::remove(tmp / ".stalled");
    Env env = fault("rename", "/t" + std::to_string(held) + ".txt", "HOLD");
    env.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".stalled");
    env.emplace_back("PELLATRIX_FAULT_RELEASE", tmp / ".release");
    env.push_back(ownState().front());
    const pid_t pid = start(cli({"--jobs=4", "--verbose", tmp / "list.txt"}, env), tmp);
    EXPECT_TRUE(waitForMark(tmp / ".stalled"));
    ::kill(pid, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // Let go only once the run noted the signal (a stop that comes when no step is writing
    // ends the run at once, which is another case): its handler's byte is in its stop pipe.
    while (!stopNoted(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    test::writeBytes(tmp / ".release", "");
    const Outcome stopped = finish(pid, tmp);
    std::filesystem::remove(tmp / ".release");
    EXPECT_EQ(stopped.signal, SIGINT);
    // Told: every file written, none other, in the list's order; the held one among them, as
    // it was past its last look for a stop.
    const std::string seen = states();
    std::string told;
    for (int i = 0; i < kFiles; ++i) {
        told += seen[static_cast<std::size_t>(i)] == 'n' ? "replaced " + target(i) + "\n" : "";
    }
    EXPECT_EQ(seen[held], 'n') << seen;
    EXPECT_TRUE(stopped.out == told)
        << stopped.out.size() << " bytes told of " << told.size() << "\n"
        << seen;
    secondRunCompletesThemAll();
}

TEST_F(KilledRun, KilledAtAnyMoment) {
    for (int sig : {SIGKILL, SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        // Stopped as soon as the first file is new, wherever the run then is. A run that got
        // to its end before the signal came is tried again.
        Outcome stopped;
        for (int attempt = 0; attempt < 20 && (attempt == 0 || stopped.signal == 0); ++attempt) {
            writeOldTexts();
            const pid_t pid = start(cli({tmp / "list.txt"}, ownState()), tmp);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (test::readBytes(target(0)) != newText(0) &&
                   std::chrono::steady_clock::now() < deadline) {
            }
            ::kill(pid, sig);
            stopped = finish(pid, tmp);
        }
        const std::string seen = states();
        // Old or new, in order: the finished files, then the untouched ones.
        EXPECT_EQ(seen.find_first_not_of("no"), std::string::npos) << seen;
        const std::size_t firstOld = seen.find('o');
        const std::size_t lastNew = seen.rfind('n');
        EXPECT_TRUE(firstOld == std::string::npos || lastNew == std::string::npos ||
                    lastNew < firstOld)
            << seen;
        if (sig != SIGKILL) {
            // Ended by the same signal, so a calling shell sees 128 + N and stops too.
            EXPECT_EQ(stopped.signal, sig);
            EXPECT_EQ(temporariesIn(tmp.path()), std::vector<std::string>{});
        }
        EXPECT_LE(temporariesIn(tmp.path()).size(), 1u);
        secondRunCompletesThemAll();
    }
}

// A run killed part-way is taken back by the undo: the files it replaced hold their old text
// again, and the files it made are gone, the one it was filling at the kill too.
TEST_F(KilledRun, AKilledRunIsUndone) {
    for (int stalled : {kFiles / 2, kFiles / 2 + 1}) {
        SCOPED_TRACE(stalled % 2 == 0 ? "killed while replacing" : "killed while creating");
        writeOldTexts();
        for (int i = 1; i < kFiles; i += 2) {
            std::filesystem::remove(target(i));
        }
        std::filesystem::remove_all(tmp / "state");
        const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
        const pid_t pid = startStalledAt(stalled, {state});
        ASSERT_TRUE(std::filesystem::exists(tmp / ".stalled"));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(finish(pid, tmp).signal, SIGKILL);
        EXPECT_NE(run(cli({"--list-runs"}, {state}), tmp).out.find("  ended early  "),
                  std::string::npos);

        Outcome undo = run(cli({"--undo"}, {state}), tmp);
        EXPECT_EQ(undo.exitCode, 0) << undo.out << undo.err;
        std::string expected;
        for (int i = 0; i < kFiles; ++i) {
            expected += i % 2 == 0 ? 'o' : '-';
        }
        EXPECT_EQ(states(), expected);
    }
}

// A run killed right after any step it records (a folder, a new file or a hidden file made,
// before the journal confirms it; its journal made, before anything is in it) is undone whole:
// nothing it made stays, the files it replaced are old again, and hidden files that merely look
// like its own stay, through the undo and the next run.
TEST_F(KilledRun, KilledAfterEachRecordedStepIsUndoneWhole) {
    struct Case {
        const char* step;
        Env held;
        const char* list;
        bool userMakesIt = false;  // the user makes the file the run announced, after the kill
    };
    const std::vector<Case> cases = {
        {"folder made", fault("mkdir", "/deeper", "PAUSE"), "folders.txt"},
        {"new file announced, then made by the user", fault("openat", "/t201.txt", "STALL"),
         "list.txt", true},
        {"new file made", fault("openat", "/t201.txt", "PAUSE"), "list.txt"},
        {"hidden file made", fault("openat", "/t200.txt", "PAUSE"), "list.txt"},
        {"journal made", fault("openat", "/journal", "PAUSE"), "list.txt"},
        {"run folder made", fault("mkdirat", "", "PAUSE"), "list.txt"},
        {"old file kept", fault("rename", "/t200.txt", "HOLD"), "list.txt"},
    };
    const auto startedOnly = [](const Case& c) {
        return c.step == std::string("journal made") || c.step == std::string("run folder made");
    };
    const std::vector<std::string> lookAlikes = {".notes.pellatrix-backup",
                                                 ".t200.txt.pellatrix-Ab12Cd"};
    test::writeBytes(tmp / "folders.txt", tmp / "made/deeper/x.txt>X\n");
    const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
    std::string expected;
    for (int i = 0; i < kFiles; ++i) {
        expected += i % 2 == 0 ? 'o' : '-';
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        writeOldTexts();
        for (int i = 1; i < kFiles; i += 2) {
            std::filesystem::remove(target(i));
        }
        for (const std::string& name : lookAlikes) {
            test::writeBytes(tmp / name, "user's");
        }
        std::filesystem::remove_all(tmp / "state");
        std::filesystem::remove(tmp / "earlier");
        // An earlier run, which the undo of a run killed at its start takes back instead.
        test::writeBytes(tmp / "earlier.txt", tmp / "earlier>E\n");
        ASSERT_EQ(run(cli({tmp / "earlier.txt"}, {state}), tmp).exitCode, 0);

        const pid_t pid = startHeld(c.held, {state}, c.list);
        ASSERT_TRUE(std::filesystem::exists(tmp / ".stalled"));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(finish(pid, tmp).signal, SIGKILL);
        if (c.userMakesIt) {
            // A while after, as a person would: the name is the user's now.
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            test::writeBytes(target(201), "");
        }
        Outcome undo = run(cli({"--undo"}, {state}), tmp);
        EXPECT_EQ(undo.exitCode, c.userMakesIt ? 1 : 0) << undo.out << undo.err;
        EXPECT_EQ(states(),
                  c.userMakesIt ? expected.substr(0, 201) + 'e' + expected.substr(202) : expected);
        EXPECT_FALSE(std::filesystem::exists(tmp / "made"));
        std::vector<std::string> hidden = temporariesIn(tmp.path());
        std::sort(hidden.begin(), hidden.end());
        EXPECT_EQ(hidden, lookAlikes);
        EXPECT_EQ(std::filesystem::exists(tmp / "earlier"), !startedOnly(c)) << undo.out;
        // No file keeps a second name in the killed run's folder: the next run replaces it.
        for (int i = 0; i < kFiles; i += 2) {
            struct stat st {};
            EXPECT_TRUE(::stat(target(i).c_str(), &st) == 0 && st.st_nlink == 1) << target(i);
        }

        Outcome again = run(cli({tmp / "list.txt"}, {state}), tmp);
        EXPECT_EQ(again.exitCode, 0) << again.err;
        for (const std::string& name : lookAlikes) {
            EXPECT_EQ(test::readBytes(tmp / name), "user's") << name;
        }
        // The killed run's empty journal was dropped: the earlier run and the last one are kept.
        EXPECT_EQ(
            std::distance(std::filesystem::directory_iterator(tmp / "state/pellatrix/runs"), {}),
            startedOnly(c) ? 2 : 3);
    }
}

// Killed right after each call that can change a file system, in turn, one step at a time and
// with several: the undo then gives back the exact tree (contents, modes, owners, links), with no
// hidden file left and nothing that blocks it. A kill before the run's journal has a record
// leaves nothing to undo and nothing changed.
TEST_F(KilledRun, KilledAfterEveryCallTheUndoGivesBackTheExactTree) {
    // On a memory file system, and on a share that gives each name a number of its own.
    for (const bool onShare : {false, true}) {
        std::optional<test::DelayShare> share;
        if (onShare && !share.emplace(0, false).onFuse()) {
            continue;
        }
        SCOPED_TRACE(onShare ? "on a share without inode numbers" : "on a memory file system");
        const std::string base = onShare ? share->root : tmp.path();
        const std::string tree = base + "/tree";
        // Trees made ahead, in batches, and each moved in place for one run: a file made within a
        // clock tick before a run may be the run's for all its undo can tell.
        std::vector<std::string> spare;
        const auto makeTree = [&] {
            if (spare.empty()) {
                for (int i = 0; i < 40; ++i) {
                    const std::string made = base + "/spare" + std::to_string(i);
                    std::filesystem::remove_all(made);
                    std::filesystem::create_directory(made);
                    test::writeBytes(made + "/a.txt", "old a");
                    ::chmod((made + "/a.txt").c_str(), 0640);
                    test::writeBytes(made + "/h.txt", "old h");
                    std::filesystem::create_hard_link(made + "/h.txt", made + "/h2.txt");
                    test::writeBytes(made + "/keep.txt", "keep");
                    spare.push_back(made);
                }
                // Until the clock has passed the undo's margin after the newest of them (by its
                // own stamp): none is then a file a run could have made.
                struct stat newest {};
                ::lstat((spare.back() + "/keep.txt").c_str(), &newest);
                std::this_thread::sleep_until(std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::seconds(newest.st_ctim.tv_sec) +
                        std::chrono::nanoseconds(newest.st_ctim.tv_nsec + journal::kStampLagNs))));
            }
            std::filesystem::remove_all(tree);
            std::filesystem::rename(spare.back(), tree);
            spare.pop_back();
        };
        // Every entry under the tree: its name, kind, mode, owner, links and content.
        const auto snapshot = [&] {
            std::vector<std::string> entries;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
                struct stat st {};
                ::lstat(entry.path().c_str(), &st);
                entries.push_back(entry.path().lexically_relative(tree).string() + " " +
                                  std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) +
                                  ":" + std::to_string(st.st_gid) + " " +
                                  std::to_string(st.st_nlink) + " " +
                                  (S_ISREG(st.st_mode) ? test::readBytes(entry.path()) : ""));
            }
            std::sort(entries.begin(), entries.end());
            std::string out;
            for (const std::string& e : entries) {
                out += e + "\n";
            }
            return out;
        };
        test::writeBytes(tmp / "sweep.txt", tree + "/a.txt>A\n" + tree + "/b.txt>B\n" + tree +
                                                "/sub/c.txt>C\n" + tree + "/h.txt>H\n" + tree +
                                                "/a.txt>A2\n");
        const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
        // Without a journal there is no undo, and a kill can leave only what no run could help: a
        // new file not yet filled, a file written in place emptied (its old text is kept nowhere),
        // and one hidden file: in the instant between naming the whole new text and renaming it,
        // or, where the file system has no unnamed files (the share), while it is written.
        const auto killedWithoutJournal = [&] {
            const std::map<std::string, std::vector<std::string>> allowed = {
                {"a.txt", {"old a", "A", "A2"}}, {"b.txt", {"", "B"}},
                {"h.txt", {"old h", "H", ""}},   {"h2.txt", {"old h", "H", ""}},
                {"keep.txt", {"keep"}},          {"sub/c.txt", {"", "C"}}};
            std::string wrong;
            int hidden = 0;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
                const std::string name = entry.path().lexically_relative(tree).string();
                const std::string bytes = entry.is_directory() ? "" : test::readBytes(entry.path());
                const auto known = allowed.find(name);
                if (entry.is_directory() ||
                    (known != allowed.end() &&
                     std::count(known->second.begin(), known->second.end(), bytes) != 0)) {
                    continue;
                }
                if (name.starts_with(".a.txt.pellatrix-") && std::string("A2").starts_with(bytes) &&
                    ++hidden == 1) {
                    continue;
                }
                wrong += name + " ";
            }
            return wrong;
        };
        for (const char* mode : {"--jobs=1", "--jobs=4", "--no-journal"}) {
            SCOPED_TRACE(mode);
            const bool journal = mode != std::string("--no-journal");
            bool ranToItsEnd = false;
            for (int n = 1; n < 1000 && !ranToItsEnd; ++n) {
                makeTree();
                std::filesystem::remove_all(tmp / "state");
                const std::string before = snapshot();
                const Outcome killed =
                    run(cli({mode, tmp / "sweep.txt"},
                            {state, {"PELLATRIX_FAULT_KILL_AFTER", std::to_string(n)}}),
                        tmp);
                if (killed.signal != SIGKILL) {
                    ranToItsEnd = true;
                    EXPECT_EQ(killed.exitCode, 0) << killed.err;
                    EXPECT_NE(snapshot(), before);
                    continue;
                }
                if (!journal) {
                    EXPECT_EQ(killedWithoutJournal(), "") << "killed after call " << n;
                    continue;
                }
                const Outcome undo = run(cli({"--undo"}, {state}), tmp);
                EXPECT_TRUE(undo.exitCode == 0 ||
                            undo.err.find("there is no run to undo") != std::string::npos)
                    << "killed after call " << n << ":\n"
                    << undo.out << undo.err;
                EXPECT_EQ(snapshot(), before) << "killed after call " << n << ":\n"
                                              << undo.out << undo.err;
            }
            EXPECT_TRUE(ranToItsEnd);
        }
    }
}

// The kernel ends a large write early on a fatal signal: the file being replaced still holds
// its old text, and a new one is whole or gone (SIGKILL: whole or not yet renamed in place).
TEST_F(KilledRun, ALargeTextIsOldOrWholeWhateverStopsIt) {
    test::TempFolder shm(fastBase());
    const std::string text(std::size_t{64} << 20, 'N');
    test::writeBytes(shm / "text", text);
    test::writeBytes(shm / "list.txt", shm / "old.txt\n" + shm / "new.txt\n");
    const auto size = [](const std::string& path) -> long long {
        std::error_code ec;
        auto n = std::filesystem::file_size(path, ec);
        return ec ? -1 : static_cast<long long>(n);
    };
    for (int sig : {SIGKILL, SIGINT, SIGTERM}) {
        for (bool whileCreating : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (whileCreating ? ", new file" : ", old"));
            // A run may finish the whole text between the look that saw part of it and the
            // signal, or before any look: such a run proves nothing and is tried again.
            Outcome stopped;
            for (int attempt = 0; attempt < 50 && stopped.signal != sig; ++attempt) {
                test::writeBytes(shm / "old.txt", "old");
                std::filesystem::remove(shm / "new.txt");
                for (const std::string& name : temporariesIn(shm.path())) {
                    std::filesystem::remove(shm / name);
                }
                const pid_t pid = start(cli({"--text-file", shm / "text", shm / "list.txt"}), shm);
                // Until part of the text is in the file being made.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                bool partWritten = false;
                siginfo_t info{};
                while (!partWritten && std::chrono::steady_clock::now() < deadline &&
                       ::waitid(P_PID, static_cast<id_t>(pid), &info,
                                WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       info.si_pid == 0) {
                    if (whileCreating) {
                        partWritten = size(shm / "new.txt") > 0;
                    } else {
                        for (const std::string& name : temporariesIn(shm.path())) {
                            partWritten = partWritten || size(shm / name) > 0;
                        }
                    }
                }
                if (partWritten) {
                    ::kill(pid, sig);
                }
                stopped = finish(pid, shm);
            }
            ASSERT_EQ(stopped.signal, sig) << "no run was still writing when the signal came";
            const std::string old = test::readBytes(shm / "old.txt");
            EXPECT_TRUE(old == "old" || old == text) << old.size() << " bytes";
            const long long created = size(shm / "new.txt");
            if (sig != SIGKILL) {
                EXPECT_TRUE(created == -1 || created == static_cast<long long>(text.size()))
                    << created;
                EXPECT_EQ(temporariesIn(shm.path()), std::vector<std::string>{});
            }
        }
    }
}

// Two runs over the same files at once: each file holds one run's whole text (emptying then
// writing would leave one run's short text over the other's longer one), and neither run
// reports a failure.
TEST(TwoRuns, EachFileHoldsOneRunsWholeText) {
    test::TempFolder shm(fastBase());
    test::TempFolder other(shm.path());
    constexpr int kFiles = 2000;
    const std::string a(100, 'a');
    const std::string b(10, 'b');
    test::writeBytes(shm / "a", a);
    test::writeBytes(shm / "b", b);
    std::string list;
    for (int i = 0; i < kFiles; ++i) {
        list += shm / ("f" + std::to_string(i)) + "\n";
    }
    test::writeBytes(shm / "list.txt", list);
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < kFiles; ++i) {
            test::writeBytes(shm / ("f" + std::to_string(i)), "old");
        }
        const pid_t first = start(cli({"--text-file", shm / "a", shm / "list.txt"}), shm);
        const pid_t second = start(cli({"--text-file", shm / "b", shm / "list.txt"}), other);
        Outcome one = finish(first, shm);
        Outcome two = finish(second, other);
        EXPECT_EQ(one.err + two.err, "");
        EXPECT_EQ(one.exitCode + two.exitCode, 0);
        int mixed = 0;
        for (int i = 0; i < kFiles; ++i) {
            const std::string bytes = test::readBytes(shm / ("f" + std::to_string(i)));
            mixed += bytes == a || bytes == b ? 0 : 1;
        }
        ASSERT_EQ(mixed, 0) << "round " << round;
    }
    EXPECT_EQ(temporariesIn(shm.path()), std::vector<std::string>{});
}

// The undo acts in the folder it checked: one swapped for a link while the undo holds between
// its look at a file and its removal leaves the file the link reaches alone, and is named.
TEST(Undo, AFolderSwappedForALinkBetweenCheckAndActIsLeftAlone) {
    test::TempFolder tmp;
    const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
    std::filesystem::create_directories(tmp / "victim");
    test::writeBytes(tmp / "victim/a.txt", "the user's");
    test::writeBytes(tmp / "list.txt", tmp / "out/new/a.txt>A\n");
    ASSERT_EQ(run(cli({tmp / "list.txt"}, {state}), tmp).exitCode, 0);

    Env env = fault("unlink", "/a.txt", "HOLD");
    env.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".held");
    env.push_back(state);
    const pid_t pid = start(cli({"--undo"}, env), tmp);
    ASSERT_TRUE(waitForMark(tmp / ".held"));
    std::filesystem::rename(tmp / "out/new", tmp / "out/moved");
    std::filesystem::create_directory_symlink(tmp / "victim", tmp / "out/new");
    std::filesystem::remove(tmp / ".held");
    Outcome undo = finish(pid, tmp);

    EXPECT_EQ(test::readBytes(tmp / "victim/a.txt"), "the user's");
    EXPECT_FALSE(std::filesystem::exists(tmp / "out/moved/a.txt"));
    EXPECT_EQ(undo.exitCode, 1) << undo.err;
    EXPECT_NE(undo.out.find("left alone: " + tmp / "out/new: replaced since the run\n"),
              std::string::npos)
        << undo.out;
}

// A file another program renames over the target while the run writes its new text is what the
// run's rename takes away and its link keeps; the journal describes the file looked up, so the
// undo leaves the name alone and says so rather than put back a file it cannot vouch for.
TEST(Undo, AFileReplacedWhileTheRunWritesIsLeftAloneByTheUndo) {
    test::TempFolder tmp;
    const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
    test::writeBytes(tmp / "target.txt", "old");
    test::writeBytes(tmp / "list.txt", tmp / "target.txt>new\n");
    Env env = fault("write", "/target.txt", "HOLD");
    env.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".held");
    env.push_back(state);
    const pid_t pid = start(cli({tmp / "list.txt"}, env), tmp);
    ASSERT_TRUE(waitForMark(tmp / ".held"));
    test::writeBytes(tmp / "other", "another program's");
    std::filesystem::rename(tmp / "other", tmp / "target.txt");
    std::filesystem::remove(tmp / ".held");
    ASSERT_EQ(finish(pid, tmp).exitCode, 0);
    ASSERT_EQ(test::readBytes(tmp / "target.txt"), "new");

    Outcome undo = run(cli({"--undo"}, {state}), tmp);
    EXPECT_EQ(undo.exitCode, 1) << undo.err;
    EXPECT_NE(undo.out.find("left alone: " + tmp / "target.txt: its kept old file was changed"),
              std::string::npos)
        << undo.out;
    EXPECT_EQ(test::readBytes(tmp / "target.txt"), "new");
}

// Another user's state folder is refused, nothing changed, alike whether root runs the undo on
// it or the other user does.
TEST(Undo, AnotherUsersStateFolderIsRefusedAsRootAndAsAUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a state folder to another user";
    }
    test::TempFolder tmp;
    const std::pair<std::string, std::string> state{"XDG_STATE_HOME", tmp / "state"};
    test::writeBytes(tmp / "list.txt", tmp / "a.txt>A\n");
    ASSERT_EQ(run(cli({tmp / "list.txt"}, {state}), tmp).exitCode, 0);
    const std::string runs = tmp / "state/pellatrix/runs";
    const auto refused = [&](const std::string& owner) {
        return "pellatrix-cli: cannot undo: the runs folder '" + runs +
               "' belongs to another user (user ID " + owner +
               "), so it is not trusted; nothing changed\n";
    };
    ASSERT_EQ(::chown(runs.c_str(), 65534, 65534), 0);
    Outcome asRoot = run(cli({"--undo"}, {state}), tmp);
    EXPECT_EQ(asRoot.exitCode, 2);
    EXPECT_EQ(asRoot.err, refused("65534"));
    EXPECT_EQ(test::readBytes(tmp / "a.txt"), "A");
    // Root's run (sudo -E) neither writes its journal there nor drops runs from it.
    test::writeBytes(tmp / "list.txt", tmp / "a.txt>B\n");
    const auto runsBefore = std::distance(std::filesystem::directory_iterator(runs), {});
    Outcome rootRun = run(cli({tmp / "list.txt"}, {state}), tmp);
    EXPECT_EQ(rootRun.exitCode, 0);
    EXPECT_EQ(
        rootRun.err,
        "pellatrix-cli: This run cannot be undone: its journal cannot be kept: the runs folder '" +
            runs + "' belongs to another user (user ID 65534), so it is not trusted\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(runs), {}), runsBefore);
    test::writeBytes(tmp / "a.txt", "A");

    ASSERT_EQ(::chown(runs.c_str(), 0, 0), 0);
    for (const char* level : {"state", "state/pellatrix", "state/pellatrix/runs"}) {
        ::chmod((tmp / level).c_str(), 0755);
    }
    Outcome asUser =
        run({"/usr/bin/setpriv",
             {"--reuid=65534", "--regid=65534", "--clear-groups", PELLATRIX_CLI_PATH, "--undo"},
             {state}},
            tmp);
    EXPECT_EQ(asUser.exitCode, 2);
    EXPECT_EQ(asUser.err, refused("0"));
    EXPECT_EQ(test::readBytes(tmp / "a.txt"), "A");
}

// A file with two names is written in place. One run holds in the middle of its write (half
// its text in the file); a second run on the same file waits for it instead of writing into
// it, says so, and so the file ends with the second run's whole text, not a mix of both. A
// waiting run stopped by SIGTERM ends at once, one step at a time or with many, and leaves the
// file to the run that holds it.
TEST(TwoRuns, AFileWrittenInPlaceIsWrittenByOneRunAtATime) {
    test::TempFolder tmp(fastBase());
    const std::string target = tmp / "shared.txt";
    test::writeBytes(target, "old");
    std::filesystem::create_hard_link(target, tmp / "second.txt");
    test::writeBytes(tmp / "a.txt", target + ">" + std::string(20, 'A') + "\n");
    test::writeBytes(tmp / "b.txt", target + ">" + std::string(10, 'B') + "\n");
    Env hold = fault("write", "/shared.txt", "HOLD", "10", "1");
    hold.emplace_back("PELLATRIX_FAULT_MARK", tmp / ".held");
    hold.emplace_back("PELLATRIX_FAULT_RELEASE", tmp / ".release");

    const pid_t first = start(cli({tmp / "a.txt"}, hold), tmp);
    ASSERT_TRUE(waitForMark(tmp / ".held"));
    EXPECT_EQ(test::readBytes(target), std::string(10, 'A'));
    // Starts a run of b.txt and answers it once it says it waits for the lock (or ended); a
    // worker's wait is a look now and then, not a blocked lock.
    const auto waiting = [&](const test::TempFolder& in, const std::string& jobs) {
        const pid_t pid = start(cli({"--jobs=" + jobs, tmp / "b.txt"}), in);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        siginfo_t info{};
        while (test::readBytes(in / ".stderr").find("waiting") == std::string::npos &&
               std::chrono::steady_clock::now() < until &&
               ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return pid;
    };
    for (const char* jobs : {"1", "4"}) {
        SCOPED_TRACE(std::string("--jobs=") + jobs);
        test::TempFolder stopped(tmp.path());
        const pid_t pid = waiting(stopped, jobs);
        ::kill(pid, SIGTERM);
        // Ended while the first run still holds the file, not when it lets go.
        int status = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_EQ(test::readBytes(target), std::string(10, 'A'));
    }
    test::TempFolder other(tmp.path());
    const pid_t second = waiting(other, "1");
    test::writeBytes(tmp / ".release", "");
    Outcome one = finish(first, tmp);
    Outcome two = finish(second, other);
    EXPECT_EQ(one.exitCode + two.exitCode, 0) << one.err << two.err;
    EXPECT_EQ(two.err, "pellatrix-cli: waiting for another program writing '" + target + "'\n");
    EXPECT_EQ(test::readBytes(target), std::string(10, 'B'));
    EXPECT_EQ(std::filesystem::hard_link_count(target), 2u);
}

}  // namespace
}  // namespace pellatrix
