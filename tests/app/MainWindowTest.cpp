// The real main window on a temporary store and a TestPlatform: start-up, controls, pointer
// feedback, fixed-text persistence, skin, start-up failures and a full creation run.
#define QTEST_QPA_MOUSE_HANDLING
#include <sys/stat.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QLockFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <cstdio>
#include <memory>

#include "app/MainWindow.h"
#include "app/RunMenu.h"
#include "app/RunsDialog.h"
#include "app/TextSource.h"
#include "engine/journal/RunJournal.h"
#include "engine/posix/PosixFileSystem.h"
#include "guidance/GuidanceHandlers.h"
#include "guidance/SampleRecord.h"
#include "inputlist/InputList.h"
#include "shell/ProductInfo.h"
#include "shell/QtPlatform.h"
#include "shell/Yield.h"
#include "tests/support/TestPlatform.h"

using namespace pellatrix;

namespace {

// A state folder of the test's own for the window's runs, XDG_STATE_HOME given back however the
// test ends (a failed comparison returns at once).
struct OwnStateFolder {
    QTemporaryDir work;
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    OwnStateFolder() { qputenv("XDG_STATE_HOME", work.filePath("state").toUtf8()); }
    ~OwnStateFolder() { qputenv("XDG_STATE_HOME", before); }
    OwnStateFolder(const OwnStateFolder&) = delete;
    OwnStateFolder& operator=(const OwnStateFolder&) = delete;
};

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("<none>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Relative luminance of sRGB, 0 for black to 1 for white.
double luminance(const QColor& c) {
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// The darkest colour drawn in `widget`.
QColor darkestPixel(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    QColor darkest(Qt::white);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (luminance(c) < luminance(darkest)) {
                darkest = c;
            }
        }
    }
    return darkest;
}

QByteArray handCursorBytes() {
    QFile f(QStringLiteral(PELLATRIX_HAND_CURSOR));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void startUpOnFreshStore();
    void controlsTable_data();
    void controlsTable();
    void tabOrder();
    void keyboardStart_data();
    void keyboardStart();
    void accessibleNames();
    void readableUnderTheme_data();
    void readableUnderTheme();
    void fixedTextLabelShowsWholeCaption();
    void startUpBoxCentred();
    void homePageOnlyOnSeven_data();
    void homePageOnlyOnSeven();
    void pointerFeedback_data();
    void pointerFeedback();
    void fixedTextPersists_data();
    void fixedTextPersists();
    void fixedTextStoreFailureNoticedOnce();
    void storeLockBlockedNeverHangs_data();
    void storeLockBlockedNeverHangs();
    void skinColoursOnlyWithSkinFile_data();
    void skinColoursOnlyWithSkinFile();
    void startUpStepFailureReported_data();
    void startUpStepFailureReported();
    void creationRunFromWindow();
    void creationRunReportsAndEmptyList();
    void closingDuringRunEndsProcess();
    void previewAndUndoFromContextMenu();
    void failedLinesSavedAndRunAgain();
    void runsDialogActsOnTheSelectedRun();
    void textFromAFileAndFields();

private:
    // A run of list.txt in `work` whose two lines under "blocked" fail; its boxes answered.
    void failingRun(MainWindow& form, const QString& work);
    void runListAlone(MainWindow& form, const QString& list);
    std::unique_ptr<MainWindow> makeWindow() {
        auto form = std::make_unique<MainWindow>(*m_platform, m_store->store(), m_program->path());
        form->setEndProcess([this] { ++m_endProcessCalls; });
        return form;
    }
    template <class T>
    static T* child(MainWindow& form, const char* name) {
        T* w = form.findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr) {
            qWarning("no control %s", name);
        }
        return w;
    }

    std::unique_ptr<TestPlatform> m_platform;
    std::unique_ptr<TemporaryStore> m_store;
    std::unique_ptr<QTemporaryDir> m_program;
    int m_endProcessCalls = 0;
};

void MainWindowTest::init() {
    m_platform = std::make_unique<TestPlatform>();
    m_store = std::make_unique<TemporaryStore>();
    m_program = std::make_unique<QTemporaryDir>();
    m_endProcessCalls = 0;
    // Every yield handles events, so what a test queues runs in the first yield of a run.
    setYieldInterval(0);
}

void MainWindowTest::cleanup() {
    m_platform.reset();
}

void MainWindowTest::startUpOnFreshStore() {
    auto form = makeWindow();
    auto* list = child<InputList>(*form, "ListView1");
    QVERIFY(list);
    QCOMPARE(child<QPlainTextEdit>(*form, "Text1")->toPlainText(), QString());
    QCOMPARE(list->model()->columnCount(), 1);
    QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(),
             QStringLiteral("Text File(s)"));
    QCOMPARE(list->columnWidth(0), 467);
    QCOMPARE(list->entryCount(), 0);
    QCOMPARE(list->toolTip(),
             QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | "
                            "line to right and out of window to reveal full names."));
    QCOMPARE(form->windowTitle(), QStringLiteral("Pellatrix"));
    QCOMPARE(form->applicationTitle(), QStringLiteral("Pellatrix"));
    // isNull() is false even for a missing image; an icon with no size has none.
    QVERIFY(!form->windowIcon().availableSizes().isEmpty());
    QCOMPARE(form->size(), QSize(536, 483));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form->windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
    QVERIFY(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    auto* bar = child<QProgressBar>(*form, "ProgressBar1");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
    QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(!form->hasHandPointer());
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
    // Nothing is shown and nothing stored merely by starting.
    QVERIFY(m_platform->shown().isEmpty());
    QCOMPARE(m_store->store().GetSetting("Text1", QStringLiteral("unset")),
             QStringLiteral("unset"));
    QCOMPARE(form->context().window, form.get());
    QCOMPARE(form->context().list, list);
    QCOMPARE(form->context().applicationTitle(), QStringLiteral("Pellatrix"));
    QCOMPARE(form->context().programFolder, m_program->path());
    // It opens centred on the screen.
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    const QPoint offset = form->geometry().center() - form->screen()->availableGeometry().center();
    QVERIFY2(qAbs(offset.x()) <= 2 && qAbs(offset.y()) <= 2,
             qPrintable(QString("%1,%2").arg(offset.x()).arg(offset.y())));
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::controlsTable_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    auto row = [](const char* name, const char* cls, const char* container, int l, int t, int w,
                  int h, const char* caption) {
        QTest::newRow(name) << name << cls << container << QRect(l, t, w, h) << caption;
    };
    // Twips of the design divided by 15.
    row("Frame2", "QGroupBox", "Form1", 8, 8, 520, 61, "Help");
    row("PushButton1", "QPushButton", "Frame2", 16, 20, 488, 27,
        "What should text file look like?");
    row("ListView1", "pellatrix::InputList", "Form1", 8, 76, 520, 169, "");
    row("PushButton4", "QPushButton", "Form1", 8, 251, 256, 27, "Add Text File(s)");
    row("PushButton3", "QPushButton", "Form1", 272, 251, 256, 27, "Add All Text File(s) In Folder");
    row("PushButton6", "QPushButton", "Form1", 8, 286, 256, 27, "Clear List");
    row("PushButton7", "QPushButton", "Form1", 272, 286, 256, 27, "Load Sample/Example Files");
    row("Frame1", "QGroupBox", "Form1", 8, 318, 520, 87, "File Content Option");
    row("Label1", "QLabel", "Frame1", 16, 16, 379, 15,
        "Put this fixed text content in each file after created (or leave blank):");
    row("Text1", "QPlainTextEdit", "Frame1", 16, 32, 329, 45, "");
    row("PushButton5", "QPushButton", "Frame1", 352, 32, 152, 45,
        "How to add Dynamic Text Content");
    row("PushButton2", "QPushButton", "Form1", 8, 413, 520, 27, "Start Creating Files");
    row("ProgressBar1", "QProgressBar", "Form1", 8, 448, 520, 27, "Progress Bar");
}

