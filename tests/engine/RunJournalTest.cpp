#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/journal/JournalFormat.h"
#include "engine/journal/RunJournal.h"
#include "engine/posix/PosixFileSystem.h"
#include "engine/run/CreationRun.h"
#include "tests/engine/FakeCreationUi.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct FileState {
    std::string bytes;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

FileState stateOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {"<missing>", 0, 0};
    }
    return {test::readBytes(path), st.st_ino, st.st_mode & 07777, st.st_uid, st.st_gid};
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

// The old text of old.txt: one whose checksum begins with a zero digit, so a journal that writes
// a kept copy's checksum without its leading zeros cannot be read back.
const std::string& oldContent() {
    static const std::string text = [] {
        for (int i = 0;; ++i) {
            std::string candidate = "old content " + std::to_string(i);
            if (XXH3_64bits(candidate.data(), candidate.size()) >> 60 == 0) {
                return candidate;
            }
        }
    }();
    return text;
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
        test::writeBytes(out + "/old.txt", oldContent());
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

    CreationSummary runOnce(bool removeOldRunsLater = false) {
        ui.entries = {tmp / "list.txt"};
        CreationRun run(posix, ui);
        run.keepJournalIn(runs);
        if (removeOldRunsLater) {
            run.removeOldRunsLater();
        }
        run.createFiles();
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
        {"a created file replaced by a copy of the same size and time",
         [](const std::string& o) {
             const std::string made = o + "/new/deep/a.txt";
             fs::copy_file(made, o + "/x");
             fs::last_write_time(o + "/x", fs::last_write_time(made));
             fs::rename(o + "/x", made);
         },
         {"/new/deep/a.txt: changed since the run", "/new/deep: folder not empty",
          "/new: folder not empty"},
         {"/new/deep/a.txt"}},
        {"a created file removed",
         [](const std::string& o) { fs::remove(o + "/twice.txt"); },
         {"/twice.txt: no longer there"},
         {}},
        {"a made folder swapped for a link to it",
         [](const std::string& o) {
             fs::rename(o + "/new", o + "/moved");
             fs::create_directory_symlink("moved", o + "/new");
         },
         {"/new/deep/a.txt: a symbolic link or a file now stands on its way",
          "/new/deep: a symbolic link or a file now stands on its way",
          "/new: replaced since the run"},
         {"/new/deep/a.txt"}},
        {"a made folder replaced by another holding the run's file",
         [](const std::string& o) {
             fs::rename(o + "/new", o + "/moved");
             fs::create_directories(o + "/new/deep");
             fs::rename(o + "/moved/deep/a.txt", o + "/new/deep/a.txt");
         },
         {"/new/deep/a.txt: its folder was replaced since the run",
          "/new/deep: its folder was replaced since the run", "/new: replaced since the run"},
         {"/new/deep/a.txt"}},
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

            // The counts kept beside the journal, and the journal read when they are gone: alike,
            // the disk the run takes included: its journal and the three old contents, each in
            // whole blocks where kept by a link, in bytes where copied.
            struct stat journal {};
            ASSERT_EQ(::stat((summary.journalFolder + "/journal").c_str(), &journal), 0);
            const auto block = static_cast<std::uint64_t>(journal.st_blksize);
            const std::uint64_t oldBytes = oldContent().size() + 20 + 100000 + 10;
            const auto fewest = static_cast<std::uint64_t>(journal.st_size) + oldBytes;
            std::optional<std::uint64_t> counts;
            for (const bool counted : {true, false}) {
                EXPECT_EQ(fs::exists(summary.journalFolder + "/counts"), counted);
                const std::vector<RunSummary> listed = ListRuns(posix, runs);
                ASSERT_EQ(listed.size(), 1u);
                EXPECT_EQ(listed[0].state, RunSummary::State::Complete);
                EXPECT_EQ(listed[0].created, 2u);   // a.txt, twice.txt
                EXPECT_EQ(listed[0].replaced, 3u);  // old.txt, target.txt, shared.txt
                EXPECT_EQ(listed[0].folders, 2u);
                EXPECT_TRUE(listed[0].bytes >= fewest && listed[0].bytes <= fewest + 3 * block)
                    << listed[0].bytes << (counted ? " counted" : " read");
                EXPECT_EQ(listed[0].bytes, counts.value_or(listed[0].bytes));
                counts = listed[0].bytes;
                fs::remove(summary.journalFolder + "/counts");
            }

            const UndoReport report = UndoRun(posix, NewestRunToUndo(posix, runs).folder);
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
            EXPECT_THROW(UndoRun(posix, summary.journalFolder), JournalError);
            EXPECT_THROW(NewestRunToUndo(posix, runs), JournalError);
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
        EXPECT_THROW(UndoRun(posix, summary.journalFolder), JournalError);
        EXPECT_EQ(ListRuns(posix, runs).at(0).state, RunSummary::State::Damaged);
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
        EXPECT_TRUE(fs::exists(out + "/new/deep/a.txt"));
    }
    test::writeBytes(journal, good);
    // A run that still holds its journal: refused.
    int fd = ::open(journal.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(ListRuns(posix, runs).at(0).state, RunSummary::State::Busy);
    EXPECT_THROW(UndoRun(posix, summary.journalFolder), JournalError);
    ::close(fd);
    EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
    EXPECT_TRUE(UndoRun(posix, summary.journalFolder).leftAlone.empty());
}

// Only a journal its user alone could have written is followed: the state folders and the
// journal are the user's own, written by nobody else, no link; the undo and the listing change
// nothing otherwise.
TEST_F(UndoOnDisk, AStateFolderOrJournalOthersCouldWriteIsRefused) {
    const std::string run = runOnce().journalFolder;
    struct Case {
        std::string what;  // as the refusal names it
        std::string path;
        int how;  // a mode; 0: made a link; below 0: given to that user (as root; the companion's
                  // test gives root's to another user)
        std::string why;
    };
    const std::vector<Case> cases = {
        {"the runs folder", runs, 0770, "may be written by other users (mode 0770)"},
        {"the run's folder", run, 0703, "may be written by other users (mode 0703)"},
        {"the journal", run + "/journal", 0620, "may be written by other users (mode 0620)"},
        {"the runs folder", runs, 0, "is a symbolic link"},
        {"the run's folder", run, 0, "is a symbolic link"},
        {"the journal", run + "/journal", 0, "is a symbolic link"},
        {"the journal", run + "/journal", -65534, "belongs to another user (user ID 65534)"},
    };
    for (const Case& c : cases) {
        if (c.how < 0 && ::geteuid() != 0) {
            continue;
        }
        SCOPED_TRACE(c.what + " " + c.why);
        struct stat was {};
        ASSERT_EQ(::lstat(c.path.c_str(), &was), 0);
        if (c.how == 0) {
            fs::rename(c.path, c.path + ".real");
            fs::create_symlink(c.path + ".real", c.path);
        }
        if (c.how > 0) {
            ASSERT_EQ(::chmod(c.path.c_str(), static_cast<mode_t>(c.how)), 0);
        } else if (c.how < 0) {
            ASSERT_EQ(::chown(c.path.c_str(), static_cast<uid_t>(-c.how), was.st_gid), 0);
        }
        // The listing refuses alike: it may drop run folders, and names what an undo acts on.
        for (const bool undo : {true, false}) {
            try {
                undo ? static_cast<void>(UndoRun(posix, run))
                     : static_cast<void>(ListRuns(posix, runs));
                ADD_FAILURE() << (undo ? "undone" : "listed");
            } catch (const UntrustedJournal& e) {
                EXPECT_EQ(e.what(),
                          c.what + " '" + c.path + "' " + c.why + ", so it is not trusted");
            }
        }
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
        if (c.how == 0) {
            fs::remove(c.path);
            fs::rename(c.path + ".real", c.path);
        }
        ::chmod(c.path.c_str(), was.st_mode & 07777);
        ASSERT_EQ(::chown(c.path.c_str(), was.st_uid, was.st_gid), 0);
    }
    EXPECT_TRUE(UndoRun(posix, run).leftAlone.empty());
}

// A kept old file goes back only while it is the very file kept, a copy only while its size and
// checksum hold; otherwise the file stays as the run left it, named.
TEST_F(UndoOnDisk, KeptOldContentGoesBackOnlyAsKept) {
    struct Case {
        const char* name;
        bool linked;  // the journal beside the files keeps links; one on tmpfs keeps copies
        std::function<void(const std::string& run)> spoil;
        std::string why;  // for old.txt, kept first: as link 1, or at byte 0 of the pack
    };
    const std::vector<Case> cases = {
        {"a kept file swapped", true,
         [](const std::string& run) {
             test::writeBytes(run + "/x", oldContent());
             fs::rename(run + "/x", run + "/1");
         },
         "its kept old file was changed since the run, so it was not put back"},
        {"a kept file written", true,
         [](const std::string& run) { test::writeBytes(run + "/1", "0ld content"); },
         "its kept old file was changed since the run, so it was not put back"},
        {"a kept copy changed", false,
         [](const std::string& run) {
             std::fstream pack(run + "/pack", std::ios::in | std::ios::out | std::ios::binary);
             pack.put('0');
         },
         "its kept copy was changed since the run, so it was not put back"},
        {"a copy kept by the format before, without its checksum", false,
         [](const std::string& run) {
             std::string text = test::readBytes(run + "/journal");
             text[text.find('\n') - 1] = '2';
             for (std::size_t at = text.find(':'); at != std::string::npos;
                  at = text.find(':', at)) {
                 text.erase(at, 17);
             }
             test::writeBytes(run + "/journal", text);
         },
         "its old content was kept without a checksum, so it was not put back (it is in "},
    };
    test::TempFolder shm(fs::exists("/dev/shm") ? "/dev/shm" : "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runs = (c.linked ? tmp / "state" : shm / "state") + "/runs";
        fs::remove_all(out);
        SetUp();
        const std::string run = runOnce().journalFolder;
        c.spoil(run);
        const UndoReport report = UndoRun(posix, run);
        const std::string named = out + "/old.txt: " + c.why;
        EXPECT_EQ(std::count_if(report.leftAlone.begin(), report.leftAlone.end(),
                                [&](const std::string& left) { return left.rfind(named, 0) == 0; }),
                  1)
            << testing::PrintToString(report.leftAlone);
        EXPECT_EQ(test::readBytes(out + "/old.txt"), "B");
        // The two other replaced files go back; no copy does without a checksum.
        EXPECT_EQ(report.restored, c.why.find("checksum") == std::string::npos ? 2u : 0u);
    }
}

// A file reached through two names (a second hard link, a link to it, a linked folder) is taken
// back once, whichever name the run wrote it through last.
TEST_F(UndoOnDisk, AFileReachedByTwoNamesIsTakenBackOnce) {
    fs::create_directory_symlink("out", tmp / "outlink");
    fs::create_symlink("shared.txt", out + "/sharedlink.txt");
    // A dangling link: the run makes the file it names, and the undo takes that file away.
    fs::create_symlink("named.txt", out + "/dangling.txt");
    test::writeBytes(tmp / "list.txt", out + "/sharedlink.txt>1\n" + out + "/shared.txt>2\n" + out +
                                           "/shared2.txt>3\n" + out + "/link.txt>4\n" + out +
                                           "/target.txt>5\n" + tmp / "outlink/old.txt>6\n" + out +
                                           "/old.txt>7\n" + tmp / "outlink/fresh.txt>8\n" + out +
                                           "/fresh.txt>9\n" + out + "/dangling.txt>10\n");
    test::TempFolder shm(fs::exists("/dev/shm") ? "/dev/shm" : "");
    for (const std::string& base : {tmp / "state", shm / "state"}) {
        SCOPED_TRACE(base);
        runs = base + "/runs";
        // Root's undo gives a user's file back to its user, kept as a link or as a copy.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown((out + "/old.txt").c_str(), 65534, 65534), 0);
        }
        const FileState shared = stateOf(out + "/shared.txt");
        const FileState target = stateOf(out + "/target.txt");
        const FileState old = stateOf(out + "/old.txt");
        ASSERT_EQ(runOnce().failures, 0u);
        ASSERT_EQ(test::readBytes(out + "/shared2.txt"), "3");
        const UndoReport report = UndoRun(posix, NewestRunToUndo(posix, runs).folder);
        EXPECT_EQ(report.leftAlone, std::vector<std::string>{});
        EXPECT_EQ(report.removed, 2u);
        EXPECT_FALSE(fs::exists(out + "/named.txt"));
        EXPECT_TRUE(fs::is_symlink(out + "/dangling.txt"));
        EXPECT_EQ(stateOf(out + "/shared.txt").bytes, shared.bytes);
        EXPECT_EQ(stateOf(out + "/shared.txt").inode, shared.inode);
        EXPECT_EQ(stateOf(out + "/target.txt").bytes, target.bytes);
        EXPECT_EQ(stateOf(out + "/old.txt").bytes, old.bytes);
        EXPECT_EQ(stateOf(out + "/old.txt").owner, old.owner);
        EXPECT_EQ(stateOf(out + "/old.txt").group, old.group);
        EXPECT_EQ(stateOf(out + "/old.txt").mode, old.mode);
        EXPECT_FALSE(fs::exists(out + "/fresh.txt"));
        EXPECT_TRUE(fs::is_symlink(out + "/sharedlink.txt"));
    }
}

