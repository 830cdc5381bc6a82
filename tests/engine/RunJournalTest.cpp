#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/CreationRun.h"
#include "engine/FileSystem.h"
#include "engine/RunJournal.h"
#include "tests/engine/FakeCreationUi.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

namespace fs = std::filesystem;

struct FileState {
    std::string bytes;
    ino_t inode = 0;
    mode_t mode = 0;
};

FileState stateOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {"<missing>", 0, 0};
    }
    return {test::readBytes(path), st.st_ino, st.st_mode & 07777};
}

// A run folder in `runs` for a run begun `startIn` seconds from now by a process that is gone,
// its journal holding `text` and the NULs a killed run leaves.
std::string killedRun(const std::string& runs, int startIn, const std::string& text) {
    const std::time_t start = std::time(nullptr) + startIn;
    char name[64];
    std::strftime(name, sizeof name, "%Y%m%d-%H%M%S.000000000-999999999", std::gmtime(&start));
    const std::string folder = runs + "/" + name;
    fs::create_directories(folder);
    test::writeBytes(folder + "/journal", text + std::string(64, '\0'));
    return folder;
}

std::string record(char type, const std::string& path) {
    return std::string(1, type) + " " + std::to_string(path.size()) + " " + path + "\n";
}

std::string identity(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " 0 0 0 0";
}

// One run over real files: two new files in new folders, one replaced file, one path named
// twice, one file reached through a link; `runs` and `out` in `tmp`.
class UndoOnDisk : public testing::Test {
protected:
    test::TempFolder tmp;
    std::string runs = tmp / "state/runs";
    std::string out = tmp / "out";

    void SetUp() override {
        fs::create_directories(out);
        test::writeBytes(out + "/old.txt", "old content");
        ::chmod((out + "/old.txt").c_str(), 0640);
        // Larger than one read of a copy.
        test::writeBytes(out + "/target.txt", "target's old content" + std::string(100000, 't'));
        fs::create_symlink("target.txt", out + "/link.txt");
        // A file with a second name is written in place: its old content is copied.
        test::writeBytes(out + "/shared.txt", "shared old");
        fs::create_hard_link(out + "/shared.txt", out + "/shared2.txt");
        test::writeBytes(tmp / "list.txt", out + "/new/deep/a.txt>A\n" + out + "/old.txt>B\n" +
                                               out + "/twice.txt>first\n" + out +
                                               "/twice.txt>second\n" + out + "/link.txt>L\n" + out +
                                               "/shared.txt>S\n");
    }

    CreationSummary runOnce() {
        ui.entries = {tmp / "list.txt"};
        CreationRun run(posix, ui);
        run.keepJournalIn(runs);
        run.PushButton2_Click();
        return run.lastSummary();
    }

    PosixFileSystem posix;
    test::FakeCreationUi ui;
};

