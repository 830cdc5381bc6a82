#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace pellatrix {

struct WindowContext;
class FileSystem;
class Trap;

/// "Add Text File(s)": the open-file dialog; appends each chosen file whose attributes can be
/// read and names each refused one in a box. Too many files: one box, nothing added. Other
/// failures are reported with their line and the handler goes on.
void onAddFilesClicked(const WindowContext& context, FileSystem& fs);
void onAddFilesClicked(const WindowContext& context);

/// "Add All Text File(s) In Folder": asks for an extension and a folder (both remembered) and
/// appends every matching file of the folder's tree while the window shows the wait pointer.
/// Cancel anywhere adds nothing; failures are reported with their line and the handler goes on.
void onAddFolderClicked(const WindowContext& context, FileSystem& fs);
void onAddFolderClicked(const WindowContext& context);

/// A drop on the list: each dropped folder's tree (every file), each other path as it is, in
/// drop order. Shows nothing and never fails; a folder that cannot be listed adds nothing.
/// `paths` are the exact bytes of the dropped local paths.
void onPathsDropped(const WindowContext& context, FileSystem& fs,
                    const std::vector<std::string>& paths);
void onPathsDropped(const WindowContext& context, const std::vector<std::string>& paths);

/// Appends every file of the tree below `folder` (bytes, no final separator except for the root)
/// whose name matches `pattern`, breadth-first, skipping names that begin with "~" and files whose
/// attribute word is exactly hidden + archive. Failures go through `trap` with the lines 112-130;
/// a folder that cannot be listed is skipped.
void AddFolderTree(const WindowContext& context, FileSystem& fs, Trap& trap,
                   const std::string& folder, const std::string& pattern);

}  // namespace pellatrix