TEST_F(UndoOnDisk, KeepsTheLastRunsAndNeverStopsARun) {
    // A killed run's hidden file, where no later run writes, goes with its journal when that is
    // no longer kept.
    fs::create_directory(tmp / "elsewhere");
    const std::string hidden = tmp / "elsewhere/.old.txt.pellatrix-Ab12Cd";
    test::writeBytes(hidden, "part");
    killedRun(runs, -60,
              "pellatrix-journal 3\n" + record('H', hidden) + "h " + identity(hidden) + "\n");
    // A link among the runs, oldest by its name, is never followed while runs are dropped.
    fs::create_directory(tmp / "victim");
    test::writeBytes(tmp / "victim/keep.txt", "the user's");
    fs::create_directory_symlink(tmp / "victim", runs + "/00000000-000000.000000000-1");
    for (std::size_t i = 0; i < kRunsKept + 2; ++i) {
        runOnce();
    }
    EXPECT_EQ(test::readBytes(tmp / "victim/keep.txt"), "the user's");
    // The counts a run keeps carry its journal's checksum, summed from its mapping window by
    // window, so a listing trusts them: the same as of the journal read whole, also for a
    // journal that outgrew its windows.
    const std::string list = test::readBytes(tmp / "list.txt");
    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += out + "/many/" + std::string(150, 'f') + std::to_string(i) + ">x\n";
    }
    test::writeBytes(tmp / "list.txt", many);
    const std::string last = runOnce().journalFolder;
    test::writeBytes(tmp / "list.txt", list);
    const std::string written = test::readBytes(last + "/journal");
    EXPECT_GT(written.size(), std::size_t{1} << 20);  // beyond its second window
    const std::uint64_t sum = XXH3_64bits(written.data(), written.size());
    EXPECT_TRUE(
        test::readBytes(last + "/counts").ends_with(" " + journal::ChecksumText(sum) + "\n"));
    fs::remove(runs + "/00000000-000000.000000000-1");
    EXPECT_EQ(ListRuns(posix, runs).size(), kRunsKept);
    EXPECT_FALSE(fs::exists(hidden));
    // A run may leave the removal of the run it drops for later: it is only set aside (one
    // rename), no longer listed, and removed by RemoveOldRuns, also after a removal that
    // stopped part-way; a link set among them is never followed.
    const auto setAside = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(runs)) {
            if (entry.path().filename().string().rfind(".dropped-", 0) == 0) {
                names.push_back(entry.path().filename());
            }
        }
        return names;
    };
    runOnce(true);
    runOnce(true);
    ASSERT_GE(setAside().size(), 2u);
    // Never more set aside than are kept: runs back to back give a removal no time.
    const std::size_t before = setAside().size();
    for (std::size_t i = 0; i < kRunsKept; ++i) {
        runOnce(true);
        EXPECT_LE(setAside().size(), kRunsKept);
    }
    for (std::size_t i = 0; i < before; ++i) {
        runOnce(true);
    }
    EXPECT_EQ(ListRuns(posix, runs).size(), kRunsKept);
    ASSERT_FALSE(setAside().empty());
    fs::remove_all(runs + "/" + setAside()[0] + "/journal");  // as a stopped removal leaves it
    fs::create_directory_symlink(tmp / "victim", runs + "/.dropped-planted");
    RemoveOldRuns(runs);
    EXPECT_EQ(setAside(), std::vector<std::string>{".dropped-planted"});
    EXPECT_EQ(test::readBytes(tmp / "victim/keep.txt"), "the user's");
    fs::remove(runs + "/.dropped-planted");
    EXPECT_EQ(ListRuns(posix, runs).size(), kRunsKept);
    // A run that changes nothing (every file fails) leaves no journal.
    test::writeBytes(tmp / "list.txt", out + "/old.txt/x>A\n");
    EXPECT_TRUE(runOnce().journalFolder.empty());
    EXPECT_EQ(ListRuns(posix, runs).size(), kRunsKept);

    // No state folder can be made, or the runs folder is not the user's alone (the undo's own
    // refusal): the run goes on, writes nothing there, and says so once.
    test::writeBytes(tmp / "list.txt", out + "/a.txt>A\n" + out + "/b.txt>B\n");
    fs::create_directories(tmp / "open/runs");
    ::chmod((tmp / "open/runs").c_str(), 0777);
    fs::create_directory_symlink(tmp / "open/runs", tmp / "open/linked");
    const struct {
        std::string runs;
        std::string why;
    } cases[] = {
        {tmp / "list.txt/runs", "its journal cannot be kept in " + tmp / "list.txt/runs"},
        {tmp / "open/runs", "its journal cannot be kept: the runs folder '" + tmp.path() +
                                "/open/runs' may be written by other users (mode 0777)"},
        {tmp / "open/linked", "its journal cannot be kept: the runs folder '" + tmp.path() +
                                  "/open/linked' is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runs);
        runs = c.runs;
        ui.events.clear();
        const CreationSummary summary = runOnce();
        EXPECT_EQ(summary.filesWritten, 2u);
        EXPECT_TRUE(summary.journalFolder.empty());
        const auto journalLines = std::count_if(ui.events.begin(), ui.events.end(), [&](auto& e) {
            return e.rfind("journal This run cannot be undone: " + c.why, 0) == 0;
        });
        EXPECT_EQ(journalLines, 1) << testing::PrintToString(ui.events);
        EXPECT_EQ(ui.events.back(), "message Done.");
    }
    EXPECT_TRUE(fs::is_empty(tmp / "open/runs"));
}

