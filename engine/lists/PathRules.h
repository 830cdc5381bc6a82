#pragma once

#include <string>
#include <string_view>

#include "engine/fs/FileSystem.h"

namespace pellatrix {

/// Which separator the path rules split at: Windows '\' or POSIX '/'.
enum class PathFlavour { Windows, Posix };

#ifdef _WIN32
inline constexpr PathFlavour kNativeFlavour = PathFlavour::Windows;
#else
inline constexpr PathFlavour kNativeFlavour = PathFlavour::Posix;
#endif

constexpr char SeparatorOf(PathFlavour flavour) {
    return flavour == PathFlavour::Windows ? '\\' : '/';
}

/// The characters CleanFileName removes from a file-name part (both slashes on every platform).
inline constexpr std::string_view ForbiddenNameChars = "?*|<>;:[]\"/\\[]=";

/// Everything up to and including the last separator; empty when there is none.
std::string FolderPart(std::string_view path, PathFlavour flavour = kNativeFlavour);

/// Everything after the last separator; the whole path when there is none.
std::string FileNamePart(std::string_view path, PathFlavour flavour = kNativeFlavour);

/// The characters of `text`, in order, that do (keep) or do not (!keep) occur in `set`.
std::string FilterChars(std::string_view text, std::string_view set, bool keep);

/// The folder part unchanged, followed by the file-name part without ForbiddenNameChars.
std::string CleanFileName(std::string_view path, PathFlavour flavour = kNativeFlavour);
/// CleanFileName on `path` itself, with no second copy of a long path.
void CleanFileNameInPlace(std::string& path, PathFlavour flavour = kNativeFlavour);

/// True when the last-modified time of `path` can be read. Never throws.
bool PathExists(ScanFileSystem& fs, const std::string& path);

/// True when `path` (a final separator accepted) is an existing folder. Never throws.
bool IsExistingFolder(ScanFileSystem& fs, const std::string& path,
                      PathFlavour flavour = kNativeFlavour);

/// Creates or empties `path` and writes `text` exactly, nothing added. `guard` sees the opened
/// target first and may refuse it by throwing. Throws FsError.
void WriteTextFile(RunFileSystem& fs, const std::string& path, std::string_view text,
                   const RunFileSystem::WriteGuard& guard = {});

}  // namespace pellatrix
