// Listing order: case-insensitive, ties broken by the raw bytes, whatever order readdir keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "folderservices/FolderScan.h"
#include "folderservices/ListingOrder.h"
#include "tests/folderservices/FakeFileSystem.h"
#include "tests/folderservices/TempTree.h"

namespace pellatrix {
namespace {

using test::FakeFileSystem;
using test::ReaddirOrder;
using test::TempTree;
using Strings = std::vector<std::string>;

TEST(ListingOrder, CaseFoldedThenRawBytes) {
    struct Case {
        std::string before;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"a.txt", "B.txt"},        // case ignored
        {"A.txt", "a.txt"},        // a tie goes to the raw bytes
        {"a", "A.txt"},            // a prefix comes first
        {"_x", "a"},               // folded to lower case, "_" sorts before letters
        {"9", "_x"},               //
        {"z", "\xc3\x84"},         // Ä after z
        {"\xc3\x84", "\xc3\xa4"},  // Ä, ä: a tie
        {"\xc3\xa4", "\xc3\x85"},  // ä before Å
        {"\xc5\xbf"
         "a",
         "sb"},  // long s folds to s
        {"\xcf\x83"
         "b",
         "\xcf\x82"
         "c"},  // final sigma folds to sigma
        {"\xce\xa3"
         "b",
         "\xcf\x83"
         "c"},                             // and so does the capital
        {"bad.txt", "bad\xff"},            // an invalid byte stands for itself
        {"\xc3\xa9", "\xe9"},              // é and the lone byte 0xE9: a tie, raw bytes decide
        {"\xd0\x96", "\xd0\xb6\xd0\xb0"},  // Ж before жа
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ListingOrderLess(c.before, c.after)) << c.before << " < " << c.after;
        EXPECT_FALSE(ListingOrderLess(c.after, c.before)) << c.after << " > " << c.before;
        EXPECT_FALSE(ListingOrderLess(c.before, c.before)) << c.before;
    }
}

// Names created in an order the listings must not show; the expected order is the sorted one.
const Strings kSorted = {"10", "9", "_x", "A", "a", "B", "b", "z", "\xc3\x84", "\xc3\xa4"};

TEST(ListingOrder, EveryListingIsSortedWhateverTheDiskKeeps) {
    struct Case {
        const char* listing;
        std::function<Strings(FileSystem&, const std::string&)> names;
        bool folders;
    };
    const std::vector<Case> cases = {
        {"scan",
         [](FileSystem& fs, const std::string& root) {
             FolderList folders = {root + "/"};
             FolderScan(fs, {}, {}).GetSubDirectories2016(folders, false);
             Strings names;
             for (std::size_t i = 1; i < folders.size(); ++i) {
                 const std::string& f = folders[i];
                 names.push_back(f.substr(root.size() + 1, f.size() - root.size() - 2));
             }
             return names;
         },
         true},
        {"ListFilesInFolder",
         [](FileSystem& fs, const std::string& root) { return ListFilesInFolder(fs, root, "*"); },
         false},
        {"ListFilesWithAttributes",
         [](FileSystem& fs, const std::string& root) {
             Strings names;
             for (const ListedFile& f : ListFilesWithAttributes(fs, root, "*")) {
                 names.push_back(f.name);
             }
             return names;
         },
         false},
    };
    for (const Case& c : cases) {
        // Created sorted: tmpfs lists the newest first, ext4 in hash order.
        TempTree tree;
        for (const std::string& name : kSorted) {
            c.folders ? tree.folder(name) : tree.file(name);
        }
        ASSERT_NE(ReaddirOrder(tree.root()), kSorted) << "the disk lists these sorted already";
        PosixFileSystem posix;
        EXPECT_EQ(c.names(posix, tree.root()), kSorted) << c.listing << " on the disk";

        FakeFileSystem fake;
        fake.addFolder("/R");
        for (auto name = kSorted.rbegin(); name != kSorted.rend(); ++name) {
            c.folders ? fake.addFolder("/R/" + *name) : fake.addFile("/R/" + *name);
        }
        EXPECT_EQ(c.names(fake, "/R"), kSorted) << c.listing << " in reverse order";
    }
}

TEST(ListFilesWithAttributes, MatchesAndTellsExactlyTheHiddenArchiveWord) {
    struct Case {
        std::string name;
        int attributes;
        bool listed;  // by "*.txt"
        bool hiddenArchive;
    };
    const std::vector<Case> cases = {
        {"plain.txt", kAttrArchive, true, false},
        {".hid.txt", kAttrHidden | kAttrArchive, true, true},                        // 34
        {".only.txt", kAttrHidden, true, false},                                     // 2
        {".ro.txt", kAttrHidden | kAttrArchive | kAttrReadOnly, true, false},        // 35
        {".sys.txt", kAttrHidden | kAttrSystem | kAttrArchive, true, false},         // 38
        {".link.txt", kAttrHidden | kAttrArchive | kAttrReparsePoint, true, false},  // 1058
        {"UPPER.TXT", kAttrArchive, true, false},
        {"other.doc", kAttrHidden | kAttrArchive, false, false},
    };
    FakeFileSystem fs;
    fs.addFolder("/F/sub.txt");  // a folder is no file
    for (const Case& c : cases) {
        fs.addFile("/F/" + c.name, c.attributes);
    }
    fs.addFile("/F/unreadable.txt").attributeFailure = kErrPermissionDenied;

    std::vector<ListedFile> expected;
    for (const Case& c : cases) {
        if (c.listed) {
            expected.push_back({c.name, c.hiddenArchive});
        }
    }
    expected.push_back({"unreadable.txt", false});  // unreadable attributes hold nothing back
    SortInListingOrder(expected, [](const ListedFile& f) -> const std::string& { return f.name; });
    for (const std::string folder : {"/F", "/F/"}) {
        const std::vector<ListedFile> files = ListFilesWithAttributes(fs, folder, "*.txt");
        ASSERT_EQ(files.size(), expected.size()) << folder;
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].name, expected[i].name) << folder;
            EXPECT_EQ(files[i].hiddenArchive, expected[i].hiddenArchive) << files[i].name;
        }
    }
}

}  // namespace
}  // namespace pellatrix
