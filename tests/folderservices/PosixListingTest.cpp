// The POSIX listing and the whole scan on a real temporary tree, including refused folders and
// link loops (as an unprivileged user when the tests run as root).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "folderservices/FolderScan.h"
#include "tests/folderservices/TempTree.h"

namespace pellatrix {
namespace {

using test::ReaddirOrder;
using test::RunUnprivileged;
using test::TempTree;
using Strings = std::vector<std::string>;

Strings onlyThese(const Strings& order, const Strings& wanted) {
    Strings out;
    std::copy_if(order.begin(), order.end(), std::back_inserter(out), [&](const std::string& n) {
        return std::find(wanted.begin(), wanted.end(), n) != wanted.end();
    });
    return out;
}

struct RealScan {
    FolderList folders;
    int reports = 0;
};

RealScan scanReal(const FolderList& start) {
    PosixFileSystem fs;
    RealScan result{start, 0};
    FolderScan scan(
        fs, [] {}, [&](const std::string&, const std::string&, int) { ++result.reports; });
    scan.GetSubDirectories2016(result.folders, true);
    return result;
}

std::string joined(const RealScan& r) {
    std::ostringstream out;
    for (const std::string& f : r.folders) {
        out << f << '\n';
    }
    out << "reports " << r.reports;
    return out.str();
}

TEST(PosixListing, FoldersAndTheRestInReaddirOrderLinksFollowed) {
    TempTree tree;
    tree.folder("d1");
    tree.folder(".hiddendir");
    tree.file("f.txt");
    tree.file(".h");
    tree.link("ld", "d1");
    tree.link("lf", "f.txt");
    tree.link("dangling", "nowhere");
    tree.link("loop", "loop");
    tree.fifo("pipe");
    const Strings order = ReaddirOrder(tree.root());
    PosixFileSystem fs;
    for (const std::string& folder : {tree.root(), tree.root() + "/"}) {
        EXPECT_EQ(fs.subFolderNames(folder), onlyThese(order, {"d1", ".hiddendir", "ld"}));
        EXPECT_EQ(fs.fileNames(folder),
                  onlyThese(order, {"f.txt", ".h", "lf", "dangling", "loop", "pipe"}));
    }
    EXPECT_EQ(fs.regularFileNames(tree.root() + "/"), onlyThese(order, {"f.txt", ".h", "lf"}));
}

TEST(PosixListing, ListingShortcutsAgreeWithOneLookUpPerName) {
    // regularFileNames, listFiles and readFolder answer from the listing's entry types; they must
    // agree with fileNames + isExistingFile + attributes per name, also in a folder that may be
    // read but not searched (no file there can be opened) and one that may not be read. As a
    // user without privileges, so a read-only file is one.
    TempTree tree;
    for (const std::string folder : {"open", "readonly", "searchonly"}) {
        for (const char* name : {"a.txt", "b.txt", ".h", ".ro"}) {
            tree.file(folder + "/" + name);
        }
        ::chmod(tree.path(folder + "/.h").c_str(), 0666);
        ::chmod(tree.path(folder + "/.ro").c_str(), 0444);
        tree.link(folder + "/l.txt", "a.txt");
        tree.link(folder + "/.l", ".h");
        tree.link(folder + "/dangling", "nowhere");
        tree.link(folder + "/.lsub", "sub");
        tree.fifo(folder + "/.pipe");
        tree.folder(folder + "/sub");
        tree.folder(folder + "/.hsub");
    }
    tree.lock("readonly", 0444);
    tree.lock("searchonly", 0111);
    const std::string outcome = RunUnprivileged([&] {
        const auto keep = [](const std::string& name) { return name != "b.txt"; };
        // One listing as sorted text: "name" or "name:34", or the failure's number.
        const auto render = [](const std::function<std::vector<ListedFile>()>& list) {
            try {
                std::vector<std::string> shown;
                for (const ListedFile& f : list()) {
                    shown.push_back(f.name + (f.hiddenArchive ? ":34" : ""));
                }
                std::sort(shown.begin(), shown.end());
                std::string text;
                for (const std::string& s : shown) {
                    text += s + " ";
                }
                return text;
            } catch (const FsError& e) {
                return "failed " + std::to_string(e.number());
            }
        };
        std::ostringstream out;
        PosixFileSystem fs;
        for (const char* folder : {"open", "readonly", "searchonly"}) {
            const std::string path = tree.path(folder) + "/";
            const std::string lookUps =
                render([&] { return fs.FileSystem::listFiles(path, keep); });
            const std::string listed = render([&] { return fs.listFiles(path, keep); });
            const std::string regular = render([&] {
                std::vector<ListedFile> files;
                for (std::string& name : fs.regularFileNames(path)) {
                    if (keep(name)) {
                        files.push_back({name, fs.attributes(path + name) == 34});
                    }
                }
                return files;
            });
            // The scan's one read: the same files, and the same subfolders as subFolderNames.
            const std::string read = render([&] {
                FolderEntries entries = fs.readFolder(path, keep);
                if (entries.subFolders != fs.subFolderNames(path) || !entries.files) {
                    return std::vector<ListedFile>{{"(not as subFolderNames)", false}};
                }
                return *entries.files;
            });
            out << folder << ": " << lookUps << (listed == lookUps ? "" : " listFiles " + listed)
                << (regular == lookUps ? "" : " regularFileNames " + regular)
                << (read == lookUps ? "" : " readFolder " + read) << '\n';
        }
        return out.str();
    });
    EXPECT_EQ(outcome, "open: .h:34 .l .ro a.txt l.txt \nreadonly: \nsearchonly: failed 70\n");
}

TEST(PosixListing, FailuresCarryTheirNumberAndNameThePath) {
    TempTree tree;
    tree.file("file");
    tree.folder("locked/inner");
    tree.lock("locked");
    struct Case {
        std::string folder;
        int number;
    };
    const std::vector<Case> cases = {
        {tree.path("missing"), kErrPathNotFound},
        {tree.path("missing/deeper"), kErrPathNotFound},
        {tree.path("file"), kErrPathNotFound},
        {tree.path("file/"), kErrPathNotFound},
        {"", kErrPathNotFound},
        {tree.path("locked"), kErrPermissionDenied},
        {tree.path("locked/inner"), kErrPermissionDenied},
    };
    const std::string outcome = RunUnprivileged([&] {
        std::ostringstream out;
        PosixFileSystem fs;
        for (const Case& c : cases) {
            for (bool folders : {true, false}) {
                try {
                    folders ? fs.subFolderNames(c.folder) : fs.fileNames(c.folder);
                    out << c.folder << ": no failure\n";
                } catch (const FsError& e) {
                    const bool named =
                        std::string(e.what()).find("'" + c.folder + "'") != std::string::npos;
                    if (e.number() != c.number || !named) {
                        out << c.folder << ": " << e.number() << " " << e.what() << '\n';
                    }
                }
            }
        }
        return out.str();
    });
    EXPECT_EQ(outcome, "");
}

TEST(PosixListing, PathWithNulIsRefusedNotCutShort) {
    PosixFileSystem fs;
    const std::string withNul("/tmp\0/etc", 9);
    EXPECT_THROW(fs.subFolderNames(withNul), FsError);
    EXPECT_THROW(fs.fileNames(withNul), FsError);
}

TEST(RealScan, BreadthFirstSorted) {
    TempTree tree;
    // Names the program cannot carry are left out with everything below them.
    for (const char* p : {"S/b/x", "S/a/x", "S/c", "S/tab\there/x", "S/bad\xff/x"}) {
        tree.folder(p);
    }
    tree.file("S/a/file.txt");
    const std::string s = tree.path("S/");
    const RealScan r = scanReal({s});
    EXPECT_EQ(r.folders, (FolderList{s, s + "a/", s + "b/", s + "c/", s + "a/x/", s + "b/x/"}));
    EXPECT_EQ(r.reports, 0);
}

TEST(RealScan, EveryFileOnceThroughLinkLoopsAndSecondLinks) {
    // The folder list of a scan, each folder's files listed as a folder add does: every file of
    // the tree comes once, whatever links reach its folder again.
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> links;  // link, target
    };
    const std::vector<Case> cases = {
        {"loops back to ancestors", {{"S/a/b/up", "../.."}, {"S/self", "."}}},
        {"two links to one folder", {{"S/l1", "a/b"}, {"S/l2", "a/b"}}},
        {"a link sorted before its target", {{"S/0", "a"}}},
    };
    for (const Case& c : cases) {
        TempTree tree;
        const Strings files = {"S/top.txt", "S/a/one.txt", "S/a/b/two.txt", "S/a/b/three.txt"};
        for (const std::string& file : files) {
            tree.file(file);
        }
        for (const auto& [link, target] : c.links) {
            tree.link(link, target);
        }
        const RealScan r = scanReal({tree.path("S/")});
        EXPECT_EQ(r.reports, 0) << c.what;
        PosixFileSystem fs;
        std::vector<std::pair<dev_t, ino_t>> seen;
        for (const std::string& folder : r.folders) {
            for (const std::string& name : ListFilesInFolder(fs, folder, "*.txt")) {
                struct stat st {};
                ASSERT_EQ(::stat((folder + name).c_str(), &st), 0);
                seen.emplace_back(st.st_dev, st.st_ino);
            }
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen.size(), files.size()) << c.what;
        EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << c.what;
    }
}

TEST(RealScan, RefusedFoldersAreDroppedAsAnUnprivilegedUser) {
    TempTree tree;
    tree.folder("start/inside");
    tree.lock("start");
    for (const char* p : {"S/a/under", "S/no1/under", "S/no2/under", "S/b/under"}) {
        tree.folder(p);
    }
    tree.lock("S/no1");
    tree.lock("S/no2");
    const std::string s = tree.path("S/");

    const FolderList expected = {s, s + "a/", s + "b/", s + "a/under/", s + "b/under/"};

    const std::string refusedStart =
        RunUnprivileged([&] { return joined(scanReal({tree.path("start/")})); });
    EXPECT_EQ(refusedStart, "reports 0");
    const std::string siblings = RunUnprivileged([&] { return joined(scanReal({s})); });
    EXPECT_EQ(siblings, joined(RealScan{expected, 0}));
}

TEST(RealScan, MissingStartEntryStaysUnlistedWithoutAReport) {
    // Only a failing listing removes an entry; a missing one fails the existence test first.
    TempTree tree;
    tree.folder("S/a");
    PosixFileSystem fs;
    FolderList folders = {tree.path("S/"), tree.path("gone/")};
    int reports = 0;
    FolderScan scan(
        fs, [] {}, [&](const std::string&, const std::string&, int) { ++reports; });
    scan.GetSubDirectories2016(folders, true);
    EXPECT_EQ(folders, (FolderList{tree.path("S/"), tree.path("gone/"), tree.path("S/a/")}));
    EXPECT_EQ(reports, 0);
}

TEST(RealScan, KernelFolderAsStartEntryStaysUnlisted) {
    // /proc reads as a hidden system folder: kept as given, its content never walked.
    PosixFileSystem fs;
    if (fs.attributes("/proc") != 22) {
        GTEST_SKIP() << "/proc is no kernel folder here";
    }
    const RealScan r = scanReal({"/proc/"});
    EXPECT_EQ(r.folders, (FolderList{"/proc/"}));
}

}  // namespace
}  // namespace pellatrix
