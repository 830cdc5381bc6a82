#pragma once

#include <QString>

namespace pellatrix {

/// The names of the files the program reads from its files folder, relative to that folder.
inline constexpr const char* kProgramFileNames[] = {"HAND-M.CUR", "drag.ico", "x/o.cjs", "Samples"};

/// The folder that holds the program's own files (the hand pointer, the drag pointer, the skin
/// and the samples), no final '/'. It is `programFolder` itself when any of them lies there (the
/// build tree, a program folder copied as a whole); otherwise the data folder `fromProgram`
/// relative to it when that folder exists (an installation under /usr or ~/.local keeps the
/// files in share/pellatrix); otherwise `programFolder`, so that what is missing is reported
/// where a user looks first.
QString ProgramFilesFolder(const QString& programFolder, const QString& fromProgram);

/// The same with the installed layout's data folder, ../share/pellatrix under the usual
/// install folders (fixed when the build is configured).
QString ProgramFilesFolder(const QString& programFolder);

}  // namespace pellatrix
