#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/fs/FileSizeLimit.h"
#include "engine/fs/FsError.h"
#include "engine/posix/FileSystemKind.h"
#include "engine/posix/PosixFileSystem.h"
#include "tests/engine/DelayShare.h"
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
        EXPECT_EQ(e.cause(), std::errc::no_such_file_or_directory);
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

// A write that tells whether its path reached something answers from its own look-up what
// planWrite(path, true) answers, and with keepExisting leaves such a path as it is; alike for
// the adapter's own answer and the default that asks planWrite first.
TEST(PosixWriteFile, AWriteTellsWhatItFoundAsPlanWriteDoes) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        bool existed;
        const char* keptText;  // what the path holds after a write with keepExisting
    };
    const std::vector<Case> cases = {
        {"missing", [](const std::string&) {}, false, "new"},
        {"a file", [](const std::string& p) { test::writeBytes(p, "old"); }, true, "old"},
        {"a dangling link",
         [](const std::string& p) { std::filesystem::create_symlink("gone", p); }, false, "new"},
        {"a link to a file",
         [](const std::string& p) {
             test::writeBytes(p + "-target", "old");
             std::filesystem::create_symlink(p + "-target", p);
         },
         true, "old"},
    };
    for (const bool adapters : {true, false}) {
        for (const Case& c : cases) {
            for (const bool keep : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (keep ? ", keeping" : "") +
                             (adapters ? "" : ", the default"));
                test::TempFolder tmp;
                PosixFileSystem fs;
                fs.beginRun();
                const std::string path = tmp / "f.txt";
                c.make(path);
                EXPECT_EQ(fs.planWrite(path, true).step == WritePlan::Step::Keep, c.existed);
                const bool existed = adapters
                                         ? fs.writeFileOrKeep(path, "new", {}, keep)
                                         : fs.FileSystem::writeFileOrKeep(path, "new", {}, keep);
                EXPECT_EQ(existed, c.existed);
                EXPECT_EQ(test::readBytes(path), keep ? c.keptText : "new");
            }
        }
    }
}

// The names in `folder` that a replacing write may leave behind.
std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.' && name.find(kTemporaryMark) != std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

