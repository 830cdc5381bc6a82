#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "engine/CreationRun.h"
#include "engine/FileSystem.h"
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
    run.PushButton2_Click();

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
        run.PushButton2_Click();
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

}  // namespace
}  // namespace pellatrix
