// The breadth-first scan against an in-memory tree: exact orders, attribute words and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/run/ReportLocations.h"
#include "folderservices/FolderScan.h"
#include "tests/folderservices/FakeFileSystem.h"

namespace pellatrix {
namespace {

using test::FakeFileSystem;
using Strings = std::vector<std::string>;

struct Report {
    std::string description;
    std::string location;
    int line;
};

struct ScanResult {
    FolderList folders;
    std::vector<Report> reports;
    int yields = 0;
};

// `failingYield`: the number of the yield that fails (error 75), 0 for none.
ScanResult scan(FakeFileSystem& fs, FolderList folders, bool recurse = true, int failingYield = 0) {
    ScanResult result;
    FolderScan scanner(
        fs,
        [&] {
            if (++result.yields == failingYield) {
                throw FsError(75, "yield broke");
            }
        },
        [&](const std::string& description, const std::string& location, int line) {
            result.reports.push_back({description, location, line});
        });
    const FolderList start = folders;
    FakeFileSystem streamedFs = fs;  // as it was, and what the one-shot scan records stays its own
    scanner.GetSubDirectories2016(folders, recurse);
    result.folders = folders;

    // The folder add's streamed scan of one start folder hands on the same entries, in the same
    // order, with the same failures reported.
    if (recurse && start.size() == 1 && failingYield == 0) {
        FolderList streamed;
        std::vector<int> streamedLines;
        FolderScan streamer(
            streamedFs, [] {},
            [&](const std::string&, const std::string&, int line) {
                streamedLines.push_back(line);
            });
        streamer.streamTree(start.front(), "*",
                            [&](const std::string& entry, std::optional<std::vector<ListedFile>>) {
                                streamed.push_back(entry);
                            });
        EXPECT_EQ(streamed, result.folders);
        std::vector<int> oneShotLines;
        for (const Report& report : result.reports) {
            oneShotLines.push_back(report.line);
        }
        std::sort(oneShotLines.begin(), oneShotLines.end());
        std::sort(streamedLines.begin(), streamedLines.end());
        EXPECT_EQ(streamedLines, oneShotLines);
    }
    return result;
}

std::vector<int> lines(const ScanResult& r) {
    std::vector<int> out;
    for (const Report& report : r.reports) {
        out.push_back(report.line);
    }
    return out;
}

TEST(FolderScanOrder, BreadthFirstSortedGroupedByParent) {
    // The platform lists b before a; the scan walks them sorted.
    FakeFileSystem fs;
    fs.addFolder("/S/b");
    fs.addFolder("/S/a");
    fs.addFolder("/S/b/x");
    fs.addFolder("/S/a/x");
    fs.addFolder("/S/a/x/deep");

    ScanResult r = scan(fs, {"/S/"});
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", "/S/b/", "/S/a/x/", "/S/b/x/", "/S/a/x/deep/"}));
    EXPECT_TRUE(r.reports.empty());
    // One yield before each listed folder's test, one per name read, one per folder in its
    // parent's final pass.
    const int listedFolders = 6;
    const int namesRead = 5;
    const int finalPassVisits = 5;
    EXPECT_EQ(r.yields, listedFolders + namesRead + finalPassVisits);
}

TEST(FolderScanOrder, SeveralStartEntriesStayFirstAndLevelsFollowTheirOrder) {
    FakeFileSystem fs;
    fs.addFolder("/one/c");
    fs.addFolder("/two/d");
    fs.addFolder("/one/c/e");

    ScanResult r = scan(fs, {"/two/", "/one/"});
    EXPECT_EQ(r.folders, (Strings{"/two/", "/one/", "/two/d/", "/one/c/", "/one/c/e/"}));
}

TEST(FolderScanOrder, NoRecursionAddsOnlyTheFirstLevel) {
    FakeFileSystem fs;
    fs.addFolder("/S/a/x");
    fs.addFolder("/S/b");
    ScanResult r = scan(fs, {"/S/"}, false);
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", "/S/b/"}));
    EXPECT_EQ(fs.listed(), (Strings{"/S/"}));
}

TEST(FolderScanOrder, NothingToDoLeavesTheListAndListsNothing) {
    FakeFileSystem fs;
    fs.addFolder("/empty");
    fs.addFile("/file.txt");
    const std::vector<FolderList> cases = {
        {},
        {"/empty/"},
        {"/missing/"},
        {"/file.txt/"},
    };
    for (const FolderList& start : cases) {
        FakeFileSystem copy = fs;
        ScanResult r = scan(copy, start);
        EXPECT_EQ(r.folders, start);
        EXPECT_TRUE(r.reports.empty());
        EXPECT_LE(copy.listed().size(), 1u);
    }
}

TEST(FolderScanOrder, StartEntryWithoutFinalSeparatorStillGivesWholePaths) {
    FakeFileSystem fs;
    fs.addFolder("/S/a");
    ScanResult r = scan(fs, {"/S"});
    EXPECT_EQ(r.folders, (Strings{"/S", "/S/a/"}));
}

TEST(FolderScanAttributes, OnlyTheExactHiddenSystemWordsHideASubtree) {
    struct Case {
        int attributes;
        bool kept;
    };
    const std::vector<Case> cases = {
        {kAttrHidden | kAttrSystem | kAttrDirectory, false},                      // 22
        {kAttrHidden | kAttrSystem | kAttrDirectory | kAttrReparsePoint, false},  // 1046
        {kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive, true},        // 54
        {kAttrHidden | kAttrSystem | kAttrDirectory | kAttrReadOnly, true},       // 23
        {kAttrHidden | kAttrDirectory, true},                                     // 18
        {kAttrSystem | kAttrDirectory, true},                                     // 20
        {kAttrDirectory | kAttrReparsePoint, true},                               // 1040
    };
    for (const Case& c : cases) {
        FakeFileSystem fs;
        fs.addFolder("/S/before");
        fs.addFolder("/S/odd", c.attributes);
        fs.addFolder("/S/odd/below");
        fs.addFolder("/S/after");
        ScanResult r = scan(fs, {"/S/"});
        const Strings expected =
            c.kept ? Strings{"/S/", "/S/after/", "/S/before/", "/S/odd/", "/S/odd/below/"}
                   : Strings{"/S/", "/S/after/", "/S/before/"};
        EXPECT_EQ(r.folders, expected) << "attribute word " << c.attributes;
    }
}

TEST(FolderScanAttributes, HiddenSystemStartEntryStaysUnlistedUnlessItIsTheRoot) {
    for (bool root : {false, true}) {
        FakeFileSystem fs;
        const std::string start = root ? "/" : "/sys";
        if (!root) {
            fs.addFolder(start);
        }
        fs.at(start).attributes = kAttrHidden | kAttrSystem | kAttrDirectory;
        fs.addFolder(root ? "/child" : "/sys/child");
        ScanResult r = scan(fs, {start + (root ? "" : "/")});
        if (root) {
            EXPECT_EQ(r.folders, (Strings{"/", "/child/"}));
        } else {
            EXPECT_EQ(r.folders, (Strings{"/sys/"}));
            EXPECT_TRUE(fs.listed().empty());
        }
    }
}

TEST(FolderScanNames, UnusableAndSpecialNamesAreSkippedWithTheirSubtrees) {
    struct Case {
        std::string name;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"plain", true},
        {"caf\xc3\xa9", true},               // é, 233: inside the usable range
        {"\xe6\x97\xa5\xe6\x9c\xac", true},  // above 255: the program carries it
        {"tab\there", false},                // control character
        {"what?", false},                    // "?"
        {"del\x7f", false},                  // 127
        {"c1\xc2\x80", false},               // U+0080
        {"c1end\xc2\x9f", false},            // U+009F
        {"nbsp\xc2\xa0", true},              // U+00A0, just past the range
        {"bad\xff", false},                  // not UTF-8
        {"overlong\xc0\xaf", false},         // overlong "/"
        {".", false},
        {"..", false},
    };
    for (const Case& c : cases) {
        FakeFileSystem fs;
        fs.addFolder("/S/" + c.name + "/x");
        ScanResult r = scan(fs, {"/S/"});
        const Strings expected =
            c.kept ? Strings{"/S/", "/S/" + c.name + "/", "/S/" + c.name + "/x/"} : Strings{"/S/"};
        EXPECT_EQ(r.folders, expected) << c.name;
    }
}

TEST(FolderScanLimits, TheLengthLimitsCountCharacters) {
    // "/L/" + 255 "a" + "/" is 259 characters: listed. One more makes 260: not listed, but the
    // folder itself is still added by the final pass.
    for (std::size_t nameLength : {255u, 256u}) {
        FakeFileSystem fs;
        const std::string deep = "/L/" + std::string(nameLength, 'a');
        fs.addFolder(deep + "/child");
        ScanResult r = scan(fs, {"/L/"});
        Strings expected = {"/L/", deep + "/"};
        if (deep.size() + 1 < 260) {
            expected.push_back(deep + "/child/");
        }
        EXPECT_EQ(r.folders, expected) << nameLength;
    }
    // Names: 259 characters pass, 260 do not. Multi-byte characters count once.
    const std::string twoByte = "\xc3\xa9";
    struct NameCase {
        std::string name;
        bool kept;
    };
    std::string long259;
    for (int i = 0; i < 259; ++i) {
        long259 += twoByte;
    }
    const std::vector<NameCase> names = {
        {std::string(259, 'n'), true},
        {std::string(260, 'n'), false},
        {long259, true},
        {long259 + "n", false},
    };
    for (const NameCase& c : names) {
        FakeFileSystem fs;
        fs.addFolder("/" + c.name);
        ScanResult r = scan(fs, {"/"});
        EXPECT_EQ(r.folders.size(), c.kept ? 2u : 1u) << c.name.size();
    }
}

TEST(FolderScanLimits, DeepTreeStopsAtTheLimitWithoutRunningAway) {
    // Each level adds two characters, so listing stops near level 129 and the recursion with it.
    FakeFileSystem fs;
    std::string path;
    for (int level = 0; level < 400; ++level) {
        path += "/d";
        fs.addFolder(path);
    }
    ScanResult r = scan(fs, {"/"});
    ASSERT_FALSE(r.folders.empty());
    const std::string& last = r.folders.back();
    EXPECT_GE(last.size(), 260u);
    EXPECT_LT(last.size(), 263u);
    for (std::size_t i = 0; i + 1 < r.folders.size(); ++i) {
        EXPECT_LT(r.folders[i].size(), r.folders[i + 1].size());
    }
}

TEST(FolderScanLoops, AFolderReachedTwiceIsKeptOnceUnderTheFirstPath) {
    struct Case {
        const char* what;
        std::function<void(FakeFileSystem&)> build;
        Strings folders;
        Strings listed;
        FolderList start = {"/S/"};
    };
    const std::vector<Case> cases = {
        {"links back to an ancestor",
         [](FakeFileSystem& fs) {
             fs.addFolder("/S/a");
             fs.addFolderLink("/S/a/up", "/S");
             fs.addFolderLink("/S/self", "/S");
         },
         {"/S/", "/S/a/"},
         {"/S/", "/S/a/"}},
        {"two links to one folder, sorted before it",
         [](FakeFileSystem& fs) {
             fs.addFolder("/S/x");
             fs.addFolderLink("/S/l2", "/S/x");
             fs.addFolderLink("/S/l1", "/S/x");
         },
         {"/S/", "/S/l1/"},
         {"/S/", "/S/l1/"}},
        {"a link to a folder one level deeper",
         [](FakeFileSystem& fs) {
             fs.addFolder("/S/a/deep");
             fs.addFolderLink("/S/l", "/S/a/deep");
         },
         {"/S/", "/S/a/", "/S/l/"},
         {"/S/", "/S/a/", "/S/l/"}},
        {"the start folder given twice",
         [](FakeFileSystem& fs) { fs.addFolder("/S/a"); },
         {"/S/", "/S/a/"},
         {"/S/", "/S/a/"},
         {"/S/", "/S"}},
    };
    for (const Case& c : cases) {
        FakeFileSystem fs;
        c.build(fs);
        ScanResult r = scan(fs, c.start);
        EXPECT_EQ(r.folders, c.folders) << c.what;
        EXPECT_EQ(fs.listed(), c.listed) << c.what;
        EXPECT_TRUE(r.reports.empty()) << c.what;
    }
}

TEST(FolderScanLoops, ATooLongSecondPathToAFolderMetBeforeIsDropped) {
    // The long path is not listed, but the caller would list its files: it goes as well.
    FakeFileSystem fs;
    const std::string outer = "/S/a/" + std::string(200, 'n');
    fs.addFolder(outer);
    fs.addFolderLink(outer + "/" + std::string(100, 'l'), "/S/a");
    ScanResult r = scan(fs, {"/S/"});
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", outer + "/"}));
}

TEST(FolderScanFailures, ListingFailureDropsTheFolderOnlyFor70And76) {
    struct Case {
        int number;
        bool dropped;
    };
    for (const Case& c : std::vector<Case>{{70, true}, {76, true}, {75, false}, {53, false}}) {
        FakeFileSystem fs;
        fs.addFolder("/S/a/x");
        fs.addFolder("/S/b/y");
        fs.addFolder("/S/c");
        fs.at("/S/b").listFailure = c.number;
        ScanResult r = scan(fs, {"/S/"});
        const Strings expected = c.dropped ? Strings{"/S/", "/S/a/", "/S/c/", "/S/a/x/"}
                                           : Strings{"/S/", "/S/a/", "/S/b/", "/S/c/", "/S/a/x/"};
        EXPECT_EQ(r.folders, expected) << c.number;
        EXPECT_TRUE(r.reports.empty()) << c.number;
    }
}

TEST(FolderScanFailures, StartFolderThatRefusesListingLeavesAnEmptyList) {
    FakeFileSystem fs;
    fs.addFolder("/locked/inside");
    fs.at("/locked").listFailure = kErrPermissionDenied;
    ScanResult r = scan(fs, {"/locked/"});
    EXPECT_TRUE(r.folders.empty());
    EXPECT_TRUE(r.reports.empty());
}

TEST(FolderScanFailures, TwoRefusingSiblingsAreBothDroppedAndTheRestIsCovered) {
    // A hidden system sibling after the dropped ones still leaves the result: the final pass
    // matches each remaining entry with its own attribute word.
    FakeFileSystem fs;
    for (const char* name : {"a", "no1", "no2", "hs", "b"}) {
        fs.addFolder(std::string("/S/") + name + "/sub");
    }
    fs.at("/S/no1").listFailure = kErrPermissionDenied;
    fs.at("/S/no2").listFailure = kErrPathNotFound;
    fs.at("/S/hs").attributes = kAttrHidden | kAttrSystem | kAttrDirectory;
    ScanResult r = scan(fs, {"/S/"});
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", "/S/b/", "/S/a/sub/", "/S/b/sub/"}));
    EXPECT_TRUE(r.reports.empty());
}

TEST(FolderScanFailures, NamesFoundBeforeAFailureInTheNameLoopStay) {
    // The yield before the second name fails: the first name stays, the folder too (75).
    FakeFileSystem fs;
    fs.addFolder("/S/first");
    fs.addFolder("/S/second");
    ScanResult r = scan(fs, {"/S/"}, true, 3);
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/first/"}));
    EXPECT_TRUE(r.reports.empty());
}

TEST(FolderScanFailures, RemovalTakesTheFirstEqualEntryAndSkipsNoOther) {
    FakeFileSystem fs;
    fs.addFolder("/A/x");
    fs.addFolder("/B/y");
    fs.at("/A").listFailure = kErrPermissionDenied;
    ScanResult r = scan(fs, {"/A/", "/B/", "/A/"});
    EXPECT_EQ(r.folders, (Strings{"/B/", "/B/y/"}));
}

TEST(FolderScanFailures, FailuresBeforeTheFirstListingAreReportedWithTheirStep) {
    // The opening of the first folder fails: reported at 112. The test of 116 still holds, so
    // the folder is listed, and that listing now falls under the rule.
    struct Case {
        int number;
        Strings expected;
    };
    for (const Case& c : std::vector<Case>{{75, {"/S/"}}, {kErrPathNotFound, {}}}) {
        FakeFileSystem fs;
        fs.addFolder("/S/a");
        fs.at("/S").identityFailure = c.number;
        ScanResult r = scan(fs, {"/S/"});
        EXPECT_EQ(r.folders, c.expected);
        ASSERT_EQ(lines(r), (std::vector<int>{112}));
        EXPECT_EQ(r.reports[0].location, locations::kGetSubDirectories2016);
        EXPECT_EQ(r.reports[0].description, "identity of /S/ failed");
    }
}

TEST(FolderScanFailures, FailuresAfterTheFirstListingOfAPassAreSilent) {
    // Once /S/a was listed, a failing open or root test of a later sibling follows the rule.
    FakeFileSystem fs;
    fs.addFolder("/S/a");
    fs.addFolder("/S/b/deep");
    fs.addFolder("/S/c", kAttrHidden | kAttrSystem | kAttrDirectory);
    fs.addFolder("/S/c/deep");
    fs.addFolder("/S/d/deep");
    fs.at("/S/b").identityFailure = kErrPermissionDenied;
    fs.at("/S/c").rootFailure = 75;
    fs.at("/S/d").identityFailure = 75;
    ScanResult r = scan(fs, {"/S/"});
    // b: dropped (70). c: its test failed with 75, so it stays unlisted. d: kept unlisted.
    // The final pass of the outer call then reports c's root test (158) and, as for every
    // failed test, adds it.
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", "/S/c/", "/S/d/"}));
    EXPECT_EQ(lines(r), (std::vector<int>{158}));
}

TEST(FolderScanFailures, HiddenSystemStartEntryWithFailingRootTestIsReportedThenListed) {
    FakeFileSystem fs;
    fs.addFolder("/H", kAttrHidden | kAttrSystem | kAttrDirectory);
    fs.addFolder("/H/in");
    fs.at("/H").rootFailure = 75;
    ScanResult r = scan(fs, {"/H/"});
    EXPECT_EQ(lines(r), (std::vector<int>{116}));
    EXPECT_EQ(r.folders, (Strings{"/H/", "/H/in/"}));
}

TEST(FolderScanFailures, AFailingFinalTestDeepDownIsReportedOnce) {
    FakeFileSystem fs;
    fs.addFolder("/S/a/b");
    fs.addFolder("/S/a/b/h", kAttrHidden | kAttrSystem | kAttrDirectory);
    fs.at("/S/a/b/h").rootFailure = 75;
    ScanResult r = scan(fs, {"/S/"});
    // 116 in its own pass (alone there, so before any listing), 158 in its parent's final pass
    // and not again at each level above.
    EXPECT_EQ(lines(r), (std::vector<int>{116, 158}));
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/", "/S/a/b/", "/S/a/b/h/"}));
}

TEST(FolderScanFailures, AFailingYieldIsReportedAndTheScanGoesOn) {
    FakeFileSystem fs;
    fs.addFolder("/S/a");
    ScanResult r = scan(fs, {"/S/"}, true, 1);
    EXPECT_EQ(r.folders, (Strings{"/S/", "/S/a/"}));
    ASSERT_EQ(r.reports.size(), 1u);
    EXPECT_EQ(r.reports[0].line, 114);
    EXPECT_EQ(r.reports[0].description, "yield broke");
}

}  // namespace
}  // namespace pellatrix