// A replaced file keeps its mode (and owner, where allowed), a link stays a link to the replaced
// file; what a rename would split from its other names or cannot replace is written in place.
TEST(PosixWriteFile, ReplacingKeepsModeOwnerLinksAndOtherNames) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    const std::string text = "new";
    struct Case {
        const char* name;
        std::string path;  // what the write names
        std::string file;  // where the text lands
        mode_t mode;
        bool inPlace;
    };
    const std::vector<Case> cases = {
        {"mode 0640", tmp / "m640", tmp / "m640", 0640, false},
        {"mode 0666, wider than the umask", tmp / "m666", tmp / "m666", 0666, false},
        {"set-user-ID", tmp / "m4755", tmp / "m4755", 04755, false},
        {"a symbolic link", tmp / "link", tmp / "sub/target", 0600, false},
        {"a hard link", tmp / "hard1", tmp / "hard2", 0644, true},
    };
    ASSERT_EQ(::mkdir((tmp / "sub").c_str(), 0755), 0);
    for (const Case& c : cases) {
        if (c.path == c.file || c.inPlace) {
            test::writeBytes(c.file, "old content, longer");
            ASSERT_EQ(::chmod(c.file.c_str(), c.mode), 0);
        }
    }
    test::writeBytes(tmp / "sub/target", "old");
    ASSERT_EQ(::chmod((tmp / "sub/target").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("sub/target", (tmp / "link").c_str()), 0);
    ASSERT_EQ(::link((tmp / "hard2").c_str(), (tmp / "hard1").c_str()), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        struct stat before {};
        ASSERT_EQ(::stat(c.file.c_str(), &before), 0);
        fs.writeFile(c.path, text, {});
        struct stat after {};
        ASSERT_EQ(::stat(c.file.c_str(), &after), 0);
        EXPECT_EQ(test::readBytes(c.file), text);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(after.st_ino == before.st_ino, c.inPlace);
    }
    struct stat link {};
    ASSERT_EQ(::lstat((tmp / "link").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(test::readBytes(tmp / "hard1"), text);
    EXPECT_TRUE(temporariesIn(tmp.path()).empty());
    EXPECT_TRUE(temporariesIn(tmp / "sub").empty());

    // Another user's file, replaced by root, stays theirs.
    if (::geteuid() == 0) {
        test::writeBytes(tmp / "theirs", "old");
        ASSERT_EQ(::chown((tmp / "theirs").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod((tmp / "theirs").c_str(), 02640), 0);
        fs.writeFile(tmp / "theirs", text, {});
        struct stat st {};
        ASSERT_EQ(::stat((tmp / "theirs").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
        EXPECT_EQ(st.st_mode & 07777, 02640u);
    }

    // A FIFO with a reader and /dev/null take the text as it comes. Planning that write opens
    // nothing: a writer that came and went would end the reader (POLLHUP, then end of file).
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    int reader = ::open((tmp / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const WritePlan plan = fs.planWrite(tmp / "fifo", false);
    EXPECT_EQ(plan.step, WritePlan::Step::Replace);
    EXPECT_EQ(plan.why, "it is a FIFO, written only if a program reads from it then");
    struct pollfd hangUp {
        reader, POLLIN, 0
    };
    EXPECT_EQ(::poll(&hangUp, 1, 0), 0) << "revents " << hangUp.revents;
    fs.writeFile(tmp / "fifo", text, {});
    char got[16] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 3);
    EXPECT_EQ(std::string(got), text);
    ::close(reader);
    fs.writeFile("/dev/null", text, {});
}

TEST(PosixWriteFile, BadTargetsFailWithoutBlockingOrCuttingThePathShort) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    fs.beginRun();  // as in a run, where files are reached from their open folders
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
    // A folder whose own path fits PATH_MAX, holding a name that takes the whole past it.
    std::string deep = tmp.path();
    while (deep.size() < PATH_MAX - 400) {
        deep += "/" + std::string(200, 'd');
    }
    deep += "/" + std::string(PATH_MAX - 150 - deep.size() - 1, 'e');
    std::filesystem::create_directories(deep);
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
        {"a path longer than PATH_MAX", deep + "/" + std::string(200, 'n'), 75},
        {"a NUL in the path", tmp / "dir/a\0b"s, 75},
        {"an empty path", "", 76},
    };
    // A block device is refused before any open. Root gets a device node of its own, on a loop
    // device that takes no data; others any device they could not write anyway.
    std::string device;
    if (::geteuid() == 0 &&
        ::mknod((tmp / "blk").c_str(), S_IFBLK | 0600, ::makedev(7, 200)) == 0) {
        device = tmp / "blk";
    } else {
        for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
            struct stat st {};
            if (::stat(entry.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                ::access(entry.path().c_str(), W_OK) != 0) {
                device = entry.path().string();
                break;
            }
        }
    }
    if (!device.empty()) {
        ASSERT_EQ(::symlink(device.c_str(), (tmp / "to-device").c_str()), 0);
        for (const std::string& path : {device, tmp / "to-device"}) {
            std::string description;
            EXPECT_EQ(failureOf([&] { fs.writeFile(path, "text", {}); }, &description), 75);
            EXPECT_EQ(description, "Cannot open '" + path + "' for writing: Is a block device");
        }
    }
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
    ASSERT_EQ(::mkdir((tmp / "rodir").c_str(), 0755), 0);
    test::writeBytes(tmp / "rodir/w.txt", "old, longer");
    ASSERT_EQ(::chmod((tmp / "rodir/w.txt").c_str(), 0666), 0);
    ASSERT_EQ(::chmod((tmp / "rodir").c_str(), 0555), 0);
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
        // A writable file in a folder where no file can be made is written in place.
        if (failureOf([&] { fs.writeFile(tmp / "rodir/w.txt", "new", {}); }) != 0) {
            return 5;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readBytes(tmp / "ro.txt"), "old");
    EXPECT_EQ(test::readBytes(tmp / "rodir/w.txt"), "new");
}

// The new file is removed again, the existing one keeps its old content, and nothing of the
// temporary file stays.
TEST(PosixWriteFile, WriteStoppedByTheFileSizeLimitFailsAndLeavesNoTrace) {
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
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.txt"));
    EXPECT_EQ(test::readBytes(dir + "/old.txt"), std::string(200000, 'o'));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

// A body other than one text lands exactly, whichever way the write goes: a new file, a file
// renamed over, a file in place (hard link); zeros take no blocks where the target can hold holes.
TEST(PosixWriteFile, BodiesAreCopiedRepeatedOrSparseInEveryKindOfWrite) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    test::writeBytes(tmp / "t.bin", "0123456789");
    const std::unique_ptr<TemplateFile> file = fs.openTemplate(tmp / "t.bin");
    ASSERT_TRUE(file);
    const std::string unit(70000, 'x');  // a whole number of repeats of "x"
    struct Case {
        const char* name;
        ContentBody body;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"template", {file.get(), {}, false, 0}, "0123456789"},
        {"template cut", {file.get(), {}, true, 4}, "0123"},
        {"template repeated", {file.get(), {}, true, 25}, "0123456789012345678901234"},
        {"text repeated", {nullptr, "ab", true, 5}, "ababa"},
        {"long unit cut", {nullptr, unit, true, 65537}, std::string(65537, 'x')},
        {"zeros", {nullptr, {}, true, 3}, "\0\0\0"s},
    };
    ASSERT_EQ(::mkdir((tmp / "out").c_str(), 0755), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fresh = tmp / "out/new";
        const std::string renamed = tmp / "out/old";
        const std::string hard = tmp / "out/hard";
        std::filesystem::remove(fresh);
        test::writeBytes(renamed, "old content, longer than some");
        test::writeBytes(hard, "old content, longer than some");
        std::filesystem::remove(tmp / "out/hard2");
        ASSERT_EQ(::link(hard.c_str(), (tmp / "out/hard2").c_str()), 0);
        for (const std::string& path : {fresh, renamed, hard}) {
            fs.writeFileFrom(path, c.body, {});
            EXPECT_EQ(test::readBytes(path), c.expected) << path;
        }
        EXPECT_EQ(test::readBytes(tmp / "out/hard2"), c.expected);
    }
    EXPECT_TRUE(temporariesIn(tmp / "out").empty());
    // A mebibyte of zeros is a length, not blocks (the file systems of tests hold holes).
    fs.writeFileFrom(tmp / "out/sparse", {nullptr, {}, true, std::uint64_t{1} << 20}, {});
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "out/sparse").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 20);
    EXPECT_EQ(st.st_blocks, 0);
    // A FIFO (a stream) gets the bytes themselves.
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0666), 0);
    int reader = ::open((tmp / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fs.writeFileFrom(tmp / "fifo", {file.get(), {}, true, 12}, {});
    char got[32] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 12);
    EXPECT_EQ(std::string(got), "012345678901");
    ::close(reader);
    // Only a regular file is a template; a folder is refused, a stream is read as text.
    EXPECT_FALSE(fs.openTemplate(tmp / "fifo"));
    EXPECT_EQ(failureOf([&] { fs.openTemplate(tmp.path()); }), kErrPathFileAccess);
    EXPECT_EQ(failureOf([&] { fs.openTemplate(tmp / "none"); }), kErrFileNotFound);
}

