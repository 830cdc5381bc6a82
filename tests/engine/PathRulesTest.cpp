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

struct MakeCase {
    const char* name;
    PathFlavour flavour;
    std::vector<std::string> existingFolders;
    std::vector<std::string> existingFiles;
    std::string path;
    bool result;
    std::vector<std::string> foldersAfter;  // must exist afterwards
    std::vector<std::string> mkdirCalls;    // exactly these, in order
    std::string missingDrive = {};          // a drive that is not there at all
};

TEST(MakeFolderPath, CreatesMissingAncestorsTopDownAndAlwaysEnds) {
    const PathFlavour win = PathFlavour::Windows;
    const PathFlavour nix = PathFlavour::Posix;
    const std::vector<MakeCase> cases = {
        {"three missing levels (Windows)",
         win,
         {"C:"},
         {},
         "C:\\a\\b\\c",
         true,
         {"C:\\a", "C:\\a\\b", "C:\\a\\b\\c"},
         {"C:\\a\\b\\c", "C:\\a\\b", "C:\\a", "C:\\a\\b", "C:\\a\\b\\c"}},
        {"three missing levels",
         nix,
         {},
         {},
         "/a/b/c",
         true,
         {"/a", "/a/b", "/a/b/c"},
         {"/a/b/c", "/a/b", "/a", "/a/b", "/a/b/c"}},
        {"existing folder", nix, {"/a"}, {}, "/a", true, {"/a"}, {"/a"}},
        {"root", nix, {}, {}, "/", true, {"/"}, {"/"}},
        {"doubled root", nix, {}, {}, "//", true, {"/"}, {"//"}},
        {"empty path", nix, {}, {}, "", false, {}, {""}},
        {"bare name", nix, {}, {}, "a", true, {"a"}, {"a"}},
        // A folder part as the run passes it: the final separator names the same folder.
        {"final separator",
         nix,
         {},
         {},
         "/a/b/",
         true,
         {"/a", "/a/b"},
         {"/a/b/", "/a/b", "/a", "/a/b", "/a/b/"}},
        {"final separator (Windows)",
         win,
         {"C:"},
         {},
         "C:\\a\\b\\",
         true,
         {"C:\\a", "C:\\a\\b"},
         {"C:\\a\\b\\", "C:\\a\\b", "C:\\a", "C:\\a\\b", "C:\\a\\b\\"}},
        {"missing drive ends",
         win,
         {},
         {},
         "Q:\\a\\b",
         false,
         {},
         {"Q:\\a\\b", "Q:\\a", "Q:"},
         "Q:"},
        {"relative chain ends", nix, {}, {}, "x/y", true, {"x", "x/y"}, {"x/y", "x", "x/y"}},
        {"doubled separators",
         nix,
         {},
         {},
         "/a//b",
         true,
         {"/a", "/a/b"},
         {"/a//b", "/a/", "/a//b"}},
        {"a file in the middle",
         nix,
         {"/a"},
         {"/a/f"},
         "/a/f/g/h",
         false,
         {},
         {"/a/f/g/h", "/a/f/g", "/a/f", "/a/f/g"}},
    };
    for (const MakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        char sep = SeparatorOf(c.flavour);
        test::FakeFileSystem fs(sep);
        for (const std::string& f : c.existingFolders) {
            fs.addFolder(f);
        }
        for (const std::string& f : c.existingFiles) {
            fs.addFile(f, "");
        }
        if (!c.missingDrive.empty()) {
            fs.failOn("mkdir", c.missingDrive, kErrPathNotFound);
        }
        EXPECT_EQ(MakeFolderPath(fs, c.path, c.flavour), c.result);
        for (const std::string& f : c.foldersAfter) {
            EXPECT_TRUE(fs.hasFolder(f)) << f;
        }
        EXPECT_EQ(fs.callsOf("mkdir"), c.mkdirCalls);
    }
}

TEST(MakeFolderPath, DeepAndHostilePathsEndWithoutThrowing) {
    std::string deep;
    for (int i = 0; i < 5000; ++i) {
        deep += "/d";
    }
    test::FakeFileSystem fs;
    EXPECT_TRUE(MakeFolderPath(fs, deep));
    EXPECT_TRUE(fs.hasFolder(deep));
    EXPECT_LE(fs.callsOf("mkdir").size(), 2u * 5000u);

    // Every level failing for another reason than a missing parent stops at once.
    test::FakeFileSystem denied;
    denied.failOn("mkdir", "/x/y", kErrPermissionDenied);
    EXPECT_TRUE(MakeFolderPath(denied, "/x/y"));
    EXPECT_EQ(denied.callsOf("mkdir").size(), 1u);

    // A parent that cannot be created makes the whole answer false, with nothing thrown.
    test::FakeFileSystem parentDenied;
    parentDenied.failOn("mkdir", "/p", kErrPathNotFound);
    EXPECT_FALSE(MakeFolderPath(parentDenied, "/p/q/r"));
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
