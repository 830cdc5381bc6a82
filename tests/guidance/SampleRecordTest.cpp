#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fs/FsError.h"
#include "engine/posix/PosixFileSystem.h"
#include "guidance/SampleRecord.h"

namespace fs = std::filesystem;

namespace pellatrix {
namespace {

// A program folder of its own for each test, removed afterwards.
class ProgramFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pellatrix-guidance-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
    }
    void TearDown() override { fs::remove_all(m_root); }

    void addSample(const std::string& name) {
        fs::create_directories(samples());
        std::ofstream(samples() / name) << "/tmp/test/x.txt\n";
    }
    fs::path samples() const { return m_root / "Samples"; }
    std::string root() const { return m_root.string(); }

    PosixFileSystem m_fs;
    fs::path m_root;
};

TEST_F(ProgramFolder, RecordJoinsFullPathsSorted) {
    // Created sorted: tmpfs lists the newest first, ext4 in hash order, neither sorted.
    const std::vector<std::string> sorted = {".hidden.txt",  "a.txt",       "B.txt",
                                             "c d.txt",      "fixed.txt",   "noextension",
                                             "per-line.txt", "sample1.txt", "Z.txt"};
    for (const std::string& name : sorted) {
        addSample(name);
    }
    fs::create_directories(samples() / "subfolder");  // folders are no samples
    std::vector<std::string> readdirOrder;
    for (const auto& entry : fs::directory_iterator(samples())) {
        if (entry.is_regular_file()) {
            readdirOrder.push_back(entry.path().filename().string());
        }
    }
    ASSERT_NE(readdirOrder, sorted) << "the disk lists these sorted already";

    std::string expected;
    for (const std::string& name : sorted) {
        // Two appends, not a literal plus a temporary string: GCC 12 at -O3 raises a false
        // -Wrestrict on that.
        expected += expected.empty() ? "" : "|";
        expected += root() + "/Samples/" + name;
    }
    const std::string record = buildSampleRecord(m_fs, root());
    EXPECT_EQ(record, expected);
    EXPECT_NE(record.front(), '|');
    EXPECT_NE(record.back(), '|');
    EXPECT_EQ(splitSampleRecord(record).size(), sorted.size());
}

TEST_F(ProgramFolder, RecordOfOneSampleHasNoSeparator) {
    addSample("sample1.txt");
    EXPECT_EQ(buildSampleRecord(m_fs, root()), root() + "/Samples/sample1.txt");
}

TEST_F(ProgramFolder, EmptySamplesFolderGivesEmptyRecord) {
    fs::create_directories(samples());
    EXPECT_EQ(buildSampleRecord(m_fs, root()), "");
}

TEST_F(ProgramFolder, MissingSamplesFolderReachesCaller) {
    try {
        buildSampleRecord(m_fs, root());
        FAIL() << "a missing folder must not read as a record";
    } catch (const FsError& e) {
        EXPECT_EQ(e.number(), kErrPathNotFound);
    }
}

TEST(SplitSampleRecord, PartsAreOneMoreThanSeparators) {
    struct Case {
        std::string record;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {"", {}},
        {"/a", {"/a"}},
        {"/a|/b", {"/a", "/b"}},
        {"/a|", {"/a", ""}},
        {"|", {"", ""}},
        {"|/b||", {"", "/b", "", ""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(splitSampleRecord(c.record), c.parts) << '"' << c.record << '"';
    }
}

}  // namespace
}  // namespace pellatrix