// A template changed after it was opened, in place or by a new file renamed over its name, fails
// every write from it with one message; the file it would have replaced keeps its old content
// and no new file is left.
TEST(PosixWriteFile, ATemplateChangedSinceItWasOpenedFailsTheWriteAndKeepsTheTarget) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    const std::string path = tmp / "t.bin";
    for (const char* how : {"appended", "renamed over"}) {
        SCOPED_TRACE(how);
        test::writeBytes(path, "template");
        const std::unique_ptr<TemplateFile> file = fs.openTemplate(path);
        ASSERT_TRUE(file);
        fs.writeFileFrom(tmp / "first", {file.get(), {}, false, 0}, {});
        EXPECT_EQ(test::readBytes(tmp / "first"), "template");
        if (std::string(how) == "appended") {
            std::ofstream(path, std::ios::binary | std::ios::app) << "!";
        } else {
            test::writeBytes(tmp / "other", "template");
            ASSERT_EQ(::rename((tmp / "other").c_str(), path.c_str()), 0);
        }
        std::string description;
        EXPECT_EQ(failureOf(
                      [&] {
                          fs.writeFileFrom(tmp / "first", {file.get(), {}, false, 0}, {});
                      },
                      &description),
                  kErrPathFileAccess);
        EXPECT_EQ(description, "Cannot write '" + tmp / "first" + "': the template '" + path +
                                   "' changed during the run (its size, time or identity)");
        EXPECT_EQ(failureOf([&] {
                      fs.writeFileFrom(tmp / "second", {file.get(), {}, false, 0}, {});
                  }),
                  kErrPathFileAccess);
        EXPECT_EQ(test::readBytes(tmp / "first"), "template");
        EXPECT_FALSE(std::filesystem::exists(tmp / "second"));
        EXPECT_TRUE(temporariesIn(tmp.path()).empty());
    }
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