void MainWindowTest::controlsTable() {
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    auto form = makeWindow();
    auto* w = form->findChild<QWidget*>(name);
    QVERIFY(w);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->parentWidget()->objectName(), container);
    if (name == "Label1") {
        // Grown to the right as far as its caption needs (fixedTextLabelShowsWholeCaption).
        QCOMPARE(w->geometry().adjusted(0, 0, geometry.width() - w->width(), 0), geometry);
    } else {
        QCOMPARE(w->geometry(), geometry);
    }
    QString shown;
    if (auto* b = qobject_cast<QPushButton*>(w)) {
        shown = b->text();
        QCOMPARE(b->font().family(), QStringLiteral("Arial"));
        QCOMPARE(b->font().pointSizeF(), 11.25);
        QVERIFY(b->font().bold());
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        shown = g->title();
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        shown = l->text();
    } else if (auto* p = qobject_cast<QProgressBar*>(w)) {
        shown = p->text();
        QCOMPARE(p->minimum(), 0);
        QCOMPARE(p->maximum(), 100);
    }
    QCOMPARE(shown, caption);
    if (!qobject_cast<QPushButton*>(w)) {
        QCOMPARE(w->font().pointSize(), 9);
        QVERIFY(w->font().bold());
    }
}

void MainWindowTest::tabOrder() {
    auto form = makeWindow();
    const QStringList expected{"ListView1",   "Text1",       "PushButton4",
                               "PushButton3", "PushButton2", "PushButton6",
                               "PushButton7", "PushButton5", "PushButton1"};
    QStringList chain;
    QWidget* w = form->findChild<QWidget*>("ListView1");
    for (int guard = 0; guard < 200 && chain.size() < expected.size(); ++guard) {
        if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty() &&
            !chain.contains(w->objectName())) {
            chain << w->objectName();
        }
        w = w->nextInFocusChain();
    }
    QCOMPARE(chain, expected);
}

void MainWindowTest::keyboardStart_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

// The list has the focus at start; a key on a focused button presses it.
void MainWindowTest::keyboardStart() {
    QFETCH(int, key);
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(*form, "ListView1"));
    // Tab, Tab, Tab: the text box, "Add Text File(s)", "Add All", then "Start Creating Files".
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(*form, "PushButton2"));
    m_platform->expectInformation();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key),
                    key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information), QStringList{"No files added."});
    // With Ctrl held, Return is no press.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::accessibleNames() {
    auto form = makeWindow();
    const auto name = [&](const char* control) {
        QAccessibleInterface* a =
            QAccessible::queryAccessibleInterface(child<QWidget>(*form, control));
        return a ? a->text(QAccessible::Name) : QString();
    };
    QCOMPARE(name("ListView1"), QStringLiteral("Text File(s)"));
    QCOMPARE(QAccessible::queryAccessibleInterface(child<QWidget>(*form, "ListView1"))
                 ->text(QAccessible::Description),
             child<QWidget>(*form, "ListView1")->toolTip());
    // The list reads as a list of entries, each named by its path, at its position; no table,
    // no column header.
    auto* list = child<InputList>(*form, "ListView1");
    const QStringList paths{"/a/one.txt", "/b/two.txt", "/a/one.txt"};
    list->appendEntries(paths);
    list->setCurrentIndex(list->model()->index(1, 0));
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(list);
    QCOMPARE(a->role(), QAccessible::List);
    QCOMPARE(a->childCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QAccessibleInterface* item = a->child(i);
        QCOMPARE(item->role(), QAccessible::ListItem);
        QCOMPARE(item->text(QAccessible::Name), paths[i]);
        QCOMPARE(a->indexOfChild(item), i);
        QCOMPARE(item->parent(), a);
        QCOMPARE(bool(item->state().selected), i == 1);
    }
    QVERIFY(a->child(3) == nullptr);
    list->removeEntry(3);
    QCOMPARE(a->childCount(), 2);
    QCOMPARE(name("Text1"), child<QLabel>(*form, "Label1")->text());
    QCOMPARE(name("ProgressBar1"), QStringLiteral("Progress"));
    for (const char* control : {"PushButton1", "PushButton2", "PushButton3", "PushButton4",
                                "PushButton5", "PushButton6", "PushButton7", "Frame1", "Frame2"}) {
        QVERIFY2(!name(control).isEmpty(), control);
    }
}

void MainWindowTest::readableUnderTheme_data() {
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QColor>("highlight");
    QTest::newRow("light") << false << QColor(0x30, 0x8c, 0xc6);
    QTest::newRow("dark") << true << QColor(0x35, 0x84, 0xe4);
    // White on it reads 4.54:1 where it is flat, less where the style shades it lighter.
    QTest::newRow("light, selection readable only where flat") << false << QColor(0x2b, 0x78, 0xc8);
}

// White frames, dark text on every white, and a readable list under light and dark themes whose
// selection colours alone would read badly (3.5:1 and 3.9:1).
void MainWindowTest::readableUnderTheme() {
    QFETCH(bool, dark);
    QFETCH(QColor, highlight);
    const QPalette saved = QApplication::palette();
    QPalette theme = saved;
    if (dark) {
        theme = QPalette(QColor(0x35, 0x35, 0x35), QColor(0x2a, 0x2a, 0x2a));
        theme.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
        theme.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
        theme.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
        theme.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    }
    theme.setColor(QPalette::Highlight, highlight);
    theme.setColor(QPalette::HighlightedText, Qt::white);
    QApplication::setPalette(theme);
    auto form = makeWindow();
    auto* list = child<InputList>(*form, "ListView1");
    list->appendEntry("/tmp/selected.txt");
    list->setCurrentIndex(list->model()->index(0, 0));
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    // Reached by the keyboard, the current row also gets the style's focus frame, a darker
    // outline over the fill.
    QTest::keyClick(list, Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), list);
    for (const char* control : {"Label1", "Frame1", "Frame2", "PushButton2", "PushButton5"}) {
        QWidget* w = child<QWidget>(*form, control);
        QVERIFY2(contrast(darkestPixel(w), Qt::white) >= 4.5, control);
    }
    // Inside the frames, left of their controls, the window's white.
    QCOMPARE(child<QWidget>(*form, "Frame1")->grab().toImage().pixelColor(8, 50),
             QColor(Qt::white));
    QCOMPARE(child<QWidget>(*form, "Frame2")->grab().toImage().pixelColor(8, 40),
             QColor(Qt::white));
    // The list and the text box keep the theme's own colours, readable.
    for (const char* control : {"ListView1", "Text1", "ProgressBar1"}) {
        const QPalette p = child<QWidget>(*form, control)->palette();
        QVERIFY2(contrast(p.color(QPalette::Text), p.color(QPalette::Base)) >= 4.5, control);
    }
    // The selected row's fill and the header's empty part, as drawn, against their text.
    const QPalette p = list->palette();
    // Every pixel of the row's fill, wherever the style shades it, in the active window and
    // in an inactive one.
    for (const bool active : {true, false}) {
        if (!active) {
            QWidget other;
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
            QApplication::processEvents();
        }
        const QImage rowImage = list->viewport()->grab().toImage();
        const QRect rowRect = list->visualRect(list->model()->index(0, 0));
        const QFontMetrics metrics(list->font());
        const int textEnd = rowRect.left() + metrics.horizontalAdvance("/tmp/selected.txt") + 12;
        // The text as drawn: its pixel farthest from the fill (antialiased strokes of a small
        // font never quite reach the text's own colour).
        const QColor flat = rowImage.pixelColor(rowRect.right() - 20, rowRect.center().y());
        QColor text = flat;
        for (int y = rowRect.top(); y <= rowRect.bottom(); ++y) {
            for (int x = rowRect.left(); x < textEnd; ++x) {
                const QColor c = rowImage.pixelColor(x, y);
                if (contrast(c, flat) > contrast(text, flat)) {
                    text = c;
                }
            }
        }
        QVERIFY(contrast(text, flat) > 2);
        double worst = 21;
        QColor worstColour;
        // Every pixel of the fill right of the text, the outline at the top and bottom
        // included, and the outline's left edge.
        for (int y = rowRect.top(); y <= rowRect.bottom(); ++y) {
            for (int x = rowRect.left(); x <= rowRect.right(); ++x) {
                if (x != rowRect.left() && x < textEnd) {
                    continue;
                }
                const QColor c = rowImage.pixelColor(x, y);
                if (contrast(c, text) < worst) {
                    worst = contrast(c, text);
                    worstColour = c;
                }
            }
        }
        qInfo("selected row, %s: %.2f:1 at %s against %s", active ? "active" : "inactive", worst,
              qPrintable(worstColour.name()), qPrintable(text.name()));
        QVERIFY2(worst >= 4.5, qPrintable(worstColour.name() + " on " + text.name() + " " +
                                          QString::number(worst)));
    }
    form->activateWindow();
    const QImage header = list->horizontalHeader()->grab().toImage();
    const QColor empty = header.pixelColor(header.width() - 10, header.height() / 2);
    QVERIFY2(contrast(empty, p.color(QPalette::ButtonText)) >= 4.5, qPrintable(empty.name()));
    QApplication::setPalette(saved);
}