// Old content over the copy limit is not kept: the run says so once, while it goes on (before
// the next file), and writes the files. Sparse files: the limit is reached without a copy.
TEST_F(UndoOnDisk, SaysOnceWhileRunningThatOldContentOverTheCopyLimitIsNotKept) {
    std::string list;
    for (const char* name : {"big1", "big2"}) {
        const std::string big = out + "/" + name;
        test::writeBytes(big, "x");
        ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kCopyLimit + 1)), 0);
        fs::create_hard_link(big, big + ".second");
        list += big + ">new\n";
    }
    test::writeBytes(tmp / "list.txt", list + out + "/after.txt>A\n");
    ui.recordProgress = true;
    EXPECT_EQ(runOnce().filesWritten, 3u);
    EXPECT_EQ(test::readBytes(out + "/big2.second"), "new");
    const std::string told = "journal Only part of this run can be undone: the old content of '" +
                             out + "/big1' is not kept (the run's copies reached their limit of " +
                             "256 MiB)";
    const auto at = std::find(ui.events.begin(), ui.events.end(), told);
    ASSERT_NE(at, ui.events.end());
    EXPECT_EQ(std::count_if(ui.events.begin(), ui.events.end(),
                            [](auto& e) { return e.rfind("journal ", 0) == 0; }),
              1);
    EXPECT_NE(std::find(at, ui.events.end(), "progress 100"), ui.events.end());
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
        {"hidden file of one lane, another lane's withdrawn after it", written,
         [&](auto& p) {
             return header + "t 1\n" + record('H', p) + "h " + identity(p) + "\nt 2\n" +
                    record('H', p + "-other") + "x\n";
         },
         -5, false, false},
        {"a lane's withdrawal after another lane's step", empty,
         [&](auto& p) {
             return header + "t 1\n" + record('N', p) + "t 0\n" + record('D', p + "-never") +
                    "t 1\nx\n";
         },
         -5, true, false},
        {"version 2 journal", written,
         [&](auto& p) {
             return "pellatrix-journal 2\n" + record('n', p).insert(2, identity(p) + " ");
         },
         -5, false, false},
    };
    test::TempFolder tmp;
    PosixFileSystem posix;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp / "made";
        fs::remove_all(path);
        fs::remove_all(tmp / "runs");
        c.make(path);
        const std::string run = killedRun(tmp / "runs", c.startIn, c.records(path));
        ASSERT_EQ(ListRuns(posix, tmp / "runs").at(0).state, RunSummary::State::Killed);
        const UndoReport report = UndoRun(posix, run);
        EXPECT_EQ(fs::exists(fs::symlink_status(path)), c.stays);
        EXPECT_EQ(report.leftAlone.size(), c.named ? 1u : 0u);
    }
}

