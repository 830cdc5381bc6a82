// The one decision of a file's write: what a run's write does at its head and what a preview
// shows, from look-ups alone.
#include "engine/posix/WriteDecision.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/fs/FsError.h"
#include "engine/journal/JournalFormat.h"

namespace pellatrix {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

void fail(WritePlan& plan, int err, std::string why) {
    plan.step = WritePlan::Step::Fail;
    plan.error = std::error_code(err, std::generic_category());
    plan.why = why.empty() ? plan.error.message() : std::move(why);
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// `link` is a symbolic link that reaches nothing. A write opens it as a plain open with O_CREAT
// does: it creates the last name the links lead to, in a folder that must exist and take it.
void decideDanglingLink(const std::string& link, PosixFileSystem::WriteDecision& plan) {
    std::string at = link;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(at.c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
            fail(plan, length < 0 ? errno : ENAMETOOLONG, {});
            return;
        }
        const std::string next =
            target[0] == '/'
                ? std::string(target, static_cast<std::size_t>(length))
                : folderOf(at) + "/" + std::string(target, static_cast<std::size_t>(length));
        plan.reached = next;
        struct stat st {};
        if (::lstat(next.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) {
                at = next;
                continue;
            }
            // It appeared since the look-up: the write meets it, as a later plan would.
            plan.step = WritePlan::Step::Create;
            return;
        }
        if (errno != ENOENT) {
            fail(plan, errno, {});
            return;
        }
        const std::string folder = folderOf(next);
        struct stat dir {};
        if (::stat(folder.c_str(), &dir) != 0) {
            const int err = errno;
            fail(plan, err,
                 err == ENOENT || err == ENOTDIR ? "it links into a missing folder: " + folder
                                                 : std::string());
            return;
        }
        if (!S_ISDIR(dir.st_mode)) {
            fail(plan, ENOTDIR, "it links into a missing folder: " + folder);
            return;
        }
        if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            fail(plan, errno, "it links into " + folder + ", where no file can be made");
            return;
        }
        plan.step = WritePlan::Step::Create;
        return;
    }
    fail(plan, ELOOP, {});
}

}  // namespace

mode_t processUmask() {
    static const mode_t mask = [] {
        if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[256];
            unsigned int value = 0;
            bool found = false;
            while (!found && std::fgets(line, sizeof line, status)) {
                found = std::sscanf(line, "Umask: %o", &value) == 1;
            }
            std::fclose(status);
            if (found) {
                return static_cast<mode_t>(value);
            }
        }
        mode_t old = ::umask(022);
        ::umask(old);
        return old;
    }();
    return mask;
}

bool mayWrite(int dir, const char* name, const struct stat& st, const ProcessIds& ids) {
    if (st.st_uid == ids.uid) {
        return (st.st_mode & S_IWUSR) != 0 || ids.uid == 0;
    }
    return ::faccessat(dir, name, W_OK, AT_EACCESS) == 0;
}

WritePlan RunFileSystem::planWrite(const std::string& path, bool keepExisting) {
    WritePlan plan;
    const PathProbe found = probe(path);
    plan.exists = found.kind != PathProbe::Kind::Missing && found.kind != PathProbe::Kind::Unknown;
    plan.target = found.identity;
    if (plan.exists && keepExisting) {
        plan.step = WritePlan::Step::Keep;
        return plan;
    }
    switch (found.kind) {
        case PathProbe::Kind::Missing:
            break;
        case PathProbe::Kind::Folder:
            fail(plan, EISDIR, "it is a folder");
            break;
        case PathProbe::Kind::File:
        case PathProbe::Kind::Other:
            if (found.writable) {
                plan.step = WritePlan::Step::Replace;
            } else {
                fail(plan, EACCES, "it may not be written");
            }
            break;
        case PathProbe::Kind::Unknown:
            fail(plan, found.error.value(), {});
            break;
    }
    return plan;
}