void MainWindowTest::fixedTextLabelShowsWholeCaption() {
    auto form = makeWindow();
    auto* label = child<QLabel>(*form, "Label1");
    QVERIFY(label->fontInfo().bold());
    QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
             qPrintable(QString::number(label->width())));
    // Still inside its frame, above the text box.
    QVERIFY(label->geometry().right() < child<QWidget>(*form, "Frame1")->width());
    QVERIFY(label->geometry().bottom() < child<QWidget>(*form, "Text1")->y());
}

// A box raised by a start-up step opens over the window's final, centred place.
void MainWindowTest::startUpBoxCentred() {
    writeFile(m_program->filePath("HAND-M.CUR"), "no cursor");
    QtPlatform real;
    QPoint boxCentre;
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [&, poll] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            poll->stop();
            boxCentre = box->geometry().center();
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    poll->start(10);
    MainWindow form(real, m_store->store(), m_program->path());
    delete poll;
    const QPoint screenCentre = QApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2((boxCentre - screenCentre).manhattanLength() <= 4,
             qPrintable(QString("%1,%2").arg(boxCentre.x()).arg(boxCentre.y())));
}

void MainWindowTest::homePageOnlyOnSeven_data() {
    QTest::addColumn<int>("draw");
    QTest::addColumn<bool>("opens");
    QTest::newRow("1") << 1 << false;
    QTest::newRow("6") << 6 << false;
    QTest::newRow("7") << 7 << true;
    QTest::newRow("8") << 8 << false;
    QTest::newRow("70") << 70 << false;
    QTest::newRow("100") << 100 << false;
}

void MainWindowTest::homePageOnlyOnSeven() {
    QFETCH(int, draw);
    QFETCH(bool, opens);
    m_platform->setDraw(draw);
    auto form = makeWindow();
    QCOMPARE(m_platform->drawCount(), 1);
    QCOMPARE(m_platform->openedHomePages(),
             opens ? QStringList{QString::fromLatin1(product::kHomePage)} : QStringList());
    QVERIFY(m_platform->openedDocuments().isEmpty());
    QVERIFY(m_platform->shown().isEmpty());
}

void MainWindowTest::pointerFeedback_data() {
    QTest::addColumn<bool>("handFile");
    QTest::newRow("with HAND-M.CUR") << true;
    QTest::newRow("without HAND-M.CUR") << false;
}

void MainWindowTest::pointerFeedback() {
    QFETCH(bool, handFile);
    if (handFile) {
        writeFile(m_program->filePath("HAND-M.CUR"), handCursorBytes());
    }
    auto form = makeWindow();
    QCOMPARE(form->hasHandPointer(), handFile);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));

    const Qt::CursorShape hand = handFile ? Qt::BitmapCursor : Qt::ArrowCursor;
    struct Move {
        const char* over;
        QPoint at;  // in the control, (0,0): its centre
        int state;
    };
    const Move moves[] = {
        {"Form1", QPoint(4, 4), MainWindow::kPointerDefault},
        {"PushButton2", QPoint(), MainWindow::kPointerCustom},
        {"Form1", QPoint(4, 245), MainWindow::kPointerDefault},
        {"PushButton1", QPoint(), MainWindow::kPointerCustom},
        {"Frame2", QPoint(3, 55), MainWindow::kPointerDefault},
        {"PushButton5", QPoint(), MainWindow::kPointerCustom},
        {"Frame1", QPoint(3, 80), MainWindow::kPointerDefault},
        {"PushButton7", QPoint(), MainWindow::kPointerCustom},
        {"Text1", QPoint(), MainWindow::kPointerDefault},
        {"PushButton4", QPoint(), MainWindow::kPointerCustom},
    };
    for (const Move& m : moves) {
        QWidget* w = m.over == QByteArray("Form1") ? form.get() : form->findChild<QWidget*>(m.over);
        QVERIFY(w);
        QTest::mouseMove(w, m.at.isNull() ? w->rect().center() : m.at);
        QTRY_COMPARE_WITH_TIMEOUT(form->pointerState(), m.state, 2000);
        QCOMPARE(form->cursor().shape(),
                 m.state == MainWindow::kPointerCustom ? hand : Qt::ArrowCursor);
    }

    // Busy: the hover handlers leave the wait pointer alone, wherever the mouse goes.
    form->setPointerState(MainWindow::kPointerBusy);
    for (const char* over : {"PushButton3", "Text1", "Frame1", "PushButton6"}) {
        QWidget* w = form->findChild<QWidget*>(over);
        QTest::mouseMove(w, w->rect().center());
        QTest::qWait(20);
        QCOMPARE(form->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(form->pointerState(), static_cast<int>(MainWindow::kPointerBusy));
    }
    QTest::mouseMove(form.get(), QPoint(4, 4));
    QTest::qWait(20);
    QCOMPARE(form->cursor().shape(), Qt::WaitCursor);
    // Once the busy period ends, hovering works again.
    form->setPointerState(MainWindow::kPointerDefault);
    QWidget* b = form->findChild<QWidget*>("PushButton6");
    QTest::mouseMove(b, QPoint(5, 5));
    QTest::mouseMove(b, b->rect().center());
    QTRY_COMPARE_WITH_TIMEOUT(form->pointerState(), static_cast<int>(MainWindow::kPointerCustom),
                              2000);
}

void MainWindowTest::fixedTextPersists_data() {
    QTest::addColumn<QString>("typed");   // typed with the keyboard, '\n' as Return
    QTest::addColumn<QString>("pasted");  // then inserted as a paste
    QTest::addColumn<int>("backspaces");  // then erased from the end
    QTest::addColumn<QString>("expected");
    QTest::newRow("one character") << "x"
                                   << "" << 0 << "x";
    QTest::newRow("line breaks") << "first\nsecond\n\nfourth\n"
                                 << "" << 0 << "first\nsecond\n\nfourth\n";
    QTest::newRow("pasted no-break space and tab")
        << "a" << QStringLiteral("\u00a0b\tc\u00e9") << 0 << QStringLiteral("a\u00a0b\tc\u00e9");
    QTest::newRow("comma and quote") << ""
                                     << "x, y \"z\"; w=1" << 0 << "x, y \"z\"; w=1";
    QTest::newRow("erased to empty") << "ab"
                                     << "" << 2 << "";
}