// An undo reads its journal back a block of steps at a time, from the last: whatever the block
// size, the blocks together are the journal as read whole, also where lanes interleave so that
// a step's later records follow the next block's first step.
TEST(UndoOfAKilledRun, AJournalReadInBlocksIsTheJournalReadWhole) {
    const std::string stamp = "7 8 9 10 11 33188 ";
    const std::string ended = "7 8 9 10 11 33188\n";  // a stamp that ends its record
    const auto with = [&](char type, const std::string& path, const std::string& before = "") {
        return std::string(1, type) + " " + before + std::to_string(path.size()) + " " + path +
               "\n";
    };
    const std::vector<std::pair<const char*, std::string>> journals = {
        {"lanes interleaved",
         "pellatrix-journal 3\nt 1\n" + with('D', "/o/a", "@5 ") + "t 2\n" + with('N', "/o/b") +
             "t 1\n" + with('d', "/o/a", stamp) + "t 2\n" + with('n', "/o/b", stamp) + "w " +
             ended + "t 1\n" + with('H', "/o/.c.pellatrix-AbCdEf") + "t 2\n" +
             with('r', "/o/c2", stamp + "lk2/1 ") + "t 1\nh " + ended + "t 2\nw " + ended +
             "t 1\nx\nt 3\n" + with('i', "/o/d", stamp + "p0:00000000000000ff ") + "w " + ended +
             "t 2\n" + with('N', "/o/e") + "x\nt 1\n" + with('N', "/o/f") + "t 3\n" +
             with('D', "/o/g") + "t 1\n" + with('n', "/o/f", stamp) + "t 3\nx\nt 1\n" +
             with('N', "/o/h") + "t 4\n" + with('N', "/o/i") + "t 1\nx\nt 4\n" +
             with('n', "/o/i", stamp) + "t 1\n" + with('N', "/o/j") + with('n', "/o/j", stamp) +
             "t 4\nw " + ended + "e\n"},
        {"killed, the last steps unconfirmed",
         "pellatrix-journal 3\n" + with('D', "/o/a") + with('d', "/o/a", stamp) +
             with('N', "/o/a/b") + with('n', "/o/a/b", stamp) + "w " + ended +
             with('H', "/o/.c.pellatrix-AbCdEf") + "h " + ended + with('r', "/o/c", stamp + "l1 ") +
             with('N', "/o/a/z") + std::string(64, '\0')},
        {"version 2, cut short by a full disk",
         "pellatrix-journal 2\n" + with('d', "/o/a", stamp) + with('n', "/o/a/b", stamp) +
             with('n', "/o/a/c", stamp) + with('r', "/o/d", stamp + "p0 ") + "w " + ended +
             with('s', "/o/e") + "e\n"},
    };
    test::TempFolder tmp;
    for (const auto& [name, text] : journals) {
        SCOPED_TRACE(name);
        test::writeBytes(tmp / "journal", text);
        const int fd = ::open((tmp / "journal").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const journal::Journal whole = journal::ReadJournal(fd);
        std::unordered_map<std::string, FileIdentity> folders;
        for (const journal::Step& step : whole.steps) {
            if (step.kind == journal::Step::Kind::Folder && !step.withdrawn) {
                folders[step.path] = step.opened.identity;
            }
        }
        std::vector<std::size_t> hidden;
        for (const journal::Step* step : journal::LastHiddenFiles(whole)) {
            hidden.push_back(step->number);
        }
        for (const std::size_t size : {1, 2, 3, 4096}) {
            SCOPED_TRACE("blocks of " + std::to_string(size));
            journal::JournalReader reader(fd, size);
            std::vector<journal::Step> steps;
            for (std::size_t b = 0; b < reader.blockCount(); ++b) {
                for (journal::Step& step : reader.block(b)) {
                    steps.push_back(std::move(step));
                }
            }
            EXPECT_EQ(steps, whole.steps);
            EXPECT_EQ(reader.complete(), whole.complete);
            EXPECT_EQ(reader.partial(), whole.partial);
            EXPECT_EQ(reader.madeFolders(), folders);
            EXPECT_EQ(reader.lastHiddenFiles(), hidden);
        }
        ::close(fd);
    }
}

// A run killed at its start (its journal empty, cut inside its first line, or that line
// alone) changed nothing: the undo passes it over to the run before, and drops it, unless a
// process of its may still be about to write it.
TEST(UndoOfAKilledRun, AJournalKilledAtItsStartIsPassedOverAndDropped) {
    test::TempFolder tmp;
    PosixFileSystem posix;
    const std::string runs = tmp / "runs";
    const std::string earlier = killedRun(runs, -20, "pellatrix-journal 3\ne\n");
    for (const std::string text :
         {"", "pellat", "pellatrix-journal 3\n", "pellatrix-journal 2\n"}) {
        SCOPED_TRACE("journal \"" + text + "\"");
        const std::string killed = killedRun(runs, -10, text);
        EXPECT_EQ(NewestRunToUndo(posix, runs).folder, earlier);
        EXPECT_FALSE(fs::exists(killed));
        EXPECT_EQ(ListRuns(posix, runs).size(), 1u);
    }
    // Its process still lives (this one): passed over, not dropped.
    const std::string starting = killedRun(runs, -10, "");
    const std::string mine =
        starting.substr(0, starting.rfind('-') + 1) + std::to_string(::getpid());
    fs::rename(starting, mine);
    EXPECT_EQ(NewestRunToUndo(posix, runs).folder, earlier);
    EXPECT_TRUE(fs::exists(mine));
}

// Failed lines are read again only from a list as the run read it: a stream or a list changed
// since is named instead, and a line that failed twice is one line.
TEST(FailedLines, AreReadAgainOnlyFromAListAsTheRunReadIt) {
    test::TempFolder tmp;
    PosixFileSystem posix;
    test::writeBytes(tmp / "a.txt", "one\ntwo>2\r\nthree\rfour");
    test::writeBytes(tmp / "b.txt", "x\n");
    FailedEntries failed;
    for (const auto& [list, line] :
         std::vector<std::pair<std::string, std::uint64_t>>{{tmp / "a.txt", 4},
                                                            {tmp / "b.txt", 1},
                                                            {tmp / "a.txt", 2},
                                                            {"-", 1},
                                                            {tmp / "a.txt", 0},
                                                            {tmp / "a.txt", 2}}) {
        failed.add(list, line);
    }
    test::writeBytes(tmp / "b.txt", "yy\n");
    std::vector<std::string> unread;
    const std::vector<FailedLine> lines = failed.read(posix, false, unread);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].bytes, "two>2\r\n");
    EXPECT_EQ(lines[1].bytes, "four\r");
    EXPECT_EQ(lines[1].line, 4u);
    EXPECT_EQ(unread, (std::vector<std::string>{tmp / "b.txt", "-"}));
}