// The undo's operations: a folder is held only when no link is on its way, and content is put
// back in place only into the very file checked.
TEST(PosixQueries, HeldFoldersAreReachedWithoutLinksAndActedInAsChecked) {
    test::TempFolder tmp;
    PosixFileSystem fs;
    ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((tmp / "dir").c_str(), (tmp / "ldir").c_str()), 0);
    test::writeBytes(tmp / "dir/f", "new text");
    test::writeBytes(tmp / "kept", "old");
    const auto causeOf = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const FsError& e) {
            return e.cause();
        }
        return std::error_code();
    };
    for (const std::string& path : {tmp / "ldir", tmp / "ldir/.", tmp / "dir/f"}) {
        EXPECT_EQ(causeOf([&] { fs.openFolder(path, false); }), std::errc::not_a_directory) << path;
    }
    const FolderHandle dir = fs.openFolder(tmp / "ldir", true);
    EXPECT_EQ(fs.lookAt(dir, "")->stamp.identity, fs.folderIdentity(tmp / "dir"));
    EXPECT_FALSE(fs.lookAt(dir, "missing"));
    EntryStat kept;
    const Fd source = fs.openFileIn(fs.openFolder(tmp.path(), false), "kept", kept);
    const FileIdentity file = fs.lookAt(dir, "f")->stamp.identity;
    EXPECT_EQ(causeOf([&] {
                  fs.putBackContent(dir, "f", kept.stamp.identity, true, {source.get(), 0, 3, 0});
              }),
              std::error_code(ESTALE, std::generic_category()));
    EXPECT_EQ(test::readBytes(tmp / "dir/f"), "new text");
    EXPECT_EQ(fs.putBackContent(dir, "f", file, true, {source.get(), 0, 3, 0}), file);
    EXPECT_EQ(test::readBytes(tmp / "dir/f"), "old");
    const FileIdentity renamed =
        fs.putBackContent(dir, "f", file, false, {source.get(), 1, 2, 0640});
    EXPECT_FALSE(renamed == file);
    EXPECT_EQ(test::readBytes(tmp / "dir/f"), "ld");
    EXPECT_EQ(fs.lookAt(dir, "f")->stamp.mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "dir"), {}), 1);
}

// Many steps at once where each request is a round trip (network, cluster and user-space file
// systems), one elsewhere; a folder a run is still to make counts as the one above it.
TEST(PosixQueries, StepsAtOnceFollowTheFileSystem) {
    const std::vector<std::pair<unsigned long, std::size_t>> types = {
        {0x6969UL, kNetworkJobs},
        {0xff534d42UL, kNetworkJobs},
        {0xfe534d42UL, kNetworkJobs},
        {0x517bUL, kNetworkJobs},
        {0x65735546UL, kNetworkJobs},
        {0x01021997UL, kNetworkJobs},
        {0x00c36400UL, kNetworkJobs},
        {0x0bd00bd0UL, kNetworkJobs},
        {0x6b414653UL, kNetworkJobs},
        {0x01161970UL, kNetworkJobs},
        {0x7461636fUL, kNetworkJobs},
        {0xef53UL, 1},
        {0x01021994UL, 1},
        {0x9123683eUL, 1},
        {0x58465342UL, 1},
        // statfs gives the type as a signed word: CIFS's magic comes sign-extended.
        {static_cast<unsigned long>(static_cast<long>(static_cast<std::int32_t>(0xff534d42U))),
         kNetworkJobs},
    };
    for (const auto& [type, steps] : types) {
        EXPECT_EQ(StepsForFileSystemType(type), steps) << std::hex << type;
    }
    test::TempFolder tmp;
    EXPECT_EQ(StepsForFolder(tmp / "not/yet/made"), 1u);
    test::DelayShare share(0);
    if (share.onFuse()) {
        EXPECT_EQ(StepsForFolder(share.root + "/not/yet"), kNetworkJobs);
        PosixFileSystem posix;
        EXPECT_EQ(posix.stepsInFlight(share.root), kNetworkJobs);
    }
}

}  // namespace
}  // namespace pellatrix
