#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/lists/PathRules.h"
#include "tests/engine/FakeFileSystem.h"

namespace pellatrix {
namespace {

struct PathCase {
    PathFlavour flavour;
    std::string path;
    std::string folder;
    std::string name;
    std::string cleaned;
};

TEST(PathRules, FolderPartFileNamePartAndCleanFileNameInBothFlavours) {
    const PathFlavour win = PathFlavour::Windows;
    const PathFlavour nix = PathFlavour::Posix;
    const std::vector<PathCase> cases = {
        {win, "C:\\test\\newfolder1\\out.txt", "C:\\test\\newfolder1\\", "out.txt",
         "C:\\test\\newfolder1\\out.txt"},
        {nix, "/tmp/test/newfolder1/out.txt", "/tmp/test/newfolder1/", "out.txt",
         "/tmp/test/newfolder1/out.txt"},
        {win, "out.txt", "", "out.txt", "out.txt"},
        {nix, "out.txt", "", "out.txt", "out.txt"},
        {win, "C:\\test\\", "C:\\test\\", "", "C:\\test\\"},
        {nix, "/tmp/test/", "/tmp/test/", "", "/tmp/test/"},
        {win, "C:\\te;st\\a:b=c?.txt", "C:\\te;st\\", "a:b=c?.txt", "C:\\te;st\\abc.txt"},
        {nix, "/tmp/te;st/a:b=c?.txt", "/tmp/te;st/", "a:b=c?.txt", "/tmp/te;st/abc.txt"},
        {win, "C:\\test\\a?b;c.txt", "C:\\test\\", "a?b;c.txt", "C:\\test\\abc.txt"},
        {nix, "/tmp/test/a?b;c.txt", "/tmp/test/", "a?b;c.txt", "/tmp/test/abc.txt"},
        // A forward slash is no separator on Windows: the whole path is a bare name.
        {win, "C:/test/out.txt", "", "C:/test/out.txt", "Ctestout.txt"},
        // ... and a backslash is none on Linux, but is still cleaned out of the name.
        {nix, "C:\\test\\out.txt", "", "C:\\test\\out.txt", "Ctestout.txt"},
        {win, "C:\\t\\?*|<>;:[]\"/\\", "C:\\t\\?*|<>;:[]\"/\\", "", "C:\\t\\?*|<>;:[]\"/\\"},
        {nix, "/t/?*|<>;:[]\"\\=", "/t/", "?*|<>;:[]\"\\=", "/t/"},
        {nix, "/", "/", "", "/"},
        {nix, "", "", "", ""},
        {nix, "/t/\ta b .txt ", "/t/", "\ta b .txt ", "/t/\ta b .txt "},
        {nix, "/t/caf\xC3\xA9.txt", "/t/", "caf\xC3\xA9.txt", "/t/caf\xC3\xA9.txt"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE("path '" + c.path + "'");
        EXPECT_EQ(FolderPart(c.path, c.flavour), c.folder);
        EXPECT_EQ(FileNamePart(c.path, c.flavour), c.name);
        EXPECT_EQ(FolderPart(c.path, c.flavour) + FileNamePart(c.path, c.flavour), c.path);
        EXPECT_EQ(CleanFileName(c.path, c.flavour), c.cleaned);
    }
}

TEST(PathRules, FilterCharsKeepsOrderEitherWay) {
    EXPECT_EQ(FilterChars("a?b*c", ForbiddenNameChars, false), "abc");
    EXPECT_EQ(FilterChars("a?b*c", ForbiddenNameChars, true), "?*");
    EXPECT_EQ(FilterChars("", "abc", true), "");
    EXPECT_EQ(FilterChars("abc", "", false), "abc");
    EXPECT_EQ(ForbiddenNameChars.size(), 15u);
    EXPECT_EQ(ForbiddenNameChars, "?*|<>;:[]\"/\\[]=");
}

TEST(ExistenceTests, AnswerFalseOnAnyFailure) {
    for (PathFlavour flavour : {PathFlavour::Posix, PathFlavour::Windows}) {
        char sep = SeparatorOf(flavour);
        std::string s(1, sep);
        test::FakeFileSystem fs(sep);
        fs.addFolder(s + "dir");
        fs.addFile(s + "dir" + s + "file.txt", "x");
        fs.failOn("attributes", s + "locked");
        fs.failOn("time", s + "locked");
        struct Case {
            std::string path;
            bool folder;
            bool exists;
        };
        const std::vector<Case> cases = {
            {s + "dir", true, true},
            {s + "dir" + s, true, true},
            {s + "dir" + s + "file.txt", false, true},
            {"", false, false},
            {s + "missing", false, false},
            {s + "locked", false, false},
            {s, true, true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE("path '" + c.path + "'");
            EXPECT_EQ(IsExistingFolder(fs, c.path, flavour), c.folder);
            EXPECT_EQ(PathExists(fs, c.path), c.exists);
        }
    }
}

}  // namespace
}  // namespace pellatrix
