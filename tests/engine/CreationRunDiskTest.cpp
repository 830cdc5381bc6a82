#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "engine/run/CreationRun.h"
#include "tests/engine/FakeCreationUi.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

using namespace std::string_literals;

struct Snapshot {
    std::string bytes;
    struct timespec mtime;
};

Snapshot snapshot(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return {test::readBytes(path), st.st_mtim};
}

TEST(CreationRunOnDisk, HostileListsCreateWhatTheyCanAndStayUntouched) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    std::string junk;
    std::mt19937 random(7);
    for (int i = 0; i < 4096; ++i) {
        junk += static_cast<char>(random() % 256);
    }
    const std::string bigContent(10 << 20, 'x');
    std::vector<std::string> lists = {
        // A NUL inside a path must fail that entry, never create the cut-short name.
        out + "/nul/a\0b>x\r\n"s + out + "/nul/ok>y\r\n",
        // Binary junk under our folder (separators dropped, so all of it stays inside).
        [&] {
            std::string text;
            for (std::size_t at = 0; at < junk.size(); at += 64) {
                std::string name = junk.substr(at, 64);
                std::erase(name, '/');
                std::erase(name, '\0');
                std::erase(name, '\r');
                std::erase(name, '\n');
                text += out + "/junk/" + name + "\n";
            }
            return text;
        }(),
        // One line of 10 MB content.
        out + "/big/ten.txt>" + bigContent,
        // A list naming itself by another spelling (read-only means nothing to root).
        tmp.path() + "/./list3.txt>overwritten",
    };
    test::FakeCreationUi ui;
    std::vector<Snapshot> before;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        std::string path = tmp / ("list" + std::to_string(i) + ".txt");
        test::writeBytes(path, lists[i]);
        ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
        before.push_back(snapshot(path));
        ui.entries.push_back(path);
    }
    PosixFileSystem fs;
    CreationRun run(fs, ui);
    run.createFiles();

    EXPECT_EQ(ui.events.back(), "message Done.");
    for (std::size_t i = 0; i < lists.size(); ++i) {
        Snapshot after = snapshot(ui.entries[i]);
        EXPECT_EQ(after.bytes, before[i].bytes);
        EXPECT_EQ(after.mtime.tv_sec, before[i].mtime.tv_sec);
        EXPECT_EQ(after.mtime.tv_nsec, before[i].mtime.tv_nsec);
    }
    EXPECT_FALSE(std::filesystem::exists(out + "/nul/a"));
    EXPECT_EQ(test::readBytes(out + "/nul/ok"), "y");
    EXPECT_EQ(test::readBytes(out + "/big/ten.txt"), bigContent);
    ASSERT_FALSE(ui.reports.empty());
    EXPECT_EQ(ui.reports[0].line, 216);
    EXPECT_NE(ui.reports[0].description.find("\\0b"), std::string::npos);
    // Every junk name either became a file in out/junk or was reported; nothing escaped.
    std::size_t junkFiles = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(out + "/junk")) {
        ++junkFiles;
    }
    EXPECT_EQ(ui.reports.back().line, 216);
    EXPECT_NE(ui.reports.back().description.find("list file of this run"), std::string::npos);
    EXPECT_EQ(junkFiles + ui.reports.size() - 2, 4096u / 64u);
    EXPECT_EQ(run.lastSummary().filesWritten + run.lastSummary().failures, 2u + 64u + 1u + 1u);
}

