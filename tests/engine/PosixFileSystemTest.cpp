#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "engine/FileSizeLimit.h"
#include "engine/FileSystem.h"
#include "engine/FsError.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

using namespace std::string_literals;

// The number of the FsError that `call` throws; 0 when it throws nothing, -1 for another type.
int failureOf(const std::function<void()>& call, std::string* description = nullptr) {
    try {
        call();
        return 0;
    } catch (const FsError& e) {
        if (description) {
            *description = e.what();
        }
        return e.number();
    } catch (...) {
        return -1;
    }
}

std::string readAll(FileSystem& fs, const std::string& path) {
    std::string out;
    fs.readFile(path, [&](std::string_view chunk) { out.append(chunk); });
    return out;
}

TEST(ErrorNumbers, ErrnoMapsToTheNumbersCallersTellApart) {
    struct Case {
        int err;
        int number;
    };
    for (Case c : std::vector<Case>{{ENOENT, 53},
                                    {ENOTDIR, 76},
                                    {EACCES, 70},
                                    {EPERM, 70},
                                    {EROFS, 70},
                                    {ENOSPC, 61},
                                    {EDQUOT, 61},
                                    {EEXIST, 75},
                                    {EISDIR, 75},
                                    {ENXIO, 75},
                                    {ENAMETOOLONG, 75},
                                    {EIO, 75}}) {
        EXPECT_EQ(ErrorNumberForErrno(c.err), c.number) << "errno " << c.err;
    }
    try {
        ThrowErrno(ENOENT, "Cannot open '/x' for reading");
        ADD_FAILURE();
    } catch (const FsError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open '/x' for reading: No such file or directory");
        EXPECT_EQ(e.number(), 53);
    }
}

TEST(PosixReadFile, RefusesEverythingButAReadableRegularFileAtOnce) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    test::writeBytes(tmp / "a", "cut short");
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    struct Case {
        const char* name;
        std::string path;
        int number;
        std::string descriptionStart;
    };
    const std::vector<Case> cases = {
        {"missing", tmp / "missing.txt", 53,
         "Cannot open '" + (tmp / "missing.txt") + "' for reading: No such file or directory"},
        {"folder", tmp.path(), 75, "Cannot open '" + tmp.path() + "' for reading: Is a directory"},
        {"FIFO without writer", tmp / "fifo", 75,
         "Cannot open '" + (tmp / "fifo") + "' for reading: Not a regular file"},
        {"endless device", "/dev/zero", 75, "Cannot open '/dev/zero' for reading: Not a regular"},
        {"NUL in the path", tmp / "a\0b"s, 75, "Cannot open '" + tmp.path() + "/a\\0b'"},
        {"missing parent", tmp / "no/such.txt", 53, "Cannot open"},
        {"file as folder", tmp / "a/b", 76, "Cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string description;
        bool delivered = false;
        int number =
            failureOf([&] { fs.readFile(c.path, [&](std::string_view) { delivered = true; }); },
                      &description);
        EXPECT_EQ(number, c.number);
        EXPECT_EQ(description.rfind(c.descriptionStart, 0), 0u) << description;
        EXPECT_FALSE(delivered);
    }
}

