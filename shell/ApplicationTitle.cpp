#include "shell/ApplicationTitle.h"

namespace pellatrix {

QString DeriveApplicationTitle(const QString& productName) {
    QString title = productName;
    do {
        const qsizetype blank = title.lastIndexOf(QLatin1Char(' '));
        if (blank < 0) {
            // Nothing left to cut: keep what we have rather than fail the start-up step.
            break;
        }
        title.truncate(blank);
    } while (title.size() > 40);
    return title;
}

}  // namespace pellatrix
