#include "shell/QtPlatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QRandomGenerator>
#include <QScreen>
#include <QTime>
#include <QUrl>

#include "engine/FsError.h"
#include "engine/ShownText.h"
#include "shell/FixedSizeHints.h"
#include "shell/ProductInfo.h"

namespace pellatrix {

namespace {

// A label breaks lines only between words; a long path is one word and would run off the box.
// A zero-width space after every few characters of a long run lets it wrap anywhere.
QString breakableAnywhere(const QString& text) {
    constexpr int kRun = 40;  // runs up to this long are words, and wrap as words
    constexpr int kStep = 8;
    QString out;
    out.reserve(text.size() + text.size() / kStep);
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !text.at(i).isSpace()) {
            continue;
        }
        const QStringView run = QStringView(text).mid(runStart, i - runStart);
        if (run.size() <= kRun) {
            out += run;
        } else {
            qsizetype at = 0;
            while (at < run.size()) {
                // Never between the two halves of a surrogate pair.
                qsizetype end = qMin(at + kStep, run.size());
                if (end < run.size() && run.at(end).isLowSurrogate()) {
                    ++end;
                }
                out += run.mid(at, end - at);
                if (end < run.size()) {
                    out += QChar(0x200B);
                }
                at = end;
            }
        }
        if (i < text.size()) {
            out += text.at(i);
        }
        runStart = i + 1;
    }
    return out;
}

// `text` as the box shows it on `screen`: every line that is longer than what the screen can show
// is shortened further in the middle, so that the whole box fits and centres like every other.
QString fittedToScreen(const QString& text, const QFont& font, const QScreen* screen) {
    if (screen == nullptr) {
        return breakableAnywhere(text);
    }
    const QRect available = screen->availableGeometry();
    // The label's width as QMessageBox makes it for long text (half the screen, 500 at most),
    // less the icon and the margins; the height less title bar, buttons and margins.
    const int width = qMin(available.width() / 2, 500) - 110;
    const int height = available.height() - 220;
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString& shown) {
        return metrics.boundingRect(QRect(0, 0, width, 1 << 24), Qt::TextWordWrap, shown)
                   .height() <= height;
    };
    QString shown = breakableAnywhere(text);
    if (fits(shown)) {
        return shown;
    }
    const QStringList lines = text.split(QLatin1Char('\n'));
    const auto shortened = [&](qsizetype keep) {
        QStringList cut = lines;
        for (QString& line : cut) {
            if (line.size() > keep) {
                line = QString::fromUtf8(ShortenedInTheMiddle(
                    line.toUtf8().toStdString(), 2 * static_cast<std::size_t>(keep) + 3));
            }
        }
        return breakableAnywhere(cut.join(QLatin1Char('\n')));
    };
    // The most of each end that still fits.
    qsizetype low = 8;
    qsizetype high = static_cast<qsizetype>(kShownEnd);
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (fits(shortened(mid))) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return shortened(low);
}

// The input box at the size its contents ask for, like every box of the program. The dialog
// sets its layout's constraint when it is shown, so it is replaced there.
class FixedInputDialog : public QInputDialog {
public:
    using QInputDialog::QInputDialog;

protected:
    void showEvent(QShowEvent* event) override {
        if (layout() != nullptr) {
            layout()->setSizeConstraint(QLayout::SetFixedSize);
        }
        QInputDialog::showEvent(event);
    }
};

// Sets `box`'s text as the program shows every message: plain text (a file name may hold "<i>"
// or "&lt;"), fitted to the screen, on a box of fixed size.
void prepareBox(QMessageBox& box, QWidget* parent, const QString& text) {
    box.setTextFormat(Qt::PlainText);
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    box.setText(fittedToScreen(QtPlatform::displayText(text), box.font(), screen));
    // After the modality, which sets the flags of a box anew.
    box.setWindowFlags(FixedSizeFlags(box.windowFlags()));
}

int showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
            QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, QString(), buttons, parent);
    if (icon == QMessageBox::Warning) {
        box.setWindowModality(Qt::ApplicationModal);
    }
    prepareBox(box, parent, text);
    return box.exec();
}

constexpr const char* kNoticeName = "PellatrixNotice";

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

void QtPlatform::notice(QWidget* parent, const QString& title, const QString& text) {
    QPointer<QMessageBox> box;
    if (parent != nullptr) {
        box = parent->findChild<QMessageBox*>(QString::fromLatin1(kNoticeName),
                                              Qt::FindDirectChildrenOnly);
    }
    if (text.isEmpty()) {
        if (box) {
            box->close();
        }
        return;
    }
    if (!box) {
        box = new QMessageBox(QMessageBox::NoIcon, title, QString(), QMessageBox::Ok, parent);
        box->setObjectName(QString::fromLatin1(kNoticeName));
        box->setAttribute(Qt::WA_DeleteOnClose);
        // Shown beside the window without taking the keyboard from it: the user goes on typing.
        box->setAttribute(Qt::WA_ShowWithoutActivating);
        box->setWindowModality(Qt::NonModal);
    }
    box->setWindowTitle(title);
    prepareBox(*box, parent, text);
    box->show();
}

QString QtPlatform::inputText(QWidget* parent, const QString& title, const QString& prompt,
                              const QString& proposal) {
    FixedInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(displayText(prompt));
    if (auto* label = dialog.findChild<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    dialog.setTextValue(proposal);
    // A box of fixed size, like every box of the program.
    dialog.setWindowFlags(FixedSizeFlags(dialog.windowFlags()));
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
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        return;
    }
    // With no program for it (no xdg-open, nothing associated) Qt only writes to standard error;
    // the user asked for it and must learn that it did not happen.
    QWidget* owner = QApplication::activeModalWidget();
    if (owner == nullptr) {
        owner = QApplication::activeWindow();
    }
    information(owner, QString::fromLatin1(product::kProductName),
                (QFileInfo(path).isDir() ? QStringLiteral("Could not open the folder \"")
                                         : QStringLiteral("Could not open the file \"")) +
                    path + QStringLiteral("\".\rNo program to open it was found."));
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