// What a run keeps of its failures reads back byte for byte, and only from a file the user
// alone can have written; a run kept without it, or a damaged one, says so.
TEST(FailedLines, KeptWithTheRunAreTrustedAsItsJournal) {
    test::TempFolder tmp;
    const std::string run = tmp / "runs/20260101-000000.000000000-1";
    fs::create_directories(run);
    fs::permissions(tmp / "runs", fs::perms::owner_all);
    fs::permissions(run, fs::perms::owner_all);
    EXPECT_THROW(ReadKeptFailures(run), JournalError);
    EXPECT_EQ(KeptRunHead(run).failures, 0u);
    KeptFailures kept{
        3, {{"a list", 7, "p\0th>\n text\n"s}, {"l", 9, "q\r\n"}}, {"-"}, {"a list", "l"}};
    ASSERT_EQ(KeepFailedLines(run, kept), "");
    const KeptFailures back = ReadKeptFailures(run);
    EXPECT_EQ(back.failures, 3u);
    ASSERT_EQ(back.lines.size(), 2u);
    EXPECT_EQ(back.lines[0].list, "a list");
    EXPECT_EQ(back.lines[0].line, 7u);
    EXPECT_EQ(back.lines[0].bytes, "p\0th>\n text\n"s);
    EXPECT_EQ(back.lines[1].bytes, "q\r\n");
    EXPECT_EQ(back.unread, std::vector<std::string>{"-"});
    EXPECT_EQ(back.lists, (std::vector<std::string>{"a list", "l"}));
    EXPECT_EQ(KeptRunHead(run).failures, 3u);
    EXPECT_EQ(KeptRunHead(run).lists, back.lists);
    EXPECT_TRUE(KeptRunHead(run).lines.empty());
    ::chmod((run + "/failed").c_str(), 0622);
    EXPECT_THROW(ReadKeptFailures(run), UntrustedJournal);
    ::chmod((run + "/failed").c_str(), 0600);
    const std::string text = test::readBytes(run + "/failed");
    test::writeBytes(run + "/failed", text.substr(0, text.size() - 3));
    EXPECT_THROW(ReadKeptFailures(run), JournalError);
}

