#include "engine/posix/FileSystemKind.h"

#include <sys/vfs.h>

#include <array>

namespace pellatrix {

std::size_t StepsForFileSystemType(unsigned long type) {
    // The kernel's magic numbers (linux/magic.h and the file systems' own headers).
    static constexpr std::array<unsigned long, 17> kRoundTrip = {
        0x6969UL,      // nfs
        0x517bUL,      // smb
        0xff534d42UL,  // cifs
        0xfe534d42UL,  // smb2
        0x65735546UL,  // fuse (sshfs, glusterfs, rclone...)
        0x01021997UL,  // 9p
        0x00c36400UL,  // ceph
        0x0bd00bd0UL,  // lustre
        0x5346414fUL,  // afs (OpenAFS)
        0x6b414653UL,  // kafs
        0x73757245UL,  // coda
        0x01161970UL,  // gfs2
        0x7461636fUL,  // ocfs2
        0x20030528UL,  // orangefs
        0x564cUL,      // ncp
        0x47504653UL,  // gpfs
        0x19830326UL,  // beegfs
    };
    const unsigned long magic = type & 0xffffffffUL;
    for (unsigned long roundTrip : kRoundTrip) {
        if (magic == roundTrip) {
            return kNetworkJobs;
        }
    }
    return 1;
}

bool NumbersKeptByFileSystemType(unsigned long type) {
    constexpr unsigned long kFuse = 0x65735546UL;
    return (type & 0xffffffffUL) != kFuse;
}

std::size_t StepsForFolder(const std::string& folder) {
    std::string at = folder.empty() ? std::string(".") : folder;
    for (;;) {
        struct statfs fs {};
        if (::statfs(at.c_str(), &fs) == 0) {
            return StepsForFileSystemType(static_cast<unsigned long>(fs.f_type));
        }
        // A folder the run makes lies on the file system of the nearest one above it.
        while (at.size() > 1 && at.back() == '/') {
            at.pop_back();
        }
        const std::size_t slash = at.rfind('/');
        if (slash == std::string::npos) {
            if (at == ".") {
                return 1;
            }
            at = ".";
        } else if (slash == 0) {
            if (at == "/") {
                return 1;
            }
            at = "/";
        } else {
            at.resize(slash);
        }
    }
}

}  // namespace pellatrix