void MainWindowTest::fixedTextPersists() {
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(int, backspaces);
    QFETCH(QString, expected);
    {
        auto form = makeWindow();
        auto* text1 = child<QPlainTextEdit>(*form, "Text1");
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        text1->setFocus();
        const QStringList lines = typed.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0) {
                QTest::keyClick(text1, Qt::Key_Return);
            }
            QTest::keyClicks(text1, lines[i]);
            // Every change is stored at once, the whole text.
            QCOMPARE(m_store->store().GetSetting("Text1", QStringLiteral("unset")),
                     typed.isEmpty() ? QStringLiteral("unset") : form->fixedText());
        }
        if (!pasted.isEmpty()) {
            text1->insertPlainText(pasted);
        }
        for (int i = 0; i < backspaces; ++i) {
            QTest::keyClick(text1, Qt::Key_Backspace);
        }
        QCOMPARE(form->fixedText(), expected);
        QCOMPARE(m_store->store().GetSetting("Text1", QStringLiteral("unset")), expected);
        form->close();
    }
    auto next = makeWindow();
    QCOMPARE(next->fixedText(), expected);
    QCOMPARE(child<QPlainTextEdit>(*next, "Text1")->toPlainText().size(), expected.size());
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::fixedTextStoreFailureNoticedOnce() {
    QTemporaryDir dir;
    SettingsStore store(dir.filePath("sub/Pellatrix.conf"));
    MainWindow form(*m_platform, store, m_program->path());
    form.setEndProcess([] {});
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* text1 = child<QPlainTextEdit>(form, "Text1");
    text1->setFocus();
    // From now on the store cannot be written: its folder's place is taken by a file.
    QVERIFY(QDir(dir.filePath("sub")).removeRecursively());
    writeFile(dir.filePath("sub"), "x");
    // Three keystrokes, one notice and no modal box: every key reaches the text box.
    QTest::keyClicks(text1, "abc");
    QStringList notices = m_platform->texts(TestPlatform::Kind::Notice);
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().startsWith("The fixed text is not stored yet:\rCannot "),
             qPrintable(notices.first()));
    QCOMPARE(form.fixedText(), QStringLiteral("abc"));
    QVERIFY(text1->hasFocus());
    // Writable again: the next change stores the whole text and closes the notice; a later
    // failure is told again.
    QVERIFY(QFile::remove(dir.filePath("sub")));
    QTest::keyClicks(text1, "d");
    QCOMPARE(store.GetSetting("Text1", QString()), QStringLiteral("abcd"));
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Notice).last(), QString());
    QVERIFY(QDir(dir.filePath("sub")).removeRecursively());
    writeFile(dir.filePath("sub"), "x");
    QTest::keyClicks(text1, "ef");
    notices = m_platform->texts(TestPlatform::Kind::Notice);
    QCOMPARE(notices.size(), 3);
    QCOMPARE(notices.last(), notices.first());
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::storeLockBlockedNeverHangs_data() {
    QTest::addColumn<QString>("saved");
    QTest::addColumn<bool>("heldByCopy");  // else a folder stands where the lock file goes
    QTest::addColumn<int>("closes");       // closing the window this often while it is held
    QTest::addColumn<QString>("why");
    // The restored text is stored back at once, which meets the blocked lock already.
    QTest::newRow("lock folder, restored text written back")
        << "restored" << false << 0 << "Pellatrix.conf.lock' is a folder";
    QTest::newRow("lock folder, nothing to restore")
        << "" << false << 0 << "Pellatrix.conf.lock' is a folder";
    QTest::newRow("held by another copy") << "" << true << 0 << "held by another running copy";
    QTest::newRow("held by another copy, restored text")
        << "restored" << true << 0 << "held by another running copy";
    QTest::newRow("closed while held: waits, then closes")
        << "" << true << 1 << "held by another running copy";
    QTest::newRow("closed twice while held: closes without it")
        << "restored" << true << 2 << "held by another running copy";
}

// A lock that cannot be taken: start-up and typing go on without waiting for it, the delay is
// told once beside the window without taking its keys, and the text the box holds is stored
// once the lock is free again; closing waits for that unless the user closes once more.
void MainWindowTest::storeLockBlockedNeverHangs() {
    QFETCH(QString, saved);
    QFETCH(bool, heldByCopy);
    QFETCH(int, closes);
    QFETCH(QString, why);
    // A record that matches the program's samples, so start-up has nothing to record again.
    const QString sample = m_program->path() + "/Samples/sample1.txt";
    QVERIFY(QDir().mkpath(m_program->path() + "/Samples"));
    QFile sampleFile(sample);
    QVERIFY(sampleFile.open(QIODevice::WriteOnly));
    sampleFile.close();
    m_store->store().SaveSetting(
        "Snapshot", snapshotSettingText(ScrambleText(sample.toStdString(), SampleRecordKey)));
    if (!saved.isEmpty()) {
        m_store->store().SaveSetting("Text1", saved);
    }
    const QString lockPath = m_store->iniPath() + ".lock";
    // Another running copy, as QLockFile knows one: a live process named in the lock file.
    QProcess copy;
    const auto release = [&] {
        copy.kill();
        copy.waitForFinished();
        QFile::remove(lockPath);
        QDir().rmdir(lockPath);
    };
    if (heldByCopy) {
        copy.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(copy.waitForStarted());
        writeFile(lockPath, QByteArray::number(copy.processId()) + "\nsleep\n" +
                                QSysInfo::machineHostName().toUtf8() + "\n");
        QVERIFY(!QLockFile(lockPath).tryLock(0));
    } else {
        QVERIFY(QDir().mkpath(lockPath));
    }
    auto form = makeWindow();
    // Nothing is shown before the window, over which the notice then comes.
    QVERIFY(m_platform->shown().isEmpty());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Notice).size(), saved.isEmpty() ? 0 : 1);
    QCOMPARE(form->fixedText(), saved);
    auto* text1 = child<QPlainTextEdit>(*form, "Text1");
    text1->setFocus();
    // Three keystrokes take less than one wait for the lock would.
    QElapsedTimer clock;
    clock.start();
    QTest::keyClicks(text1, "xyz");
    QVERIFY2(clock.elapsed() < SettingsStore::kLockWaitMs,
             qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(400);  // the retry fails quietly
    QCOMPARE(m_platform->shown().size(), 1);
    const QString notice = m_platform->texts(TestPlatform::Kind::Notice).first();
    QVERIFY2(notice.contains(why), qPrintable(notice));
    QCOMPARE(form->fixedText(), "xyz" + saved);
    for (int i = 0; i < closes; ++i) {
        form->close();
    }
    if (closes == 1) {
        // Still open, and saying why; it closes by itself once the text is stored.
        QVERIFY(form->isVisible());
        QVERIFY2(m_platform->texts(TestPlatform::Kind::Notice)
                     .last()
                     .startsWith("The window closes as soon as the fixed text is stored."),
                 qPrintable(m_platform->texts(TestPlatform::Kind::Notice).last()));
        release();
        QTRY_VERIFY(!form->isVisible());
        QCOMPARE(m_store->store().GetSetting("Text1", QString()), QStringLiteral("xyz"));
    } else if (closes == 2) {
        // The user chose to close without it: closed, the store as it was.
        QVERIFY(!form->isVisible());
        release();
        QCOMPARE(m_store->store().GetSetting("Text1", QString()), saved);
    } else {
        release();
        if (saved.isEmpty()) {
            // The retry timer stores it, and the notice goes.
            QTRY_COMPARE(m_store->store().GetSetting("Text1", QString()), QStringLiteral("xyz"));
            QTRY_COMPARE(m_platform->texts(TestPlatform::Kind::Notice).last(), QString());
        } else {
            // Closing stores it, with no event in between.
            form->close();
            QVERIFY(!form->isVisible());
            QCOMPARE(m_store->store().GetSetting("Text1", QString()), "xyz" + saved);
        }
    }
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::skinColoursOnlyWithSkinFile_data() {
    QTest::addColumn<QString>("skinPath");  // relative to the program folder, "" for none
    QTest::addColumn<bool>("skinned");
    QTest::newRow("no skin") << "" << false;
    QTest::newRow("skin file") << "x/o.cjs" << true;
    QTest::newRow("folder named like the skin") << "x/o.cjs/" << false;
    QTest::newRow("skin under another name") << "x/O.CJS" << false;
}

void MainWindowTest::skinColoursOnlyWithSkinFile() {
    QFETCH(QString, skinPath);
    QFETCH(bool, skinned);
    const QByteArray sheet = "QPushButton { font-style: italic; }";
    if (skinPath.endsWith(QLatin1Char('/'))) {
        QVERIFY(QDir().mkpath(m_program->filePath(skinPath)));
    } else if (!skinPath.isEmpty()) {
        writeFile(m_program->filePath(skinPath), sheet);
    }
    auto form = makeWindow();
    const QColor expected =
        skinned ? QApplication::palette().color(QPalette::Button) : QColor(Qt::white);
    for (const char* name : {"Form1", "Frame1", "Frame2", "Label1"}) {
        QWidget* w = QByteArray(name) == "Form1" ? form.get() : form->findChild<QWidget*>(name);
        QCOMPARE(w->palette().color(QPalette::Window), expected);
    }
    // Buttons and the list keep their own colours.
    QCOMPARE(form->findChild<QPushButton*>("PushButton2")->palette().color(QPalette::Button),
             QColor(Qt::white));
    QCOMPARE(form->styleSheet(), skinned ? QString::fromLatin1(sheet) : QString());
    QVERIFY(m_platform->shown().isEmpty());
}

void MainWindowTest::startUpStepFailureReported_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("not a cursor image") << "garbage";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a FIFO without writer") << "fifo";
}

