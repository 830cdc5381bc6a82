#include "engine/fs/FileSystem.h"

#include "engine/fs/FsError.h"

namespace pellatrix {

namespace {

// A file system that holds no folders open cannot act where it checked: it refuses.
[[noreturn]] void refuse(const char* what) {
    throw FsError(kErrPathFileAccess,
                  std::string(what) + ": this file system cannot hold folders open",
                  std::make_error_code(std::errc::operation_not_supported));
}

}  // namespace

FolderHandle FileSystem::openFolder(const std::string&, bool) {
    refuse("openFolder");
}

FolderHandle FileSystem::openFolderIn(const FolderHandle&, const std::string&) {
    refuse("openFolderIn");
}

std::optional<EntryStat> FileSystem::lookAt(const FolderHandle&, const std::string&) {
    refuse("lookAt");
}

Fd FileSystem::openFileIn(const FolderHandle&, const std::string&, EntryStat&) {
    refuse("openFileIn");
}

void FileSystem::createFileIn(const FolderHandle&, const std::string&) {
    refuse("createFileIn");
}

void FileSystem::removeIn(const FolderHandle&, const std::string&, bool) {
    refuse("removeIn");
}

void FileSystem::renameIn(const FolderHandle&, const std::string&, const FolderHandle&,
                          const std::string&) {
    refuse("renameIn");
}

FileIdentity FileSystem::putBackContent(const FolderHandle&, const std::string&,
                                        const FileIdentity&, bool, std::uint32_t, int,
                                        std::uint64_t, std::uint64_t) {
    refuse("putBackContent");
}

}  // namespace pellatrix
