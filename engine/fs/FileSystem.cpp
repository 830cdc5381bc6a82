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

namespace {

void appendIdentity(std::string& key, const FileIdentity& identity) {
    key.append(reinterpret_cast<const char*>(&identity.device), sizeof identity.device);
    key.append(reinterpret_cast<const char*>(&identity.inode), sizeof identity.inode);
}

}  // namespace

std::string NameKey(const FolderIdentity& folder, std::string_view name) {
    std::string key;
    key.reserve(16 + name.size());
    appendIdentity(key, folder);
    key.append(name);
    return key;
}

std::string IdentityKey(const FileIdentity& file) {
    std::string key;
    appendIdentity(key, file);
    key += '/';  // no name is "/": never a NameKey
    return key;
}

FolderHandle UndoFileSystem::openFolder(const std::string&, bool) {
    refuse("openFolder");
}

FolderHandle UndoFileSystem::openFolderIn(const FolderHandle&, const std::string&) {
    refuse("openFolderIn");
}

std::optional<EntryStat> UndoFileSystem::lookAt(const FolderHandle&, const std::string&) {
    refuse("lookAt");
}

Fd UndoFileSystem::openFileIn(const FolderHandle&, const std::string&, EntryStat&) {
    refuse("openFileIn");
}

void UndoFileSystem::createFileIn(const FolderHandle&, const std::string&) {
    refuse("createFileIn");
}

void UndoFileSystem::removeIn(const FolderHandle&, const std::string&, bool) {
    refuse("removeIn");
}

void UndoFileSystem::renameIn(const FolderHandle&, const std::string&, const FolderHandle&,
                              const std::string&) {
    refuse("renameIn");
}

FileIdentity UndoFileSystem::putBackContent(const FolderHandle&, const std::string&,
                                            const FileIdentity&, bool, const KeptContent&) {
    refuse("putBackContent");
}

}  // namespace pellatrix
