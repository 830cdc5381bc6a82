#include "shell/ReportError.h"

#include <QPointer>
#include <QWidget>

#include "shell/Platform.h"
#include "shell/ProductInfo.h"

namespace pellatrix {

QString BuildErrorReport(const QString& description, const QString& location, int line) {
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") +
           QString::number(line) + QStringLiteral("\r\r") +
           QStringLiteral("Please email screenshot of this message to ") +
           QString::fromLatin1(product::kSupportAddress);
}

void ReportError(Platform& platform, QWidget* parent, const std::string& description,
                 const std::string& location, int line) {
    platform.warning(parent, QStringLiteral("Application Error"),
                     BuildErrorReport(QString::fromLocal8Bit(description),
                                      QString::fromLocal8Bit(location), line));
}

ErrorReporter MakeErrorReporter(Platform& platform, QWidget* parent) {
    Platform* p = &platform;
    // A report may come after the window is gone (late handlers at exit): show it unparented.
    QPointer<QWidget> owner(parent);
    return [p, owner](const std::string& description, const std::string& location, int line) {
        ReportError(*p, owner.data(), description, location, line);
    };
}

QString TooManyFilesText() {
    return QStringLiteral(
        "You've selected too many files to add.\r\r"
        "Please try adding via the \"Add All\" button.");
}

void ShowTooManyFiles(Platform& platform, QWidget* parent, const QString& applicationTitle) {
    platform.information(parent, applicationTitle, TooManyFilesText());
}

}  // namespace pellatrix