TEST_F(UndoOnDisk, TakesBackOnlyWhatIsAsTheRunLeftIt) {
    struct Case {
        const char* name;
        std::function<void(const std::string& out)> meanwhile;
        std::vector<std::string> leftAlone;  // relative to out
        std::vector<std::string> stillThere;
    };
    const std::vector<Case> cases = {
        {"nothing changed", [](const std::string&) {}, {}, {}},
        {"a created file written again",
         [](const std::string& o) { test::writeBytes(o + "/new/deep/a.txt", "user's"); },
         {"/new/deep/a.txt: changed since the run", "/new/deep: folder not empty",
          "/new: folder not empty"},
         {"/new/deep/a.txt"}},
        {"a replaced file replaced by someone else",
         [](const std::string& o) {
             test::writeBytes(o + "/x", "user's");
             fs::rename(o + "/x", o + "/old.txt");
         },
         {"/old.txt: changed since the run"},
         {"/old.txt"}},
        {"a created file removed",
         [](const std::string& o) { fs::remove(o + "/twice.txt"); },
         {"/twice.txt: no longer there"},
         {}},
    };
    // The journal beside the files keeps replaced files by a hard link; one on another file
    // system (tmpfs) copies them.
    test::TempFolder shm(fs::exists("/dev/shm") ? "/dev/shm" : "");
    for (const std::string& base : {tmp / "state", shm / "state"})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", journal in " + base);
            const bool linked = base == tmp / "state";
            runs = base + "/runs";
            fs::remove_all(out);
            fs::remove_all(base);
            SetUp();
            const FileState old = stateOf(out + "/old.txt");
            const FileState target = stateOf(out + "/target.txt");
            const CreationSummary summary = runOnce();
            ASSERT_EQ(summary.failures, 0u);
            ASSERT_FALSE(summary.journalFolder.empty());
            ASSERT_EQ(test::readBytes(out + "/old.txt"), "B");
            c.meanwhile(out);

            const std::vector<RunSummary> listed = ListRuns(runs);
            ASSERT_EQ(listed.size(), 1u);
            EXPECT_EQ(listed[0].state, RunSummary::State::Complete);
            EXPECT_EQ(listed[0].created, 2u);   // a.txt, twice.txt
            EXPECT_EQ(listed[0].replaced, 3u);  // old.txt, target.txt, shared.txt
            EXPECT_EQ(listed[0].folders, 2u);

            const UndoReport report = UndoRun(NewestRunToUndo(runs).folder);
            std::vector<std::string> expected;
            for (const std::string& left : c.leftAlone) {
                expected.push_back(out + left);
            }
            EXPECT_EQ(report.leftAlone, expected);
            const auto kept = [&](const std::string& name) {
                return std::find(c.stillThere.begin(), c.stillThere.end(), name) !=
                       c.stillThere.end();
            };
            if (!kept("/old.txt")) {
                // The very old file is back: same inode, mode and bytes.
                const FileState now = stateOf(out + "/old.txt");
                EXPECT_EQ(now.bytes, old.bytes);
                if (linked) {
                    EXPECT_EQ(now.inode, old.inode);
                }
                EXPECT_EQ(now.mode, old.mode);
            }
            if (linked) {
                EXPECT_EQ(stateOf(out + "/target.txt").inode, target.inode);
            }
            EXPECT_EQ(test::readBytes(out + "/shared2.txt"), "shared old");
            EXPECT_EQ(test::readBytes(out + "/target.txt"), target.bytes);
            EXPECT_TRUE(fs::is_symlink(out + "/link.txt"));
            EXPECT_FALSE(fs::exists(out + "/twice.txt"));
            EXPECT_EQ(fs::exists(out + "/new"), kept("/new/deep/a.txt"));

            // The same run again, a foreign journal, and a run still writing: refused, no change.
            EXPECT_THROW(UndoRun(summary.journalFolder), JournalError);
            EXPECT_THROW(NewestRunToUndo(runs), JournalError);
        }
}

