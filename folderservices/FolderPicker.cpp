#include "folderservices/FolderPicker.h"

#include <QDir>

#include "shell/Platform.h"

namespace pellatrix {

QString PickFolder(Platform& platform, QWidget* owner, const QString& prompt,
                   const QString& start) {
    QString chosen = platform.pickFolder(owner, prompt, start);
    // Only a real folder of the file system is an acceptable choice; anything else is no choice.
    if (chosen.isEmpty() || !QDir::isAbsolutePath(chosen)) {
        return QString();
    }
    // The scan builds paths with the platform's own separator.
    chosen = QDir::toNativeSeparators(chosen);
    // Callers add the separator themselves; only the root keeps its own.
    while (chosen.size() > 1 && !QDir(chosen).isRoot() && chosen.endsWith(QDir::separator())) {
        chosen.chop(1);
    }
    return chosen;
}

}  // namespace pellatrix