void PosixFileSystem::WriteDecision::holdReader(int dir, const char* name) {
    held = ::openat(dir, name, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (held < 0) {
        const int err = errno;
        fail(*this, err, err == ENXIO ? "no program reads from it" : "");
    }
}

ProcessIds PosixFileSystem::processIds() {
    // Asked once per run (beginRun) and kept: a replace compares them with every old file's
    // owner, and two calls per file are a tenth of a replace's calls.
    return m_ids;
}

ProcessIds CurrentProcessIds() {
    return ProcessIds{::geteuid(), ::getegid()};
}

bool PosixFileSystem::madeFoldersTakeFiles() {
    // createFolder asks for 0777: the umask decides whether its owner may add to it.
    return processIds().uid == 0 || (processUmask() & 0300) == 0;
}

bool PosixFileSystem::madeFilesStayWritable() {
    // writeFile makes a new file with 0666: the umask decides whether its owner may write it.
    return processIds().uid == 0 || (processUmask() & S_IWUSR) == 0;
}

WritePlan PosixFileSystem::planWrite(const std::string& path, bool keepExisting) {
    WriteDecision decision;
    if (path.find('\0') != std::string::npos) {
        fail(decision, EINVAL, {});
    } else {
        decideWrite(path, AT_FDCWD, path.c_str(), keepExisting, decision);
    }
    return static_cast<WritePlan&&>(decision);
}

void PosixFileSystem::decideWrite(const std::string& path, int dir, const char* name,
                                  bool keepExisting, WriteDecision& out) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            out.step = WritePlan::Step::Create;
            out.how = WriteDecision::How::New;
        } else {
            fail(out, errno, {});
        }
        return;
    }
    int fileDir = dir;
    const char* fileName = name;
    if (S_ISLNK(st.st_mode)) {
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                fail(out, errno, {});
                return;
            }
            // A dangling link is no existing file, even to a run that keeps them.
            out.how = WriteDecision::How::InPlace;
            out.throughLink = true;
            decideDanglingLink(path, out);
            return;
        }
        out.exists = true;
        if (keepExisting) {
            out.step = WritePlan::Step::Keep;
            return;
        }
        // The file the link reaches is replaced; the link stays.
        char* real = ::realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            out.resolved = real;
            std::free(real);
        }
        if (out.resolved.empty() || ::lstat(out.resolved.c_str(), &st) != 0) {
            // Followed by a plain open instead, as far as the kernel follows it.
            out.resolved.clear();
            fileDir = AT_FDCWD;
            fileName = path.c_str();
            out.how = WriteDecision::How::InPlace;
        } else {
            fileDir = AT_FDCWD;
            fileName = out.resolved.c_str();
        }
    }
    out.exists = true;
    out.st = st;
    out.target = journal::IdentityOf(st);
    if (keepExisting) {
        out.step = WritePlan::Step::Keep;
        return;
    }
    decideReplace(fileDir, fileName, out);
}

void PosixFileSystem::decideReplace(int fileDir, const char* fileName, WriteDecision& out) {
    const struct stat& st = out.st;
    out.step = WritePlan::Step::Replace;
    if (S_ISBLK(st.st_mode)) {
        // A disk or partition is never a target, whoever runs this.
        fail(out, ENODEV, "it is a block device");
        out.detail = "Is a block device";
    } else if (S_ISDIR(st.st_mode)) {
        fail(out, EISDIR, "it is a folder");
    } else if (S_ISSOCK(st.st_mode)) {
        fail(out, ENXIO, "it is a socket");
    } else if (S_ISFIFO(st.st_mode)) {
        // Written in place, never waiting. Whether a program reads from it only an open for
        // writing tells, and that open alone would release a reader: the write asks
        // (holdReader), a preview says so.
        out.how = WriteDecision::How::InPlace;
        out.why = "it is a FIFO, written only if a program reads from it then";
    } else if (!S_ISREG(st.st_mode)) {
        // A character device takes the text as it comes, in place.
        out.how = WriteDecision::How::InPlace;
        if (::faccessat(fileDir, fileName, W_OK, AT_EACCESS) != 0) {
            fail(out, errno, "it may not be written");
        }
    } else if (!mayWrite(fileDir, fileName, st, processIds())) {
        fail(out, EACCES, "it may not be written");
    } else if (st.st_nlink > 1) {
        // A rename would split it from its other names.
        out.how = WriteDecision::How::InPlace;
    } else if (out.how != WriteDecision::How::InPlace) {
        out.how = WriteDecision::How::Rename;
    }
}

}  // namespace pellatrix