TEST_F(UndoOnDisk, BadJournalsAreRefusedAndChangeNothing) {
    const CreationSummary summary = runOnce();
    const std::string journal = summary.journalFolder + "/journal";
    const std::string good = test::readBytes(journal);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"foreign", "some other program's file\n"},
        {"cut inside a path", good.substr(0, good.find(out) + 3)},
        {"unknown record", good + "q 1 2\n"},
        {"path length beyond the end", good + "n 1 2 3 4 5 6 999 /x\n"},
        {"kept file outside the run",
         [&] {
             std::string bytes = good;
             const std::size_t at = bytes.find(" l");
             bytes.replace(at, 2, " l../../x");
             return bytes;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeBytes(journal, c.bytes);
        EXPECT_THROW(UndoRun(summary.journalFolder), JournalError);
        EXPECT_EQ(ListRuns(runs).at(0).state, RunSummary::State::Damaged);
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
        EXPECT_TRUE(fs::exists(out + "/new/deep/a.txt"));
    }
    test::writeBytes(journal, good);
    // A run that still holds its journal: refused.
    int fd = ::open(journal.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(ListRuns(runs).at(0).state, RunSummary::State::Busy);
    EXPECT_THROW(UndoRun(summary.journalFolder), JournalError);
    ::close(fd);
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
    EXPECT_TRUE(UndoRun(summary.journalFolder).leftAlone.empty());
}

TEST_F(UndoOnDisk, KeepsTheLastRunsAndNeverStopsARun) {
    // A killed run's hidden file, where no later run writes, goes with its journal when that is
    // no longer kept.
    fs::create_directory(tmp / "elsewhere");
    const std::string hidden = tmp / "elsewhere/.old.txt.pellatrix-Ab12Cd";
    test::writeBytes(hidden, "part");
    killedRun(runs, -60,
              "pellatrix-journal 3\n" + record('H', hidden) + "h " + identity(hidden) + "\n");
    for (std::size_t i = 0; i < kRunsKept + 2; ++i) {
        runOnce();
    }
    EXPECT_EQ(ListRuns(runs).size(), kRunsKept);
    EXPECT_FALSE(fs::exists(hidden));
    // A run that changes nothing (every file fails) leaves no journal.
    test::writeBytes(tmp / "list.txt", out + "/old.txt/x>A\n");
    EXPECT_TRUE(runOnce().journalFolder.empty());
    EXPECT_EQ(ListRuns(runs).size(), kRunsKept);

    // No state folder can be made: the run goes on, and says so once.
    test::writeBytes(tmp / "list.txt", out + "/a.txt>A\n" + out + "/b.txt>B\n");
    runs = tmp / "list.txt/runs";
    ui.events.clear();
    const CreationSummary summary = runOnce();
    EXPECT_EQ(summary.filesWritten, 2u);
    EXPECT_TRUE(summary.journalFolder.empty());
    const auto journalLines = std::count_if(ui.events.begin(), ui.events.end(), [](auto& e) {
        return e.rfind("journal This run cannot be undone: ", 0) == 0;
    });
    EXPECT_EQ(journalLines, 1);
    EXPECT_EQ(ui.events.back(), "message Done.");
}

// A run killed between making a folder or file and confirming it: the undo takes back what is
// still as made (an empty folder or file of this user, changed since the run began; a hidden
// file of the identity its journal confirms), names what changed since, and says nothing of
// what is older than the run or was never made.
TEST(UndoOfAKilledRun, TakesBackHalfMadeStepsOnlyWhileAsMade) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        std::function<std::string(const std::string& path)> records;
        int startIn;  // the run's start, from now
        bool stays;
        bool named;
    };
    const auto empty = [](const std::string& p) { test::writeBytes(p, ""); };
    const auto folder = [](const std::string& p) { fs::create_directory(p); };
    const auto written = [](const std::string& p) { test::writeBytes(p, "user's"); };
    const auto nothing = [](const std::string&) {};
    const std::string header = "pellatrix-journal 3\n";
    const std::vector<Case> cases = {
        {"new file", empty, [&](auto& p) { return header + record('N', p); }, -5, false, false},
        {"new file written since", written, [&](auto& p) { return header + record('N', p); }, -5,
         true, true},
        {"new file older than the run", empty, [&](auto& p) { return header + record('N', p); }, 60,
         true, false},
        {"new file never made", nothing, [&](auto& p) { return header + record('N', p); }, -5,
         false, false},
        {"folder", folder, [&](auto& p) { return header + record('D', p); }, -5, false, false},
        {"folder older than the run", folder, [&](auto& p) { return header + record('D', p); }, 60,
         true, false},
        {"folder made where a file is", empty, [&](auto& p) { return header + record('D', p); }, -5,
         true, true},
        {"hidden file confirmed, part written", written,
         [&](auto& p) { return header + record('H', p) + "h " + identity(p) + "\n"; }, -5, false,
         false},
        {"hidden file unconfirmed", empty, [&](auto& p) { return header + record('H', p); }, -5,
         false, false},
        {"hidden file never made (a clash)", written,
         [&](auto& p) { return header + record('H', p) + "x\n"; }, -5, true, false},
        {"hidden file of another identity", written,
         [&](auto& p) {
             const std::string made = header + record('H', p) + "h " + identity(p) + "\n";
             test::writeBytes(p + "~", "user's");
             fs::rename(p + "~", p);
             return made;
         },
         -5, true, true},
        {"version 2 journal", written,
         [&](auto& p) {
             return "pellatrix-journal 2\n" + record('n', p).insert(2, identity(p) + " ");
         },
         -5, false, false},
    };
    test::TempFolder tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp / "made";
        fs::remove_all(path);
        fs::remove_all(tmp / "runs");
        c.make(path);
        const std::string run = killedRun(tmp / "runs", c.startIn, c.records(path));
        ASSERT_EQ(ListRuns(tmp / "runs").at(0).state, RunSummary::State::Killed);
        const UndoReport report = UndoRun(run);
        EXPECT_EQ(fs::exists(fs::symlink_status(path)), c.stays);
        EXPECT_EQ(report.leftAlone.size(), c.named ? 1u : 0u);
    }
}

// A run killed at its start (its journal empty, cut inside its first line, or that line
// alone) changed nothing: the undo passes it over to the run before, and drops it, unless a
// process of its may still be about to write it.
TEST(UndoOfAKilledRun, AJournalKilledAtItsStartIsPassedOverAndDropped) {
    test::TempFolder tmp;
    const std::string runs = tmp / "runs";
    const std::string earlier = killedRun(runs, -20, "pellatrix-journal 3\ne\n");
    for (const std::string text :
         {"", "pellat", "pellatrix-journal 3\n", "pellatrix-journal 2\n"}) {
        SCOPED_TRACE("journal \"" + text + "\"");
        const std::string killed = killedRun(runs, -10, text);
        EXPECT_EQ(NewestRunToUndo(runs).folder, earlier);
        EXPECT_FALSE(fs::exists(killed));
        EXPECT_EQ(ListRuns(runs).size(), 1u);
    }
    // Its process still lives (this one): passed over, not dropped.
    const std::string starting = killedRun(runs, -10, "");
    const std::string mine =
        starting.substr(0, starting.rfind('-') + 1) + std::to_string(::getpid());
    fs::rename(starting, mine);
    EXPECT_EQ(NewestRunToUndo(runs).folder, earlier);
    EXPECT_TRUE(fs::exists(mine));
}

}  // namespace
}  // namespace pellatrix
