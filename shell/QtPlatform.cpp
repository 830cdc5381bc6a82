#include "shell/QtPlatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "engine/fs/FsError.h"
#include "engine/lists/ShownText.h"
#include "shell/BoxText.h"
#include "shell/FixedSizeHints.h"
#include "shell/ProductInfo.h"

namespace pellatrix {

namespace {

// The widest a box's text may be on `screen`: QMessageBox's own limit for long text (half the
// screen, 500 at most) less the margins; a box with an icon grows by the icon.
int boxTextWidth(const QScreen* screen) {
    const int available = screen != nullptr ? screen->availableGeometry().width() : 1024;
    return qMin(available / 2, 500) - 50;
}

// `text` as the box shows it on `screen`: every line that is longer than what the screen can show
// is shortened further in the middle, so that the whole box fits and centres like every other.
QString fittedToScreen(const QString& text, const QFont& font, const QScreen* screen) {
    if (screen == nullptr) {
        return text;
    }
    const int width = boxTextWidth(screen);
    // The height less title bar, buttons and margins.
    const int height = screen->availableGeometry().height() - 220;
    const auto fits = [&](const QString& shown) {
        return BoxText::textHeight(shown, font, width) <= height;
    };
    if (fits(text)) {
        return text;
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
        return cut.join(QLatin1Char('\n'));
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

// The width a box needs for its title to show between the title bar's icon and buttons (Qt's
// own title bar on Wayland centres the title and hides what reaches the buttons).
int widthForTitle(const QString& title) {
    QFont font = QApplication::font();
    font.setPixelSize(14);
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(title) + 160;
}

// A message box whose text is a BoxText (selectable, copyable, wrapped anywhere without
// inserted characters) in the place of QMessageBox's label, and that is wide enough for its title.
class Box : public QMessageBox {
public:
    Box(QMessageBox::Icon icon, const QString& title, QMessageBox::StandardButtons buttons,
        QWidget* parent)
        : QMessageBox(icon, title, QString(), buttons, parent) {
        // Ctrl+C copies the text wherever the focus is in the box.
        auto* copy = new QShortcut(QKeySequence::Copy, this);
        connect(copy, &QShortcut::activated, this, [this] {
            if (m_text != nullptr) {
                m_text->copyToClipboard();
            }
        });
    }

    // Shows `text` (as built: CR LF and CR break lines) fitted to the screen of `owner`.
    void setShownText(const QString& text, QWidget* owner) {
        // A file name may hold "<i>" or "&lt;": never read a message as formatting.
        setTextFormat(Qt::PlainText);
        const QScreen* screen =
            owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
        const QString shown = fittedToScreen(QtPlatform::displayText(text), font(), screen);
        auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        auto* grid = qobject_cast<QGridLayout*>(layout());
        if (label != nullptr && grid != nullptr) {
            delete m_text;
            m_text = new BoxText(shown, boxTextWidth(screen), this);
            int row = 0;
            int column = 0;
            int rows = 0;
            int columns = 0;
            grid->getItemPosition(grid->indexOf(label), &row, &column, &rows, &columns);
            grid->addWidget(m_text, row, column, rows, columns);
            label->hide();
        }
        // The label keeps the text too: text() answers with what is shown.
        setText(shown);
        setAccessibleDescription(shown);
        // After the modality, which sets the flags of a box anew.
        setWindowFlags(FixedSizeFlags(windowFlags()));
        if (isVisible()) {
            widenForTitle();
        }
    }

protected:
    // QMessageBox sets its size anew when shown and at every layout request.
    bool event(QEvent* event) override {
        const bool handled = QMessageBox::event(event);
        if (event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest) {
            const int grow = widenForTitle();
            if (event->type() == QEvent::Show) {
                move(x() - grow / 2, y());  // still centred over its window
            }
        }
        return handled;
    }

    // Makes the box wide enough for its title; returns by how much it grew.
    int widenForTitle() {
        const int needed = widthForTitle(windowTitle());
        if (width() >= needed || layout() == nullptr) {
            return 0;
        }
        const int grow = needed - width();
        setFixedSize(needed, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(needed)
                                                           : layout()->totalMinimumSize().height());
        return grow;
    }

private:
    BoxText* m_text = nullptr;
};

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

int showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
            QMessageBox::StandardButtons buttons) {
    Box box(icon, title, buttons, parent);
    if (icon == QMessageBox::Warning) {
        box.setWindowModality(Qt::ApplicationModal);
    }
    box.setShownText(text, parent);
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
    if (parent == nullptr) {
        return;
    }
    auto* strip =
        parent->findChild<QFrame*>(QString::fromLatin1(kNoticeName), Qt::FindDirectChildrenOnly);
    if (text.isEmpty()) {
        delete strip;
        return;
    }
    // A strip inside the window, never a window of its own: a window manager may activate a new
    // window whatever it asks (icewm did, and the keys typed next went to it), but it never
    // activates a part of one. Dark text on a pale yellow, whatever the theme.
    if (strip == nullptr) {
        strip = new QFrame(parent);
        strip->setObjectName(QString::fromLatin1(kNoticeName));
        strip->setFrameShape(QFrame::Box);
        QPalette colours = strip->palette();
        colours.setColor(QPalette::Window, QColor(0xFF, 0xF4, 0xC4));
        colours.setColor(QPalette::WindowText, QColor(0x30, 0x28, 0x00));
        colours.setColor(QPalette::Text, QColor(0x30, 0x28, 0x00));
        strip->setPalette(colours);
        strip->setAutoFillBackground(true);
        strip->setFocusPolicy(Qt::NoFocus);
        auto* row = new QHBoxLayout(strip);
        row->setContentsMargins(6, 4, 4, 4);
        auto* close = new QToolButton(strip);
        close->setObjectName(QStringLiteral("CloseNotice"));
        close->setText(QStringLiteral("\u00D7"));
        close->setAccessibleName(QStringLiteral("Close the notice"));
        close->setAutoRaise(true);
        close->setFocusPolicy(Qt::NoFocus);
        QObject::connect(close, &QToolButton::clicked, strip, &QObject::deleteLater);
        row->addStretch();
        row->addWidget(close, 0, Qt::AlignTop);
    }
    delete strip->findChild<BoxText*>();
    QFont font = parent->font();
    font.setBold(false);
    font.setPointSizeF(8);
    const int width = parent->width() - 8;
    auto* shown = new BoxText(displayText(text), width - 40, strip);
    shown->setFont(font);
    // Clicked, it can be selected and copied; Tab never stops there.
    shown->setFocusPolicy(Qt::ClickFocus);
    static_cast<QHBoxLayout*>(strip->layout())->insertWidget(0, shown, 1);
    strip->setAccessibleName(title);
    strip->setAccessibleDescription(shown->shownText());
    strip->setGeometry(4, 4, width, BoxText::textHeight(shown->shownText(), font, width - 40) + 10);
    strip->raise();
    strip->show();
}

QString QtPlatform::inputText(QWidget* parent, const QString& title, const QString& prompt,
                              const QString& proposal) {
    FixedInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(displayText(prompt));
    if (auto* label = dialog.findChild<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
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

QString QtPlatform::saveFile(QWidget* parent, const QString& title, const QString& proposal,
                             const QString& filter) {
    return QFileDialog::getSaveFileName(parent, title, proposal, filter);
}

namespace {

// Tells the user that `shown` (a folder, a file, a web page) was asked for and did not open, over
// the window in front, or over the program's window when none is in front yet (at start-up).
void tellCannotOpen(const QString& what, const QString& shown) {
    QWidget* owner = QApplication::activeModalWidget();
    if (owner == nullptr) {
        owner = QApplication::activeWindow();
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (owner == nullptr && w->isVisible() && w->windowType() == Qt::Window) {
            owner = w;
        }
    }
    QtPlatform().information(owner, QString::fromLatin1(product::kProductName),
                             QStringLiteral("Could not open the %1 \"%2\".\rNo program to open it "
                                            "was found.")
                                 .arg(what, shown));
}

// Opens `url` with xdg-open and tells `what` and `shown` when that fails. Started here rather
// than through QDesktopServices, which starts it detached and never learns that it found no
// program (a minimal desktop: exit status 3). Without a parent: xdg-open may wait for the
// program it started, which must outlive the window.
void openWithOpener(const QUrl& url, const QString& argument, const QString& what,
                    const QString& shown) {
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        // With no program for it Qt only writes to standard error; the user asked for it (or
        // the start-up did) and must learn that it did not happen. Told once the event loop
        // runs, so a start-up's box comes over the shown window.
        if (!QDesktopServices::openUrl(url)) {
            QTimer::singleShot(0, qApp, [what, shown] { tellCannotOpen(what, shown); });
        }
        return;
    }
    auto* process = new QProcess;
    process->setProgram(opener);
    process->setArguments({argument});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, what, shown](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status != QProcess::NormalExit || code != 0) {
                             tellCannotOpen(what, shown);
                         }
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, what, shown](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             process->deleteLater();
                             tellCannotOpen(what, shown);
                         }
                     });
    process->start();
}

}  // namespace

void QtPlatform::openDocument(const QString& path) {
    openWithOpener(QUrl::fromLocalFile(path), path,
                   QFileInfo(path).isDir() ? QStringLiteral("folder") : QStringLiteral("file"),
                   path);
}

void QtPlatform::openHomePage(const QString& url) {
    openWithOpener(QUrl(url), url, QStringLiteral("web page"), url);
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