TEST(CreationRunOnDisk, UnreadableListAndReadOnlyTargetAreReportedAndTheRestIsMade) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(out.c_str(), 0777), 0);
    test::writeBytes(out + "/ro.txt", "old");
    ASSERT_EQ(::chmod((out + "/ro.txt").c_str(), 0444), 0);
    test::writeBytes(tmp / "secret.txt", out + "/never.txt\n");
    ASSERT_EQ(::chmod((tmp / "secret.txt").c_str(), 0000), 0);
    test::writeBytes(tmp / "list.txt", out + "/ro.txt\n" + out + "/new/fine.txt\n");
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);

    int status = test::runUnprivileged([&] {
        test::FakeCreationUi ui;
        ui.entries = {tmp / "secret.txt", tmp / "fifo", "/dev/zero", tmp.path(), tmp / "list.txt"};
        ui.text = "T";
        PosixFileSystem fs;
        CreationRun run(fs, ui);
        run.createFiles();
        if (ui.reportLines() != std::vector<int>{124, 124, 124, 124, 212}) {
            return 1;
        }
        if (test::readBytes(out + "/new/fine.txt") != "T" ||
            test::readBytes(out + "/ro.txt") != "old") {
            return 2;
        }
        return std::filesystem::exists(out + "/never.txt") ? 3 : 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(CreationRunOnDisk, NoLinkOrHardLinkOrUnreadableListIsWrittenOver) {
    test::TempFolder tmp;
    const std::string out = tmp / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(out.c_str(), 0777), 0);
    const std::vector<std::string> targets = {
        tmp / "symlink-to-a",   // a symbolic link to the list that names it
        tmp / "hardlink-to-b",  // a hard link to another list
        tmp / "c.txt",          // a list that may be written but not read
        tmp / "./a.txt",        // the list itself by another spelling
        out + "/a.txt",         // a list's name elsewhere: an ordinary target
    };
    std::string a;
    for (const std::string& target : targets) {
        a += target + ">overwritten\n";
    }
    test::writeBytes(tmp / "a.txt", a);
    test::writeBytes(tmp / "b.txt", out + "/from-b>b");
    test::writeBytes(tmp / "c.txt", out + "/from-c>c");
    ASSERT_EQ(::symlink((tmp / "a.txt").c_str(), (tmp / "symlink-to-a").c_str()), 0);
    ASSERT_EQ(::link((tmp / "b.txt").c_str(), (tmp / "hardlink-to-b").c_str()), 0);
    // Writable by the run, so only the guard stands between it and the lists.
    for (const char* name : {"a.txt", "b.txt"}) {
        ASSERT_EQ(::chmod((tmp / name).c_str(), 0666), 0);
    }
    ASSERT_EQ(::chmod((tmp / "c.txt").c_str(), 0222), 0);
    std::vector<Snapshot> before;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        before.push_back(snapshot(tmp / name));
    }

    int status = test::runUnprivileged([&] {
        test::FakeCreationUi ui;
        ui.entries = {tmp / "a.txt", tmp / "b.txt", tmp / "c.txt"};
        PosixFileSystem fs;
        CreationRun run(fs, ui);
        run.createFiles();
        if (ui.reportLines() != std::vector<int>{124, 216, 216, 216, 216}) {
            return 1;
        }
        for (std::size_t i = 1; i < ui.reports.size(); ++i) {
            if (ui.reports[i].description !=
                "Cannot open '" + targets[i - 1] + "' for writing: it is a list file of this run") {
                return 2;
            }
        }
        return test::readBytes(out + "/a.txt") == "overwritten" &&
                       test::readBytes(out + "/from-b") == "b"
                   ? 0
                   : 3;
    });
    EXPECT_EQ(status, 0);
    int i = 0;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        SCOPED_TRACE(name);
        Snapshot after = snapshot(tmp / name);
        EXPECT_EQ(after.bytes, before[i].bytes);
        EXPECT_EQ(after.mtime.tv_nsec, before[i].mtime.tv_nsec);
        ++i;
    }
}

// A killed run can leave a temporary file beside the file it was replacing. The next run removes
// those older than itself from each folder where it replaces a file, and nothing else.
// New files are made through the folders a run keeps open while it writes. Each file still
// lands where its path says: with more folders than are kept open, and with a folder moved
// away and made again between two runs of one adapter. No folder stays open after a run.
TEST(CreationRunOnDisk, NewFilesLandWhereTheirPathsSayAndNoFolderStaysOpen) {
    test::TempFolder tmp;
    const auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    std::string list;
    for (int i = 0; i < 600; ++i) {
        list += tmp / ("d" + std::to_string(i % 300) + "/f" + std::to_string(i)) + "\n";
    }
    test::writeBytes(tmp / "list.txt", list);
    PosixFileSystem fs;
    test::FakeCreationUi ui;
    ui.entries = {tmp / "list.txt"};
    ui.recordProgress = false;
    const auto before = openFiles();
    for (const char* text : {"first", "second"}) {
        SCOPED_TRACE(text);
        if (text == std::string("second")) {
            // Between the runs d0 is moved away, emptied, and made again.
            std::filesystem::rename(tmp / "d0", tmp / "moved");
            std::filesystem::remove(tmp / "moved/f0");
            std::filesystem::remove(tmp / "moved/f300");
            ASSERT_TRUE(std::filesystem::create_directory(tmp / "d0"));
        }
        ui.text = text;
        CreationRun run(fs, ui);
        run.createFiles();
        EXPECT_EQ(ui.events.back(), "message Done.");
        EXPECT_EQ(openFiles(), before);
        EXPECT_EQ(test::readBytes(tmp / "d299/f599"), text);
        EXPECT_EQ(test::readBytes(tmp / "d0/f0"), text);
        EXPECT_EQ(test::readBytes(tmp / "d0/f300"), text);
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp / "moved"));
}

