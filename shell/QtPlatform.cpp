#include "shell/QtPlatform.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTime>
#include <QUrl>

#include "engine/FsError.h"
#include "engine/ShownText.h"

namespace pellatrix {

namespace {

int showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
            QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, QString(), buttons, parent);
    // A file name may hold "<i>" or "&lt;": never read a message as formatting.
    box.setTextFormat(Qt::PlainText);
    box.setText(QtPlatform::displayText(text));
    if (icon == QMessageBox::Warning) {
        box.setWindowModality(Qt::ApplicationModal);
    }
    return box.exec();
}

// The deepest folder that holds every one of `files`.
QString commonFolder(const QStringList& files) {
    QString folder = QFileInfo(files.first()).absolutePath();
    for (const QString& file : files) {
        const QString own = QFileInfo(file).absolutePath();
        while (own != folder &&
               !own.startsWith(folder.endsWith(QLatin1Char('/')) ? folder
                                                                 : folder + QLatin1Char('/'))) {
            const QString parent = QFileInfo(folder).absolutePath();
            if (parent == folder) {
                break;
            }
            folder = parent;
        }
    }
    return folder;
}

}  // namespace

QString QtPlatform::displayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // Only a path makes a line this long (no path of the system is longer than 4096 bytes); a
    // label laying out megabytes would freeze the window before the box appears.
    if (shown.size() <= kShownLineLimit / 3) {
        return shown;  // no line can pass the limit, even in three-byte characters
    }
    QStringList lines = shown.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.size() > kShownLineLimit / 3 && line.toUtf8().size() > kShownLineLimit) {
            line = QString::fromUtf8(ShortenedInTheMiddle(line.toUtf8().toStdString()));
        }
    }
    return lines.join(QLatin1Char('\n'));
}

void QtPlatform::information(QWidget* parent, const QString& title, const QString& text) {
    showBox(parent, QMessageBox::NoIcon, title, text, QMessageBox::Ok);
}

bool QtPlatform::question(QWidget* parent, const QString& title, const QString& text) {
    return showBox(parent, QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void QtPlatform::warning(QWidget* parent, const QString& title, const QString& text) {
    showBox(parent, QMessageBox::Warning, title, text, QMessageBox::Ok);
}

QString QtPlatform::inputText(QWidget* parent, const QString& title, const QString& prompt,
                              const QString& proposal) {
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(displayText(prompt));
    if (auto* label = dialog.findChild<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    dialog.setTextValue(proposal);
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    return dialog.textValue();
}

QString QtPlatform::openFilesResult(const QStringList& files) {
    if (files.isEmpty()) {
        return QString();
    }
    QStringList parts;
    if (files.size() == 1) {
        parts << files.first();
    } else {
        const QDir folder(commonFolder(files));
        parts << folder.absolutePath();
        for (const QString& file : files) {
            parts << folder.relativeFilePath(file);
        }
    }
    qsizetype length = 1;  // the final NUL
    for (const QString& part : parts) {
        length += part.size() + 1;
    }
    if (length > kOpenFilesLimit) {
        throw FsError(kErrDialogResultTooLarge, "The names of the " + std::to_string(files.size()) +
                                                    " selected files do not fit in " +
                                                    std::to_string(kOpenFilesLimit) +
                                                    " characters");
    }
    return parts.join(QChar(0));
}

QString QtPlatform::openFiles(QWidget* parent, const QString& title, const QString& filter) {
    // "*.*" means every file where the filters come from, but Qt's and GTK's dialogs would hide
    // names without a dot (Makefile, README), so the dialog is given "*" for it.
    QString dialogFilter = filter;
    dialogFilter.replace(QLatin1String("(*.*)"), QLatin1String("(*)"));
    return openFilesResult(QFileDialog::getOpenFileNames(parent, title, QString(), dialogFilter));
}

QString QtPlatform::pickFolder(QWidget* parent, const QString& prompt, const QString& startFolder) {
    const QString start = QFileInfo(startFolder).isDir() ? startFolder : QString();
    return QFileDialog::getExistingDirectory(parent, prompt, start, QFileDialog::ShowDirsOnly);
}

void QtPlatform::openDocument(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void QtPlatform::openHomePage(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

int QtPlatform::drawFromSeed(quint32 seed) {
    QRandomGenerator generator(seed);
    const int n = static_cast<int>(generator.generateDouble() * 100.0) + 1;
    return n > 100 ? 100 : n;
}

int QtPlatform::drawOneToHundred() {
    return drawFromSeed(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay() / 1000));
}

}  // namespace pellatrix
