#pragma once

#include <sys/stat.h>

#include "engine/fs/FileSystem.h"

// What the file-system types are made of, from what the system tells of a file.
namespace pellatrix {

FileIdentity IdentityOf(const struct stat& st);
FileStamp StampOf(const struct stat& st);
EntryStat EntryStatOf(const struct stat& st);

}  // namespace pellatrix
