#include "shell/ProgramFiles.h"

#include <QDir>
#include <QFileInfo>

namespace pellatrix {

QString ProgramFilesFolder(const QString& programFolder, const QString& fromProgram) {
    const QDir beside(programFolder);
    for (const char* name : kProgramFileNames) {
        if (QFileInfo::exists(beside.filePath(QString::fromLatin1(name)))) {
            return programFolder;
        }
    }
    // Lexically, so the path shown to a user reads /usr/share/pellatrix, not /usr/bin/../share.
    const QString data = QDir::cleanPath(beside.filePath(fromProgram));
    return QFileInfo(data).isDir() ? data : programFolder;
}

QString ProgramFilesFolder(const QString& programFolder) {
    return ProgramFilesFolder(programFolder, QStringLiteral(PELLATRIX_DATA_FROM_BIN));
}

}  // namespace pellatrix
