#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include <string>
#include <vector>

#include "engine/run/CreationRun.h"
#include "engine/run/ReportLocations.h"
#include "tests/engine/FakeCreationUi.h"
#include "tests/engine/FakeFileSystem.h"

namespace pellatrix {
namespace {

using Strings = std::vector<std::string>;

struct RunFixture {
    test::FakeFileSystem fs;
    test::FakeCreationUi ui;
    CreationRun run{fs, ui};

    RunFixture() { fs.addFolder("/lists"); }
    void list(const std::string& name, const std::string& bytes) {
        fs.addFile("/lists/" + name, bytes);
        ui.entries.push_back("/lists/" + name);
    }
    Strings eventsWithout(const std::string& prefix) const {
        Strings out;
        for (const std::string& e : ui.events) {
            if (e.rfind(prefix, 0) != 0) {
                out.push_back(e);
            }
        }
        return out;
    }
};

TEST(CreationRun, EmptyInputListOnlySaysNoFilesAdded) {
    RunFixture f;
    f.run.createFiles();
    EXPECT_EQ(f.ui.events, Strings{"message No files added."});
    EXPECT_TRUE(f.fs.calls().empty());
    EXPECT_EQ(f.run.lastSummary().ending, CreationSummary::Ending::NoFilesAdded);
    EXPECT_FALSE(f.run.runInProgress());
}

TEST(CreationRun, ProgressPointerAndClosingStepsInOrder) {
    RunFixture f;
    f.list("a.txt", "/o/1\r\n/o/2\r\n");
    f.list("b.txt", "\r\n   \r\n/o/3");
    f.fs.setWriteHook([&](const std::string& path) { f.ui.events.push_back("write " + path); });
    f.run.createFiles();
    // Each file's share is set before it is written, as a fraction, and the last one sets 100.
    EXPECT_EQ(f.ui.events, (Strings{"busy", "progress 33.3333", "write /o/1", "progress 66.6667",
                                    "write /o/2", "progress 100", "write /o/3", "default",
                                    "progress 0", "bar text Progress Bar", "message Done."}));
    EXPECT_EQ(f.run.lastSummary().filesWritten, 3u);
    EXPECT_EQ(f.run.lastSummary().failures, 0u);
}

TEST(CreationRun, AllFoldersExistBeforeTheFirstWrite) {
    RunFixture f;
    f.list("a.txt", "/t/newfolder1/out.txt\r\n/t/newfolder2/this.txt");
    f.list("b.txt", "/t/newfolder3/junk.jnk");
    f.run.createFiles();
    Strings order;
    for (const std::string& c : f.fs.calls()) {
        if (c.rfind("mkdir ", 0) == 0 || c.rfind("write ", 0) == 0 || c.rfind("read ", 0) == 0) {
            order.push_back(c);
        }
    }
    // Each missing folder is made once, after its parent, as the preview foresees it.
    EXPECT_EQ(order, (Strings{"read /lists/a.txt", "mkdir /t", "mkdir /t/newfolder1",
                              "mkdir /t/newfolder2", "read /lists/b.txt", "mkdir /t/newfolder3",
                              "write /t/newfolder1/out.txt", "write /t/newfolder2/this.txt",
                              "write /t/newfolder3/junk.jnk"}));
    EXPECT_TRUE(f.fs.hasFolder("/t/newfolder3"));
}

struct ContentCase {
    const char* name;
    Strings lists;
    std::string fixed;
    Strings paths;
    Strings contents;
};

TEST(CreationRun, FixedTextPerLineContentAndTheFillRule) {
    const std::vector<ContentCase> cases = {
        {"fixed text everywhere, nothing added",
         {"/o/a\r\n/o/b"},
         "x\r\ny",
         {"/o/a", "/o/b"},
         {"x\r\ny", "x\r\ny"}},
        {"empty fixed text gives empty files", {"/o/a"}, "", {"/o/a"}, {""}},
        {"per-line contents",
         {"/o/a>first\r\n\r\n/o/b>second"},
         "F",
         {"/o/a", "/o/b"},
         {"first", "second"}},
        {"content keeps further '>'", {"/o/a>a>b"}, "F", {"/o/a"}, {"a>b"}},
        {"line ending in '>' gives an empty file", {"/o/a>"}, "F", {"/o/a"}, {""}},
        {"one '>' in another list file switches the whole run",
         {"/o/a\r\n/o/b", "/o/c>c"},
         "F",
         {"/o/a", "/o/b", "/o/c"},
         {"F", "F", "c"}},
        {"entries after the first content are written empty",
         {"/o/a\r\n/o/b>b\r\n/o/c\r\n/o/d>d"},
         "F",
         {"/o/a", "/o/b", "/o/c", "/o/d"},
         {"F", "b", "", "d"}},
        {"later entry of the same path wins", {"/o/a>1\r\n/o/a>2"}, "F", {"/o/a"}, {"2"}},
        {"forbidden characters leave the name only",
         {"/o;p/a?b;c.txt>z"},
         "F",
         {"/o;p/abc.txt"},
         {"z"}},
        {"spaces round '>' stay", {"/o/a > b "}, "F", {"/o/a "}, {" b "}},
    };
    for (const ContentCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunFixture f;
        for (std::size_t i = 0; i < c.lists.size(); ++i) {
            // Appended, not "l" + to_string(i): GCC 12 at -O3 raises a false -Wrestrict on
            // a literal plus a temporary string.
            std::string name = "l";
            name += std::to_string(i);
            f.list(name, c.lists[i]);
        }
        f.ui.text = c.fixed;
        f.run.createFiles();
        EXPECT_TRUE(f.ui.reports.empty());
        for (std::size_t i = 0; i < c.paths.size(); ++i) {
            EXPECT_EQ(f.fs.file(c.paths[i]), c.contents[i]) << c.paths[i];
        }
    }
}

TEST(CreationRun, LeadingTildeSlashNamesAPathInTheHomeFolder) {
    struct passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    const std::string passwdHome = user->pw_dir;
    const char* saved = std::getenv("HOME");
    const std::optional<std::string> savedHome =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    struct Case {
        const char* name;
        std::optional<std::string> home;  // none: HOME unset
        std::string line;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"HOME set", "/home/u", "~/s/a b.txt>1", "/home/u/s/a b.txt"},
        {"HOME unset", std::nullopt, "~/s/a.txt>1", passwdHome + "/s/a.txt"},
        {"HOME empty", "", "~/a.txt>1", passwdHome + "/a.txt"},
        {"~user is no home", "/home/u", "~user/a.txt>1", "~user/a.txt"},
        {"~ inside a path", "/home/u", "/o/~/a.txt>1", "/o/~/a.txt"},
        {"lone ~", "/home/u", "~>1", "~"},
        {"~ in the content only", "/home/u", "/o/a.txt>~/x", "/o/a.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.home) {
            ::setenv("HOME", c.home->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
        RunFixture f;
        f.list("l.txt", c.line);
        f.run.createFiles();
        EXPECT_EQ(f.fs.callsOf("write"), Strings{c.written});
        EXPECT_EQ(f.fs.file(c.written), c.line.substr(c.line.find('>') + 1));
        EXPECT_TRUE(f.ui.reports.empty());
    }
    if (savedHome) {
        ::setenv("HOME", savedHome->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

TEST(CreationRun, FixedTextIsReadAgainForEveryFile) {
    RunFixture f;
    f.list("a.txt", "/o/1\r\n/o/2\r\n/o/3");
    f.ui.text = "old";
    int yields = 0;
    // Yields: one per list file, then one per file; edit the text before the second file.
    f.ui.onYield = [&] {
        if (++yields == 3) {
            f.ui.text = "new";
        }
    };
    f.run.createFiles();
    EXPECT_EQ(f.fs.file("/o/1"), "old");
    EXPECT_EQ(f.fs.file("/o/2"), "new");
    EXPECT_EQ(f.fs.file("/o/3"), "new");
    EXPECT_EQ(yields, 4);
}

TEST(CreationRun, FillRuleTakesTheFixedTextOnceBeforeWriting) {
    RunFixture f;
    f.list("a.txt", "/o/1\r\n/o/2\r\n/o/3>c");
    f.ui.text = "before";
    int yields = 0;
    f.ui.onYield = [&] {
        if (++yields == 2) {  // the first phase-2 yield: the snapshot is taken already
            f.ui.text = "after";
        }
    };
    f.run.createFiles();
    EXPECT_EQ(f.fs.file("/o/1"), "before");
    EXPECT_EQ(f.fs.file("/o/2"), "before");
    EXPECT_EQ(f.fs.file("/o/3"), "c");
    EXPECT_EQ(f.ui.fixedTextReads, 1);
}

TEST(CreationRun, SecondStartDuringARunIsIgnored) {
    RunFixture f;
    f.list("a.txt", "/o/1\r\n/o/2");
    int nested = 0;
    f.ui.onYield = [&] {
        EXPECT_TRUE(f.run.runInProgress());
        std::size_t before = f.ui.events.size();
        f.run.createFiles();
        EXPECT_EQ(f.ui.events.size(), before);
        ++nested;
    };
    f.run.createFiles();
    EXPECT_EQ(nested, 3);
    EXPECT_FALSE(f.run.runInProgress());
    EXPECT_EQ(f.fs.writeCount(), 2u);
    // And a later run starts again.
    f.ui.onYield = nullptr;
    f.run.createFiles();
    EXPECT_EQ(f.fs.writeCount(), 4u);
}

struct FailureCase {
    const char* name;
    std::function<void(RunFixture&)> setUp;
    std::vector<int> lines;
    Strings written;
    std::size_t failures;
};

TEST(CreationRun, FailuresAreReportedWithTheirLineAndTheRunGoesOn) {
    const std::vector<FailureCase> cases = {
        {"missing list file",
         [](RunFixture& f) {
             f.ui.entries.push_back("/lists/gone.txt");
             f.list("b", "/o/b");
         },
         {124},
         {"/o/b"},
         1},
        {"list file that is a folder",
         [](RunFixture& f) {
             f.ui.entries.push_back("/lists");
             f.list("b", "/o/b");
         },
         {124},
         {"/o/b"},
         1},
        {"list entry lost meanwhile is skipped",
         [](RunFixture& f) {
             f.list("a", "/o/a");
             f.list("b", "/o/b");
             f.ui.onYield = [&f] {
                 if (f.ui.entries.size() == 2) {
                     f.ui.entries.pop_back();
                 }
             };
         },
         {122},
         {"/o/a"},
         1},
        {"write failure in fixed-text mode",
         [](RunFixture& f) {
             f.list("a", "/o/a\r\n/o/b\r\n/o/c");
             f.fs.failOn("write", "/o/b");
         },
         {212},
         {"/o/a", "/o/c"},
         1},
        {"write failure in per-line mode",
         [](RunFixture& f) {
             f.list("a", "/o/a>1\r\n/o/b>2");
             f.fs.failOn("write", "/o/a");
         },
         {216},
         {"/o/b"},
         1},
        // A tab is a legal name byte here, so the tab line names a file in the working folder.
        {"tab line is an entry of its own",
         [](RunFixture& f) { f.list("a", "\t\r\n/o/a"); },
         {},
         {"\t", "/o/a"},
         0},
        {"path ending in a separator makes the folder, then fails",
         [](RunFixture& f) { f.list("a", "/t/newfolder2/\r\n/o/a"); },
         {212},
         {"/o/a"},
         1},
        {"folder that cannot be made shows up at the write",
         [](RunFixture& f) {
             f.list("a", "/deny/x.txt\r\n/o/a");
             f.fs.failOn("mkdir", "/deny", kErrPermissionDenied);
         },
         {212},
         {"/o/a"},
         1},
        {"name of forbidden characters only",
         [](RunFixture& f) { f.list("a", "/o/?*:>x"); },
         {216},
         {},
         1},
        {"every entry failing reports each",
         [](RunFixture& f) {
             f.list("a", "/o/1\r\n/o/2\r\n/o/3");
             for (const char* p : {"/o/1", "/o/2", "/o/3"}) {
                 f.fs.failOn("write", p);
             }
         },
         {212, 212, 212},
         {},
         3},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunFixture f;
        f.fs.addFolder("/o");
        c.setUp(f);
        f.run.createFiles();
        EXPECT_EQ(f.ui.reportLines(), c.lines);
        for (const auto& r : f.ui.reports) {
            EXPECT_EQ(r.location, locations::kPushButton2);
            EXPECT_FALSE(r.description.empty());
        }
        EXPECT_EQ(f.fs.writeCount(), c.written.size());
        for (const std::string& p : c.written) {
            EXPECT_TRUE(f.fs.hasFile(p)) << p;
        }
        EXPECT_EQ(f.run.lastSummary().failures, c.failures);
        EXPECT_EQ(f.run.lastSummary().filesWritten, c.written.size());
        EXPECT_EQ(f.ui.events.back(), "message Done.");
        EXPECT_FALSE(f.run.runInProgress());
    }
}

TEST(CreationRun, ListFilesOfTheRunAreNeverOverwritten) {
    RunFixture f;
    f.fs.addFolder("/o");
    f.fs.addAlias("/o/link", "/lists/b.txt");
    f.list("a.txt", "/lists//a.txt\r\n/o/a.txt\r\n/o/link>x\r\n/lists/c.txt>y");
    f.list("b.txt", "/o/b");
    f.list("c.txt", "/o/c");  // may not be read, still a list of this run
    f.fs.failOn("read", "/lists/c.txt");
    f.run.createFiles();
    EXPECT_EQ(f.ui.reportLines(), (std::vector<int>{124, 216, 216, 216}));
    EXPECT_EQ(f.fs.file("/lists/a.txt"),
              "/lists//a.txt\r\n/o/a.txt\r\n/o/link>x\r\n/lists/c.txt>y");
    EXPECT_EQ(f.fs.file("/lists/b.txt"), "/o/b");
    EXPECT_EQ(f.fs.file("/lists/c.txt"), "/o/c");
    EXPECT_NE(f.ui.reports[1].description.find("list file of this run"), std::string::npos);
    // A list's name elsewhere is an ordinary target; each list's identity is taken once.
    EXPECT_EQ(f.fs.file("/o/a.txt"), "");
    EXPECT_EQ(f.fs.callsOf("identity"), (Strings{"/lists/a.txt", "/lists/b.txt", "/lists/c.txt"}));
}

TEST(CreationRun, ListFileFailingPartWayDeliversNoneOfItsLines) {
    RunFixture f;
    f.fs.setChunkSize(8);
    // Its first chunk already holds a '>' and a complete line: neither may count.
    f.list("bad.txt", "/o/x>1\r\n/o/y\r\n/o/z\r\n");
    f.fs.failReadAfter("/lists/bad.txt", 2);
    f.list("good.txt", "/o/a\r\n/o/b");
    f.ui.text = "F";
    f.run.createFiles();
    EXPECT_EQ(f.ui.reportLines(), std::vector<int>{124});
    EXPECT_EQ(f.fs.callsOf("write"), (Strings{"/o/a", "/o/b"}));
    // Still fixed-text mode: the failed file's '>' switched nothing.
    EXPECT_EQ(f.fs.file("/o/a"), "F");
    EXPECT_TRUE(f.fs.callsOf("mkdir").size() == 1u && f.fs.callsOf("mkdir")[0] == "/o");
}

TEST(CreationRun, FolderOfEveryEntryIsCheckedOnlyUntilSeenToExist) {
    RunFixture f;
    f.fs.addFolder("/o");
    f.list("a.txt", "/o/1\r\n/o/2\r\n/o/3\r\n/p/1\r\n/p/2");
    f.list("b.txt", "/o/4");
    f.run.createFiles();
    // /p/ is missing at first: asked with its parent, made, then known. A new list file asks
    // again.
    EXPECT_EQ(f.fs.callsOf("attributes"), (Strings{"/o", "/p", "/", "/o"}));
    EXPECT_EQ(f.fs.callsOf("mkdir"), Strings{"/p"});
}

TEST(CreationRun, MillionLineListRunsWithEveryLineCounted) {
    RunFixture f;
    f.fs.setRecording(false);
    f.ui.recordProgress = false;
    f.fs.addFolder("/o");
    std::string bytes;
    const int lines = 1000000;
    bytes.reserve(static_cast<std::size_t>(lines) * 10);
    for (int i = 0; i < lines; ++i) {
        bytes += (i % 3 == 0) ? "/o/a>" + std::to_string(i) + "\r\n" : std::string("  \n");
    }
    f.fs.setChunkSize(1 << 16);
    f.list("big.txt", bytes);
    f.run.createFiles();
    EXPECT_EQ(f.run.lastSummary().filesWritten, static_cast<std::size_t>((lines + 2) / 3));
    EXPECT_EQ(f.fs.file("/o/a"), std::to_string(999999));
    EXPECT_TRUE(f.ui.reports.empty());
}

}  // namespace
}  // namespace pellatrix
