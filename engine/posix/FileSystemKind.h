#pragma once

#include <cstddef>
#include <string>

namespace pellatrix {

/// Steps at once on a file system where each request is a round trip. A step of a run makes
/// about twice the round trips of the least work for its file (the decision's look-up, the
/// journal's look at what was written, the link that keeps a replaced file), so 32 steps keep
/// about as many requests in flight as 16 threads doing the least work, which is what parallel
/// copy tools for NFS keep; more gains little once the server is busy.
inline constexpr std::size_t kNetworkJobs = 32;

/// Steps at once for a file system of the statfs type `type`: kNetworkJobs for a network,
/// cluster or user-space one (NFS, SMB/CIFS, FUSE such as sshfs, 9p, Ceph, Lustre, AFS, GFS2,
/// OCFS2 and the like), where every request waits on a round trip; 1 otherwise.
std::size_t StepsForFileSystemType(unsigned long type);

/// Whether a file system of the statfs type `type` keeps a file's inode number: not FUSE, where
/// without use_ino (sshfs by default, most high-level FUSE file systems) each name gets a number
/// of its own and a new one once the kernel forgets the file. Whether one mount passes them
/// through cannot be told from outside, so no FUSE mount is trusted for it.
bool NumbersKeptByFileSystemType(unsigned long type);

/// StepsForFileSystemType of the file system holding `folder`, or its nearest existing folder
/// above; 1 when none can be asked.
std::size_t StepsForFolder(const std::string& folder);

}  // namespace pellatrix