void MainWindowTest::startUpStepFailureReported() {
    QFETCH(QString, kind);
    const QString hand = m_program->filePath("HAND-M.CUR");
    if (kind == "garbage") {
        writeFile(hand, "This is no cursor at all, just text.\n");
    } else if (kind == "empty") {
        writeFile(hand, QByteArray());
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(hand));
    } else {
        QCOMPARE(::mkfifo(QFile::encodeName(hand).constData(), 0600), 0);
    }
    m_store->store().SaveSetting("Text1", "restored");
    m_platform->expectWarning();
    auto form = makeWindow();  // a FIFO must not block the start-up
    const QStringList reports = m_platform->texts(TestPlatform::Kind::Warning);
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().contains(
                 QStringLiteral("\r\nin Morvane2021/08/31.Form1.Form_Load at line 108\r\r")),
             qPrintable(reports.first()));
    QVERIFY2(reports.first().contains(m_program->filePath("HAND-M.CUR")),
             qPrintable(reports.first()));
    QCOMPARE(m_platform->shown().first().title, QStringLiteral("Application Error"));
    // Start-up went on: the later steps ran.
    QCOMPARE(form->fixedText(), QStringLiteral("restored"));
    QCOMPARE(
        form->findChild<InputList*>("ListView1")->model()->headerData(0, Qt::Horizontal).toString(),
        QStringLiteral("Text File(s)"));
    QCOMPARE(m_platform->drawCount(), 1);
    // The custom pointer falls back to the arrow.
    QVERIFY(!form->hasHandPointer());
    form->setPointerState(MainWindow::kPointerCustom);
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::creationRunFromWindow() {
    QTemporaryDir work;
    const QString out = work.filePath("out");
    writeFile(work.filePath("list1.txt"),
              (out + "/new1/a.txt\n\n" + out + "/new1/b.txt\n").toUtf8());
    // A list file whose name is no UTF-8: the run must be handed the name's exact bytes.
    const QByteArray list2 = QFile::encodeName(work.path()) + "/l\xff.txt";
    {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(list2.constData(), "wb"),
                                                   std::fclose);
        QVERIFY(file);
        const QByteArray lines = (out + "/new2/deeper/c.txt\r\n").toUtf8();
        QCOMPARE(std::fwrite(lines.constData(), 1, lines.size(), file.get()),
                 std::size_t(lines.size()));
    }

    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    auto* list = child<InputList>(*form, "ListView1");
    auto* text1 = child<QPlainTextEdit>(*form, "Text1");
    auto* bar = child<QProgressBar>(*form, "ProgressBar1");
    auto* start = child<QPushButton>(*form, "PushButton2");
    // Named on the command line: added as a drop adds them, the exact bytes kept.
    form->addListFiles(
        {QFile::encodeName(work.filePath("list1.txt")).toStdString(), list2.toStdString()});
    QCOMPARE(list->entryBytes(2), list2.toStdString());
    // A name that reaches nothing is told at once and not added; several go in one box.
    for (const QStringList& gone :
         {QStringList{"gone.txt"}, QStringList{"gone.txt", "dangling", "also <b>gone</b>"}}) {
        std::vector<std::string> named;
        for (const QString& name : gone) {
            named.push_back(QFile::encodeName(work.filePath(name)).toStdString());
        }
        QFile::link(work.filePath("nothing"), work.filePath("dangling"));
        m_platform->expectInformation();
        form->addListFiles(named);
        QCOMPARE(list->entryCount(), 2);
    }
    QCOMPARE(
        m_platform->texts(TestPlatform::Kind::Information),
        (QStringList{"The list file \"" + work.filePath("gone.txt") + "\" was not found.",
                     "These list files were not found:\r" + work.filePath("gone.txt") + "\r" +
                         work.filePath("dangling") + "\r" + work.filePath("also <b>gone</b>")}));
    text1->setFocus();
    QTest::keyClicks(text1, "fixed");
    QTest::keyClick(text1, Qt::Key_Return);
    QTest::keyClicks(text1, "text");

    QList<int> values;
    connect(bar, &QProgressBar::valueChanged, this, [&](int v) { values << v; });

    // In the first yield of the run: a second click on the button and a hover over buttons.
    bool nestedDone = false;
    int runningAtNestedClick = -1;
    Qt::CursorShape shapeWhileHovering = Qt::BlankCursor;
    Qt::CursorShape textBoxShapeWhileBusy = Qt::BlankCursor;
    Qt::CursorShape listShapeAfterClick = Qt::BlankCursor;
    QTimer::singleShot(0, this, [&] {
        textBoxShapeWhileBusy = text1->viewport()->cursor().shape();
        // A click on an entry gives the list its drag pointer, but not while busy.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(0, 0)).center());
        listShapeAfterClick = list->viewport()->cursor().shape();
        runningAtNestedClick = form->runInProgress() ? 1 : 0;
        QTest::mouseClick(start, Qt::LeftButton);
        QTest::mouseMove(child<QWidget>(*form, "PushButton3"));
        QTest::mouseMove(text1);
        QTest::qWait(10);
        shapeWhileHovering = form->cursor().shape();
        nestedDone = true;
    });

    int barAtDone = -1;
    QString barTextAtDone;
    Qt::CursorShape shapeAtDone = Qt::BlankCursor;
    m_platform->expectInformation([&] {
        barAtDone = bar->value();
        barTextAtDone = bar->text();
        shapeAtDone = form->cursor().shape();
    });
    QTest::mouseClick(start, Qt::LeftButton);

    QVERIFY(nestedDone);
    QCOMPARE(runningAtNestedClick, 1);
    QCOMPARE(shapeWhileHovering, Qt::WaitCursor);
    // The text box's own I-beam gives way to the wait pointer while busy, and comes back.
    QCOMPARE(textBoxShapeWhileBusy, Qt::WaitCursor);
    QCOMPARE(text1->viewport()->cursor().shape(), Qt::IBeamCursor);
    QCOMPARE(listShapeAfterClick, Qt::WaitCursor);
    QCOMPARE(list->viewport()->cursor().shape(), Qt::ArrowCursor);
    // Exactly one "Done.", with the window's title, the bar already at rest.
    // Under "Done.", what the run did: the folders out, new1, new2 and new2/deeper.
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).mid(2),
             QStringList{"Done.\r3 files created, 0 files replaced, 4 folders made, 0 failures"});
    QCOMPARE(m_platform->shown().last().title, QStringLiteral("Pellatrix"));
    QCOMPARE(m_platform->shown().last().parentAtCall, form.get());
    QCOMPARE(barAtDone, 0);
    QCOMPARE(barTextAtDone, QStringLiteral("Progress Bar"));
    QCOMPARE(shapeAtDone, Qt::ArrowCursor);
    QVERIFY(!form->runInProgress());
    // Three files: 33, 67, 100, then back to 0.
    QCOMPARE(values, (QList<int>{33, 67, 100, 0}));
    for (const char* name : {"new1/a.txt", "new1/b.txt", "new2/deeper/c.txt"}) {
        QCOMPARE(readAll(out + "/" + name), QStringLiteral("fixed\ntext"));
    }
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::creationRunReportsAndEmptyList() {
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    auto* bar = child<QProgressBar>(*form, "ProgressBar1");
    auto* start = child<QPushButton>(*form, "PushButton2");
    // Empty list: only "No files added."; bar and pointer untouched.
    m_platform->expectInformation();
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information), QStringList{"No files added."});
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));

    // A list file that vanished is reported at line 124 in the window's error box; a line that
    // cannot be written is reported with its list and line in words under the description. The
    // run still ends with "Done." and what it did.
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir("adir"));
    writeFile(work.filePath("ok.txt"), "old");
    const QString bad = work.filePath("bad.txt");
    writeFile(bad, (work.filePath("ok.txt") + "\n\n" + work.filePath("adir") + "\n").toUtf8());
    form->findChild<InputList*>("ListView1")->appendEntry(work.filePath("gone.txt"));
    form->findChild<InputList*>("ListView1")->appendEntry(bad);
    m_platform->expectWarning();
    m_platform->expectWarning();
    m_platform->expectInformation();
    QTest::mouseClick(start, Qt::LeftButton);
    const QStringList warnings = m_platform->texts(TestPlatform::Kind::Warning);
    QCOMPARE(warnings.size(), 2);
    QVERIFY2(warnings.first().contains(QStringLiteral(
                 "\r\nin Morvane2021/08/31.Form1.PushButton2_Click at line 124\r\r")),
             qPrintable(warnings.first()));
    QVERIFY(warnings.first().contains(work.filePath("gone.txt")));
    QVERIFY2(warnings.last().startsWith(QStringLiteral("Cannot ")) &&
                 warnings.last().contains(work.filePath("adir") + "' for writing: ") &&
                 warnings.last().contains(
                     "\r" + bad + ", line 3\r\nin Morvane2021/08/31.Form1.PushButton2_Click at "),
             qPrintable(warnings.last()));
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("Done.\r0 files created, 1 file replaced, 0 folders made, 2 failures"));
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