// A failed-lines file a user cannot write, or whose folder takes no new file, is refused
// before a run; writing it again replaces it whole, keeping its mode, through a link.
TEST(FailedLines, AFileThatCannotTakeThemIsRefusedAndOneThatCanIsReplacedWhole) {
    test::TempFolder tmp;
    ::chmod(tmp.path().c_str(), 0777);
    test::writeBytes(tmp / "read-only.txt", "");
    ::chmod((tmp / "read-only.txt").c_str(), 0444);
    fs::create_directory(tmp / "closed");
    ::chmod((tmp / "closed").c_str(), 0555);
    EXPECT_EQ(test::runUnprivileged([&] {
                  PosixFileSystem posix;
                  const bool refused = FailedListProblem(posix, tmp / "read-only.txt", {}) ==
                                           "it is not writable: Permission denied" &&
                                       FailedListProblem(posix, tmp / "closed/f.txt", {}) ==
                                           "its folder is not writable: Permission denied" &&
                                       FailedListProblem(posix, tmp / "new.txt", {}).empty();
                  return refused ? 0 : 1;
              }),
              0);
    test::writeBytes(tmp / "kept.txt", "old text, longer than the new");
    ::chmod((tmp / "kept.txt").c_str(), 0640);
    fs::create_symlink("kept.txt", tmp / "link.txt");
    ASSERT_EQ(WriteFailedList(tmp / "link.txt", {{"l", 1, "a\n"}, {"l", 3, "b>c\r\n"}}), "");
    EXPECT_EQ(test::readBytes(tmp / "kept.txt"), "a\nb>c\r\n");
    EXPECT_TRUE(fs::is_symlink(tmp / "link.txt"));
    EXPECT_EQ(stateOf(tmp / "kept.txt").mode, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), {}), 4);  // no leftover
}

// The first file of a run, for opening its folder, from the head of its journal alone: past
// its folders, lanes and paths holding blanks and line breaks; a cut record ends the search.
TEST(FailedLines, TheFirstFileOfARunIsFoundInTheHeadOfItsJournal) {
    const std::string head = "pellatrix-journal 3\n";
    const std::string stamp = "1 2 3 4 5 6 ";
    const struct {
        std::string records;
        std::string first;
    } cases[] = {
        {"", ""},
        {record('D', "/a b") + "d " + stamp + "3 /a b\n" + record('N', "/a b/n"), "/a b/n"},
        {"t 1\n" + record('D', "/x\nD 2 /y") + "d " + stamp + "8 /x\nD 2 /y\n" + record('s', "no") +
             "r " + stamp + "l1 4 /r r\nw " + stamp + "\n",
         "/r r"},
        {record('D', "/f") + "n " + stamp + "6 /f/new\n", "/f/new"},
        {record('D', "/f") + "i " + stamp + "p0:00 9 /f/cut", "/f"},
        {record('H', "/h/.x") + "h " + stamp + "\ne\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.records);
        EXPECT_EQ(journal::FirstPathIn(head + c.records), c.first);
    }
}

}  // namespace
}  // namespace pellatrix