// The journal of a killed run in `runs`, begun 10 s ago, holding `records` and the NULs of its
// unwritten rest; `locked` keeps it open and locked as a run still writing does (the answer).
int killedRunJournal(const std::string& runs, const std::string& records, bool locked = false) {
    static int count = 0;
    const std::time_t start = std::time(nullptr) - 10;
    char name[64];
    std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", std::gmtime(&start));
    const std::string folder = runs + "/" + name + ".00000000" + std::to_string(count++) + "-0";
    std::filesystem::create_directories(folder);
    test::writeBytes(folder + "/journal",
                     "pellatrix-journal 3\n" + records + std::string(64, '\0'));
    if (!locked) {
        return -1;
    }
    const int fd = ::open((folder + "/journal").c_str(), O_RDONLY);
    EXPECT_EQ(::flock(fd, LOCK_EX), 0);
    return fd;
}

std::string hiddenRecords(const std::string& path, bool confirmed) {
    std::string records = "H " + std::to_string(path.size()) + " " + path + "\n";
    struct stat st {};
    if (confirmed && ::lstat(path.c_str(), &st) == 0) {
        records +=
            "h " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " 0 0 0 0\n";
    }
    return records;
}

// A killed run can leave a hidden file beside the file it was replacing. The next run that
// writes in that folder (a new file or a replace) removes it, when an ended run's journal
// records it and it is still the file that run made; nothing else, whatever its name.
TEST(CreationRunOnDisk, HiddenFilesOfKilledRunsGoByTheirRecordOnly) {
    test::TempFolder tmp;
    const std::string runs = tmp / "state/runs";
    const std::string replaced = tmp / "replaced";
    const std::string created = tmp / "created";
    const std::string untouched = tmp / "untouched";
    for (const std::string& folder : {replaced, created, untouched}) {
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    }
    test::writeBytes(replaced + "/a.txt", "old");
    struct Case {
        std::string path;
        const char* content;
        enum { Confirmed, Unconfirmed, Unrecorded, OtherFile, StillWriting } record;
        bool goes;
    };
    const std::vector<Case> cases = {
        {replaced + "/.a.txt.pellatrix-Ab12Cd", "part", Case::Confirmed, true},
        {created + "/.b.txt.pellatrix-ZZZZZ9", "part", Case::Confirmed, true},
        {replaced + "/.a.txt.pellatrix-Unconf", "", Case::Unconfirmed, true},
        // Written after its making was announced but never confirmed: not as made.
        {replaced + "/.a.txt.pellatrix-Writtn", "user's", Case::Unconfirmed, false},
        {replaced + "/.a.txt.pellatrix-Swappd", "user's", Case::OtherFile, false},
        {replaced + "/.a.txt.pellatrix-Busy01", "part", Case::StillWriting, false},
        {untouched + "/.c.txt.pellatrix-Ab12Cd", "part", Case::Confirmed, false},
        {replaced + "/.notes.pellatrix-backup", "user's", Case::Unrecorded, false},
        {replaced + "/.a.txt.pellatrix-Xy12Zz", "", Case::Unrecorded, false},
    };
    std::vector<int> locks;
    for (const Case& c : cases) {
        test::writeBytes(c.path, c.content);
        if (c.record == Case::OtherFile) {
            // Recorded as a file that is gone; the user's now stands under its name.
            killedRunJournal(runs, hiddenRecords(c.path, true));
            test::writeBytes(c.path + "~", c.content);
            std::filesystem::rename(c.path + "~", c.path);
        } else if (c.record != Case::Unrecorded) {
            locks.push_back(killedRunJournal(runs,
                                             hiddenRecords(c.path, c.record != Case::Unconfirmed),
                                             c.record == Case::StillWriting));
        }
    }
    test::writeBytes(tmp / "list.txt", replaced + "/a.txt>new\n" + created + "/b.txt>new\n");

    test::FakeCreationUi ui;
    ui.entries = {tmp / "list.txt"};
    PosixFileSystem fs;
    CreationRun run(fs, ui);
    run.keepJournalIn(runs);
    run.createFiles();
    EXPECT_TRUE(ui.reports.empty());
    EXPECT_EQ(test::readBytes(replaced + "/a.txt"), "new");
    for (const Case& c : cases) {
        EXPECT_EQ(std::filesystem::exists(c.path), !c.goes) << c.path;
    }
    for (int fd : locks) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

}  // namespace
}  // namespace pellatrix