TEST(PosixReadFile, UnreadableFileFailsWithPermissionDenied) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "secret.txt", "x");
    ASSERT_EQ(::chmod((tmp / "secret.txt").c_str(), 0000), 0);
    int status = test::runUnprivileged([&] {
        PosixFileSystem fs;
        return failureOf([&] { readAll(fs, tmp / "secret.txt"); }) == kErrPermissionDenied ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(PosixReadFile, DeliversEveryByteOfLargeAndBinaryFiles) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    std::string bytes;
    for (int i = 0; i < (3 << 20) + 7; ++i) {
        bytes += static_cast<char>(i * 131 % 256);
    }
    test::writeBytes(tmp / "big", bytes);
    EXPECT_EQ(readAll(fs, tmp / "big"), bytes);
    test::writeBytes(tmp / "empty", "");
    EXPECT_EQ(readAll(fs, tmp / "empty"), "");
}

TEST(PosixWriteFile, WritesExactlyAndReplaces) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    const std::string path = tmp / "caf\xC3\xA9 \t.txt";
    fs.writeFile(path, "a much longer old content", {});
    fs.writeFile(path, "new\r\n\0\xff"s, {});
    EXPECT_EQ(test::readBytes(path), "new\r\n\0\xff"s);
    fs.writeFile(path, "", {});
    EXPECT_EQ(test::readBytes(path), "");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(PosixWriteFile, BadTargetsFailWithoutBlockingOrCuttingThePathShort) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
    test::writeBytes(tmp / "file", "keep");
    struct Case {
        const char* name;
        std::string path;
        int number;
    };
    const std::vector<Case> cases = {
        {"a folder", tmp / "dir", 75},
        {"a FIFO with no reader", tmp / "fifo", 75},
        {"a missing folder", tmp / "nowhere/x.txt", 76},
        {"a file standing as folder", tmp / "file/x.txt", 76},
        {"a name longer than NAME_MAX", tmp / std::string(NAME_MAX + 1, 'n'), 75},
        {"a NUL in the path", tmp / "dir/a\0b"s, 75},
        {"an empty path", "", 76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto start = std::chrono::steady_clock::now();
        std::string description;
        EXPECT_EQ(failureOf([&] { fs.writeFile(c.path, "text", {}); }, &description), c.number);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_NE(description.find("Cannot"), std::string::npos) << description;
    }
    EXPECT_FALSE(std::filesystem::exists(tmp / "dir/a"));
    EXPECT_EQ(test::readBytes(tmp / "file"), "keep");
}

TEST(PosixWriteFile, ReadOnlyFileAndFolderRefuseAnUnprivilegedWriter) {
    test::TempFolder tmp;
    test::writeBytes(tmp / "ro.txt", "old");
    ASSERT_EQ(::chmod((tmp / "ro.txt").c_str(), 0444), 0);
    ASSERT_EQ(::mkdir((tmp / "rodir").c_str(), 0555), 0);
    int status = test::runUnprivileged([&] {
        PosixFileSystem fs;
        if (failureOf([&] { fs.writeFile(tmp / "ro.txt", "new", {}); }) != kErrPermissionDenied) {
            return 1;
        }
        if (failureOf([&] { fs.writeFile(tmp / "rodir/x.txt", "new", {}); }) !=
            kErrPermissionDenied) {
            return 2;
        }
        if (failureOf([&] { fs.createFolder(tmp / "rodir/sub"); }) != kErrPermissionDenied) {
            return 3;
        }
        if ((fs.attributes(tmp / "ro.txt") & kAttrReadOnly) == 0) {
            return 4;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readBytes(tmp / "ro.txt"), "old");
}

TEST(PosixWriteFile, WriteStoppedByTheFileSizeLimitFailsAndLeavesTheFileEmpty) {
    test::TempFolder tmp;
    const std::string dir = tmp / "w";
    ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    test::writeBytes(dir + "/old.txt", std::string(200000, 'o'));
    ASSERT_EQ(::chmod((dir + "/old.txt").c_str(), 0666), 0);
    const std::string text(100000, 't');
    // The limit cuts the first write short; the next one meets EFBIG.
    int status = test::runUnprivileged([&] {
        IgnoreFileSizeSignal();
        struct rlimit limit {
            24576, RLIM_INFINITY
        };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 10;
        }
        PosixFileSystem fs;
        int code = 0;
        for (const std::string name : {"/new.txt", "/old.txt"}) {
            ++code;
            std::string description;
            if (failureOf([&] { fs.writeFile(dir + name, text, {}); }, &description) !=
                    kErrDiskFull ||
                description != "Cannot write '" + dir + name + "': File too large") {
                return code;
            }
            struct stat st {};
            if (::stat((dir + name).c_str(), &st) != 0 || st.st_size != 0) {
                return 10 + code;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(PosixCreateFolder, TellsAMissingParentFromOtherFailures) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    test::writeBytes(tmp / "file", "");
    struct Case {
        std::string path;
        int number;
    };
    const std::vector<Case> cases = {
        {tmp / "new", 0},     {tmp / "new", 75},
        {tmp / "new/", 75},   {tmp / "a/b", 76},
        {tmp / "file/b", 76}, {"", 76},
        {tmp / "x\0y"s, 75},  {tmp / std::string(NAME_MAX + 1, 'n'), 75},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(failureOf([&] { fs.createFolder(c.path); }), c.number);
    }
    EXPECT_FALSE(std::filesystem::exists(tmp / "x"));
}

TEST(PosixAttributes, AttributeWordOfEachKindOfPath) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    test::writeBytes(tmp / "file", "");
    test::writeBytes(tmp / ".hidden", "");
    ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tmp / ".hid").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((tmp / "file").c_str(), (tmp / "lfile").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "dir").c_str(), (tmp / "ldir").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "gone").c_str(), (tmp / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("/proc", (tmp / "lproc").c_str()), 0);
    struct Case {
        std::string path;
        int attributes;
    };
    const std::vector<Case> cases = {
        {tmp / "file", 32}, {tmp / ".hidden", 34}, {tmp / "dir", 16},     {tmp / "dir/", 16},
        {tmp / ".hid", 18}, {tmp / "lfile", 1056}, {tmp / "ldir", 1040},  {tmp / "dangling", 1024},
        {"/proc", 22},      {"/sys", 22},          {tmp / "lproc", 1046}, {"/proc/self", 1046},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // Kernel folders may sit on read-only mounts, which adds the read-only bit.
        EXPECT_EQ(fs.attributes(c.path) & ~kAttrReadOnly, c.attributes);
    }
    EXPECT_EQ(failureOf([&] { fs.attributes(tmp / "gone"); }), 53);
    EXPECT_EQ(failureOf([&] { fs.attributes(""); }), 53);
}

TEST(PosixAttributes, KernelFoldersAreExactlyHiddenSystemForAnyUser) {
    // The scan leaves a folder out only on the exact words 22 and 1046: a user who may not write
    // /proc must not see a read-only bit that would let the scan walk into it.
    int status = test::runUnprivileged([] {
        PosixFileSystem fs;
        return fs.attributes("/proc") == 22 && fs.attributes("/sys") == 22 &&
                       fs.attributes("/proc/self") == 1046
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(PosixQueries, ExistenceRootAndIdentity) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    test::writeBytes(tmp / "file", "");
    ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((tmp / "file").c_str(), (tmp / "lfile").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "dir").c_str(), (tmp / "ldir").c_str()), 0);

    EXPECT_TRUE(fs.isExistingFile(tmp / "file"));
    EXPECT_TRUE(fs.isExistingFile(tmp / "lfile"));
    for (const std::string& p :
         {tmp / "dir", tmp / "fifo", tmp / "missing", ""s, "/dev/zero"s, tmp / "file\0x"s}) {
        EXPECT_FALSE(fs.isExistingFile(p)) << p;
    }

    EXPECT_TRUE(fs.isRootFolder("/"));
    EXPECT_TRUE(fs.isRootFolder("//"));
    EXPECT_FALSE(fs.isRootFolder(tmp.path()));
    EXPECT_FALSE(fs.isRootFolder(""));

    EXPECT_EQ(fs.folderIdentity(tmp / "dir"), fs.folderIdentity(tmp / "ldir"));
    EXPECT_FALSE(fs.folderIdentity(tmp / "dir") == fs.folderIdentity(tmp.path()));
    EXPECT_EQ(failureOf([&] { fs.folderIdentity(tmp / "missing"); }), 76);
    EXPECT_NE(failureOf([&] { fs.folderIdentity(tmp / "file"); }), 0);

    EXPECT_GT(fs.lastModified(tmp / "file"), 0);
    EXPECT_EQ(failureOf([&] { fs.lastModified(tmp / "missing"); }), 53);
}

}  // namespace
}  // namespace pellatrix
