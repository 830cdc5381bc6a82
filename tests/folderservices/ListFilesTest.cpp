// Listing files by wildcard, the existence tests and the name rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "folderservices/FolderScan.h"
#include "tests/folderservices/TempTree.h"

namespace pellatrix {
namespace {

using test::TempTree;
using Strings = std::vector<std::string>;

TEST(Wildcard, StarQuestionMarkAndCaseAsADirectorySearch) {
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"*.*", "a.txt", true},
        {"*.*", "noext", true},  // "*.*" is every name
        {"*.*", ".hidden", true},
        {"x.*", "x", true},
        {"x.*", "xy", false},
        {"*.txt", "a.txt", true},
        {"*.txt", "A.TXT", true},
        {"*.TXT", "a.txt", true},
        {"*.txt", ".txt", true},
        {"*.txt", "a.txt.bak", false},
        {"*.txt", "atxt", false},
        {"?.txt", "a.txt", true},
        {"?.txt", "ab.txt", false},
        {"?.txt", ".txt", false},
        {"*", "anything at all", true},
        {"a[1].txt", "a[1].txt", true},  // brackets are plain characters
        {"a[1].txt", "a1.txt", false},
        {"a\\*", "a\\b", true},  // so is a backslash
        {"a\\*", "ab", false},
        {"*.doc", "a.txt", false},
        {"*.", "a.", true},
        {"?.txt", "\xc3\xa9.txt", true},  // one character, whatever its length in bytes
        {"??.txt", "\xc3\xa9.txt", false},
        {"\xc3\xa9*", "\xc3\x89T\xc3\x89.txt", true},  // non-ASCII letters ignore case too
        {"*.\xce\xa3", "x.\xcf\x82", true},            // final sigma folds with sigma
        {"?.txt", "\xff.txt", true},                   // a stray byte is one character
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
    }
}

TEST(NameRules, UnusableCharactersAndCharacterCount) {
    struct Case {
        std::string name;
        bool unusable;
        std::size_t characters;
    };
    const std::vector<Case> cases = {
        {"", false, 0},
        {"plain name.txt", false, 14},
        {"?", true, 1},
        {"a\tb", true, 3},
        {std::string("a\0b", 3), true, 3},
        {"\x1f", true, 1},
        {" ", false, 1},
        {"~", false, 1},
        {"\x7f", true, 1},
        {"\xc2\x80", true, 1},
        {"\xc2\x9f", true, 1},
        {"\xc2\xa0", false, 1},
        {"\xc3\xbf", false, 1},          // 255
        {"\xe2\x82\xac", false, 1},      // euro sign
        {"\xf0\x9f\x98\x80", false, 1},  // emoji
        {"\xff", true, 1},               // no UTF-8 at all
        {"\xc3", true, 1},               // cut short
        {"\xe2\x82", true, 2},           // cut short: two stray bytes
        {"\xed\xa0\x80", true, 3},       // a surrogate is no character
        {"\xc1\xbf", true, 2},           // overlong
        {"\xf4\x90\x80\x80", true, 4},   // past U+10FFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HasUnusableChars(c.name), c.unusable) << testing::PrintToString(c.name);
        EXPECT_EQ(CharacterCount(c.name), c.characters) << testing::PrintToString(c.name);
    }
}

class ListFilesOnDisk : public testing::Test {
protected:
    void SetUp() override {
        tree.file("a.txt");
        tree.file("B.TXT");
        tree.file(".hidden.txt");
        tree.file("noext");
        tree.file("c.txt.bak");
        tree.folder("dir.txt");
        tree.link("linked.txt", "a.txt");
        tree.link("dangling.txt", "nowhere");
        tree.link("folderlink.txt", "dir.txt");
        tree.fifo("pipe.txt");
    }
    TempTree tree;
    PosixFileSystem fs;
};

TEST_F(ListFilesOnDisk, PatternsPickRegularFilesOnlySorted) {
    struct Case {
        const char* pattern;
        Strings expected;
    };
    const Strings allTxt = {".hidden.txt", "a.txt", "B.TXT", "linked.txt"};
    const std::vector<Case> cases = {
        {"*.txt", allTxt},
        {"*.TXT", allTxt},
        {"*.*", {".hidden.txt", "a.txt", "B.TXT", "c.txt.bak", "linked.txt", "noext"}},
        {"?.txt", {"a.txt", "B.TXT"}},
        {"*.doc", {}},
        {"noext", {"noext"}},
    };
    for (const Case& c : cases) {
        const Strings& expected = c.expected;
        EXPECT_EQ(ListFilesInFolder(fs, tree.root(), c.pattern), expected) << c.pattern;
        EXPECT_EQ(ListFilesInFolder(fs, tree.root() + "/", c.pattern), expected) << c.pattern;
    }
}

TEST_F(ListFilesOnDisk, FailuresReachTheCaller) {
    struct Case {
        std::string folder;
        int number;
    };
    const std::vector<Case> cases = {
        {tree.path("missing"), kErrPathNotFound},
        {tree.path("a.txt"), kErrPathNotFound},
        {tree.path("missing/deeper/"), kErrPathNotFound},
    };
    for (const Case& c : cases) {
        try {
            ListFilesInFolder(fs, c.folder, "*.*");
            ADD_FAILURE() << "no failure for " << c.folder;
        } catch (const FsError& e) {
            EXPECT_EQ(e.number(), c.number) << c.folder;
            EXPECT_NE(std::string(e.what()).find(c.folder), std::string::npos) << e.what();
        }
    }
}

TEST_F(ListFilesOnDisk, ExistenceTestsNeverFail) {
    struct Case {
        std::string path;
        bool existingFile;
        bool missing;
    };
    const std::vector<Case> cases = {
        {tree.path("a.txt"), true, false},
        {tree.path("linked.txt"), true, false},
        {tree.path("dir.txt"), false, false},
        {tree.path("dir.txt") + "/", false, false},
        {tree.path("pipe.txt"), false, false},
        {tree.path("dangling.txt"), false, false},  // the link itself is there
        {tree.path("nothing"), false, true},
        {tree.path("a.txt/below"), false, true},
        {"", false, true},
        {std::string("/tmp\0/x", 7), false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsExistingFile(fs, c.path), c.existingFile) << c.path;
        EXPECT_EQ(PathIsMissing(fs, c.path), c.missing) << c.path;
    }
}

}  // namespace
}  // namespace pellatrix