void MainWindowTest::closingDuringRunEndsProcess() {
    QTemporaryDir work;
    writeFile(work.filePath("list.txt"), (work.filePath("a.txt") + "\n").toUtf8());
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->findChild<InputList*>("ListView1")->appendEntry(work.filePath("list.txt"));
    int callsWhileRunning = -1;
    QTimer::singleShot(0, this, [&] {
        form->close();
        callsWhileRunning = m_endProcessCalls;
    });
    m_platform->expectInformation();
    QTest::mouseClick(form->findChild<QPushButton*>("PushButton2"), Qt::LeftButton);
    QCOMPARE(callsWhileRunning, 1);
    // Closing an idle window only closes it (the application then quits as usual).
    auto idle = makeWindow();
    idle->show();
    QVERIFY(QTest::qWaitForWindowExposed(idle.get()));
    idle->close();
    QCOMPARE(m_endProcessCalls, 1);
}

// The context menu of the background and the list: a preview that can start the run, an undo
// that asks first, and both refused while a run is busy.
void MainWindowTest::previewAndUndoFromContextMenu() {
    OwnStateFolder state;
    const QTemporaryDir& work = state.work;
    const QString out = work.filePath("out");
    writeFile(out + "/old.txt", "old");
    writeFile(work.filePath("list.txt"), (out + "/new/a.txt>A\n" + out + "/old.txt>B\n").toUtf8());
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    auto* list = child<InputList>(*form, "ListView1");
    RunMenu* menu = form->runMenu();
    QCOMPARE(menu->menu()->actions().size(), 8);  // and a separator before the text's source
    QCOMPARE(menu->previewAction()->text(), QStringLiteral("Preview Run..."));
    QCOMPARE(menu->undoAction()->text(), QStringLiteral("Undo Last Run..."));

    // Shown on the list (mouse, Shift+F10) and the background, not on a button.
    const auto opensMenu = [&](QWidget* target, QContextMenuEvent::Reason reason) {
        menu->menu()->hide();
        QContextMenuEvent event(reason, QPoint(2, 2), target->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(target, &event);
        const bool shown = menu->menu()->isVisible();
        menu->menu()->hide();
        return shown;
    };
    QVERIFY(opensMenu(list->viewport(), QContextMenuEvent::Mouse));
    QVERIFY(opensMenu(list, QContextMenuEvent::Keyboard));
    QVERIFY(opensMenu(form.get(), QContextMenuEvent::Mouse));
    QVERIFY(!opensMenu(child<QPushButton>(*form, "PushButton2"), QContextMenuEvent::Mouse));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    QVERIFY(menu->menu()->isVisible());
    menu->menu()->hide();

    // An empty list: the button's box.
    m_platform->expectInformation();
    menu->previewAction()->trigger();
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("No files added."));

    // The preview: counts, the steps readable by keyboard, nothing written; then started.
    list->appendEntry(work.filePath("list.txt"));
    QStringList steps;
    QString counts;
    m_platform->expectDialog(true, [&] {
        auto* dialog = dynamic_cast<PreviewDialog*>(m_platform->dialog());
        QVERIFY(dialog);
        counts = dialog->counts()->text();
        QCOMPARE(dialog->steps()->accessibleName(), QStringLiteral("Planned steps"));
        QCOMPARE(dialog->startButton()->text(), QStringLiteral("Start Creating Files"));
        QAbstractItemModel* model = dialog->steps()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            steps << model->index(row, 0).data(Qt::AccessibleTextRole).toString();
        }
        QCOMPARE(dialog->steps()->currentIndex().row(), 0);
        QTest::keyClick(dialog->steps(), Qt::Key_Down);
        QCOMPARE(dialog->steps()->currentIndex().row(), 1);
        QVERIFY(!QFileInfo::exists(out + "/new"));
    });
    m_platform->expectInformation();
    menu->previewAction()->trigger();
    QCOMPARE(counts,
             QStringLiteral(
                 "1 file to create, 1 file to replace, 1 folder to make, 0 foreseen failures"));
    QCOMPARE(steps, QStringList({"folder " + out + "/new", "create " + out + "/new/a.txt",
                                 "replace " + out + "/old.txt"}));
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("Done.\r1 file created, 1 file replaced, 1 folder made, 0 failures"));
    QCOMPARE(readAll(out + "/old.txt"), QStringLiteral("B"));

    // Undo asks first; No changes nothing, Yes takes the run back.
    m_platform->expectQuestion(false);
    menu->undoAction()->trigger();
    QVERIFY(m_platform->texts(TestPlatform::Kind::Question)
                .last()
                .contains(QStringLiteral("It created 1 file and 1 folder, and replaced 1 file.")));
    QCOMPARE(readAll(out + "/old.txt"), QStringLiteral("B"));
    m_platform->expectQuestion(true);
    m_platform->expectInformation();
    menu->undoAction()->trigger();
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("The run was undone: 1 file removed, 1 file put back, 1 folder "
                            "removed."));
    QCOMPARE(readAll(out + "/old.txt"), QStringLiteral("old"));
    QVERIFY(!QFileInfo::exists(out + "/new"));
    m_platform->expectInformation();
    menu->undoAction()->trigger();
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("There is no run to undo."));

    // While a run is busy: refused with a box; the run goes on to its end.
    QTimer::singleShot(0, this, [&] { menu->undoAction()->trigger(); });
    m_platform->expectInformation();
    m_platform->expectInformation();
    QTest::mouseClick(child<QPushButton>(*form, "PushButton2"), Qt::LeftButton);
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).mid(4),
             QStringList({"A run is under way. Undo it when it has ended.",
                          "Done.\r1 file created, 1 file replaced, 1 folder made, 0 failures"}));
    QVERIFY(m_platform->verifyAllAnswersUsed());

    // Large counts are grouped as the user's locale writes numbers, in the preview and under
    // "Done.".
    const QLocale savedLocale;
    struct Grouped {
        QLocale::Language locale;
        const char* preview;
        const char* done;
    };
    for (const Grouped& row :
         {Grouped{QLocale::English,
                  "1,000,000 files to create, 1 file to replace, 12,345 folders to make, 0 "
                  "foreseen failures",
                  "1,000,000 files created, 1 file replaced, 12,345 folders made, 2,000 failures"},
          Grouped{QLocale::German,
                  "1.000.000 files to create, 1 file to replace, 12.345 folders to make, 0 "
                  "foreseen failures",
                  "1.000.000 files created, 1 file replaced, 12.345 folders made, 2.000 "
                  "failures"}}) {
        QLocale::setDefault(QLocale(row.locale));
        QCOMPARE(PreviewDialog::countsText({1'000'000, 1, 0, 12'345, 0, false}),
                 QString::fromLatin1(row.preview));
        QCOMPARE(RunOutcomeText(1'000'000, 1, 12'345, 2'000), QString::fromLatin1(row.done));
    }
    QLocale::setDefault(savedLocale);
}

namespace {

// The lines of the list of failingRun that fail while "blocked" is a file.
QByteArray blockedLines(const QString& out) {
    return (out + "/blocked/b.txt>B\r\n" + out + "/blocked/c.txt\r\n").toUtf8();
}

// "blocked" made the folder it should have been.
void fixBlocked(const QString& out) {
    QFile::remove(out + "/blocked");
    QVERIFY(QDir().mkpath(out + "/blocked"));
}

}  // namespace

void MainWindowTest::failingRun(MainWindow& form, const QString& work) {
    const QString out = work + "/out";
    writeFile(out + "/blocked", "a file where a folder is wanted");
    writeFile(work + "/list.txt", (out + "/a.txt>A\r\n").toUtf8() + blockedLines(out));
    child<InputList>(form, "ListView1")->appendEntry(work + "/list.txt");
    m_platform->expectWarning();
    m_platform->expectWarning();
    m_platform->expectInformation();
    QTest::mouseClick(child<QPushButton>(form, "PushButton2"), Qt::LeftButton);
}

// A run of `list` alone in the window, ended by its "Done." box.
void MainWindowTest::runListAlone(MainWindow& form, const QString& list) {
    auto* inputs = child<InputList>(form, "ListView1");
    inputs->clearEntries();
    inputs->appendEntry(list);
    m_platform->expectInformation();
    QTest::mouseClick(child<QPushButton>(form, "PushButton2"), Qt::LeftButton);
}

// A run with failures, as a user meets it: "Save Failed Lines..." saves its failed lines as a
// list through the save dialog (never onto its own list); fixed by hand, a run over that list
// creates just those files.
void MainWindowTest::failedLinesSavedAndRunAgain() {
    OwnStateFolder state;
    const QTemporaryDir& work = state.work;
    const QString out = work.filePath("out");
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    RunMenu* menu = form->runMenu();
    QCOMPARE(menu->saveFailedAction()->text(), QStringLiteral("Save Failed Lines..."));
    QVERIFY(!menu->saveFailedAction()->isEnabled());
    failingRun(*form, work.path());
    QVERIFY(menu->saveFailedAction()->isEnabled());
    m_platform->expectSaveFile(work.filePath("list.txt"));
    m_platform->expectInformation();
    m_platform->expectSaveFile(work.filePath("again.txt"));
    m_platform->expectInformation();
    menu->saveFailedAction()->trigger();
    menu->saveFailedAction()->trigger();
    const QList<TestPlatform::Shown> shown = m_platform->shown();
    QCOMPARE(shown[shown.size() - 4].proposal, QStringLiteral("Text files (*.txt);;All files (*)"));
    QCOMPARE(shown[shown.size() - 4].text, work.filePath("list-failed.txt"));
    QVERIFY(m_platform->texts(TestPlatform::Kind::Information)
                .at(1)
                .startsWith(QStringLiteral("The failed lines cannot be saved to")));
    QCOMPARE(m_platform->texts(TestPlatform::Kind::Information).last(),
             QStringLiteral("2 failed lines saved to \"%1\".").arg(work.filePath("again.txt")));
    QCOMPARE(readAll(work.filePath("again.txt")).toUtf8(), blockedLines(out));

    fixBlocked(out);
    runListAlone(*form, work.filePath("again.txt"));
    QCOMPARE(readAll(out + "/blocked/b.txt"), QStringLiteral("B"));
    QCOMPARE(QDir(out + "/blocked").entryList(QDir::Files).size(), 2);
    QVERIFY(!menu->saveFailedAction()->isEnabled());
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

// "Runs..." shows the kept runs newest first, read by keyboard and screen reader, and acts on
// the one selected: its failures, its failed lines, the folder of its first file, its undo.
void MainWindowTest::runsDialogActsOnTheSelectedRun() {
    OwnStateFolder state;
    const QTemporaryDir& work = state.work;
    const QString out = work.filePath("out");
    auto form = makeWindow();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    RunMenu* menu = form->runMenu();
    QCOMPARE(menu->runsAction()->text(), QStringLiteral("Runs..."));
    failingRun(*form, work.path());
    fixBlocked(out);
    writeFile(work.filePath("again.txt"), blockedLines(out));
    runListAlone(*form, work.filePath("again.txt"));

    QStringList rows;
    PosixFileSystem posix;
    m_platform->expectDialog(false, [&] {
        auto* dialog = dynamic_cast<RunsDialog*>(m_platform->dialog());
        QVERIFY(dialog);
        QTreeWidget* view = dialog->runsView();
        QCOMPARE(view->accessibleName(), QStringLiteral("Kept runs"));
        QCOMPARE(dialog->accessibleDescription(), QStringLiteral("2 kept runs"));
        QCOMPARE(dialog->focusWidget(), view);
        for (int row = 0; row < view->topLevelItemCount(); ++row) {
            QStringList cells;
            for (int column = 1; column < view->columnCount() - 1; ++column) {
                cells << view->topLevelItem(row)->text(column);
            }
            rows << cells.join(QLatin1Char('|'));
        }
        // What the run takes on disk, as the companion's listing says it.
        QCOMPARE(view->headerItem()->text(7), QStringLiteral("On disk"));
        QCOMPARE(view->topLevelItem(0)->text(7), QLocale().formattedDataSize(static_cast<qint64>(
                                                     ListRuns(posix, RunsFolder()).at(0).bytes)));
        QVERIFY(!dialog->saveButton()->isEnabled());  // the newest failed nothing
        QTest::keyClick(view, Qt::Key_Down);
        QVERIFY(dialog->saveButton()->isEnabled());
        QCOMPARE(dialog->saveButton()->accessibleName(), QStringLiteral("Save Failed Lines..."));
        m_platform->expectInformation();
        dialog->failuresButton()->click();
        m_platform->expectSaveFile(work.filePath("older.txt"));
        m_platform->expectInformation();
        dialog->saveButton()->click();
        dialog->folderButton()->click();
        m_platform->expectQuestion(true);
        m_platform->expectInformation();
        dialog->undoButton()->click();
        QCOMPARE(view->topLevelItem(1)->text(6), QStringLiteral("No: undone"));
        QVERIFY(!dialog->undoButton()->isEnabled());
    });
    menu->runsAction()->trigger();
    QCOMPARE(rows, QStringList({work.filePath("again.txt") + "|2|0|0|0|Yes",
                                work.filePath("list.txt") + "|1|0|0|2|Yes"}));
    const QStringList infos = m_platform->texts(TestPlatform::Kind::Information);
    QCOMPARE(
        infos[infos.size() - 3],
        QStringLiteral("2 failures of the run, 2 lines to try again:\n%1:2: %2/blocked/b.txt>B\n"
                       "%1:3: %2/blocked/c.txt")
            .arg(work.filePath("list.txt"), out));
    QCOMPARE(readAll(work.filePath("older.txt")).toUtf8(), blockedLines(out));
    QCOMPARE(m_platform->openedDocuments(), QStringList{out});
    QCOMPARE(infos.last(), QStringLiteral("The run was undone: 1 file removed, 0 files put back, 0 "
                                          "folders removed."));
    QVERIFY(!QFileInfo::exists(out + "/a.txt"));
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

// A file taken as the text: shown by name and size in place of the typed text, copied byte for
// byte, kept across starts under its own key (the typed text's untouched), left for the typed
// text again; fields filled, checked before anything is written, and noted in the preview.
void MainWindowTest::textFromAFileAndFields() {
    QTemporaryDir work;
    const QString out = work.filePath("out");
    const QByteArray binary(
        "tem\0pl\xff"
        "ate",
        9);
    writeFile(work.filePath("t.bin"), binary);
    writeFile(work.filePath("list.txt"), (out + "/a.bin\n").toUtf8());
    const auto bytesOf = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    };
    {
        auto form = makeWindow();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto* text1 = child<QPlainTextEdit>(*form, "Text1");
        auto* label = child<QLabel>(*form, "TextFile");
        TextSource* source = form->textSource();
        text1->setFocus();
        QTest::keyClicks(text1, "typed");
        QVERIFY(!label->isVisible());
        QVERIFY(!source->typedTextAction()->isEnabled());
        m_platform->expectOpenFiles(work.filePath("t.bin"));
        source->fromFileAction()->trigger();
        QCOMPARE(source->fromFileAction()->text(), QStringLiteral("Take the Text from a File..."));
        QVERIFY(label->isVisible());
        QVERIFY(!text1->isVisible());
        QCOMPARE(label->text(), QStringLiteral("From the file t.bin (9 bytes)"));
        QVERIFY(source->typedTextAction()->isEnabled());
        QCOMPARE(m_store->store().GetSetting("TextFile", QString()), work.filePath("t.bin"));
        QCOMPARE(m_store->store().GetSetting("Text1", QString()), QStringLiteral("typed"));
        // Several files chosen: one is asked for, the file taken stays.
        m_platform->expectOpenFiles(work.path() + QChar(0) + "t.bin" + QChar(0) + "list.txt");
        m_platform->expectInformation();
        source->fromFileAction()->trigger();
        QCOMPARE(source->textFile(), work.filePath("t.bin"));

        child<InputList>(*form, "ListView1")->appendEntry(work.filePath("list.txt"));
        m_platform->expectInformation();
        form->onStartClicked();
        QCOMPARE(bytesOf(out + "/a.bin"), binary);
        form->close();
    }
    {
        auto form = makeWindow();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        TextSource* source = form->textSource();
        auto* text1 = child<QPlainTextEdit>(*form, "Text1");
        QCOMPARE(source->textFile(), work.filePath("t.bin"));
        QVERIFY(child<QLabel>(*form, "TextFile")->isVisible());
        QVERIFY(!source->fieldsAction()->isChecked());
        source->fieldsAction()->trigger();
        QCOMPARE(m_store->store().GetSetting("Fields", false), QStringLiteral("True"));
        source->typedTextAction()->trigger();
        QVERIFY(text1->isVisible());
        QCOMPARE(form->fixedText(), QStringLiteral("typed"));
        QCOMPARE(m_store->store().GetSetting("TextFile", QStringLiteral("unset")), QString());
        text1->setPlainText(QStringLiteral("{n:2} {name}"));
        auto* list = child<InputList>(*form, "ListView1");
        list->appendEntry(work.filePath("list.txt"));

        // A field that is none: told with its list and line before anything is made.
        writeFile(work.filePath("list.txt"),
                  (out + "/f/a.txt\n" + out + "/f/b.txt>{nope}\n").toUtf8());
        m_platform->expectInformation();
        form->onStartClicked();
        QVERIFY(m_platform->texts(TestPlatform::Kind::Information)
                    .last()
                    .startsWith(work.filePath("list.txt") +
                                QStringLiteral(", line 2: unknown field '{nope}'")));
        QVERIFY(!QFileInfo::exists(out + "/f"));

        writeFile(work.filePath("list.txt"),
                  (out + "/f/a.txt\n" + out + "/f/b.txt>{stem}!\n").toUtf8());
        QStringList steps;
        m_platform->expectDialog(true, [&] {
            QAbstractItemModel* model =
                dynamic_cast<PreviewDialog*>(m_platform->dialog())->steps()->model();
            for (int row = 0; row < model->rowCount(); ++row) {
                steps << model->index(row, 0).data(Qt::AccessibleTextRole).toString();
            }
        });
        m_platform->expectInformation();
        form->runMenu()->previewAction()->trigger();
        QCOMPARE(steps, QStringList({"folder " + out + "/f",
                                     "create " + out + "/f/a.txt (fields filled, 8 bytes)",
                                     "create " + out + "/f/b.txt (fields filled, 2 bytes)"}));
        QCOMPARE(readAll(out + "/f/a.txt"), QStringLiteral("01 a.txt"));
        QCOMPARE(readAll(out + "/f/b.txt"), QStringLiteral("b!"));
        form->close();
    }
    auto next = makeWindow();
    QVERIFY(next->textSource()->fieldsAction()->isChecked());
    QVERIFY(next->textSource()->textFile().isEmpty());
    QVERIFY(m_platform->verifyAllAnswersUsed());
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
