// The shell's pieces on their own: title, error report, settings store, open-file result form,
// message display and the real boxes, draw and yield.
#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <functional>
#include <memory>

#include "engine/fs/FsError.h"
#include "engine/run/ReportLocations.h"
#include "engine/run/Trap.h"
#include "shell/ApplicationTitle.h"
#include "shell/BoxText.h"
#include "shell/FixedSizeHints.h"
#include "shell/ProductInfo.h"
#include "shell/ProgramFiles.h"
#include "shell/QtPlatform.h"
#include "shell/ReportError.h"
#include "shell/SettingsStore.h"
#include "shell/Yield.h"
#include "tests/engine/TempFolder.h"
#include "tests/support/TestPlatform.h"

using namespace pellatrix;

class ShellTest : public QObject {
    Q_OBJECT
private slots:
    void applicationTitle_data();
    void applicationTitle();
    void errorReportText_data();
    void errorReportText();
    void errorReportShownThroughTrap();
    void tooManyFilesBox();
    void settingsDefaults();
    void settingsUserStoreLocation();
    void settingsRoundTrip_data();
    void settingsRoundTrip();
    void settingsLeaveOtherKeys();
    void settingsFailingWrite_data();
    void settingsFailingWrite();
    void realBoxes_data();
    void realBoxes();
    void longPathBoxFitsScreen();
    void openFailureIsShown_data();
    void openFailureIsShown();
    void noticeLeavesTheKeys();
    void fixedWindowRefusesFullScreen();
    void realInputBox_data();
    void realInputBox();
    void settingsMalformedStoreStillWrites_data();
    void settingsMalformedStoreStillWrites();
    void openFilesResult_data();
    void openFilesResult();
    void openFilesResultTooLarge();
    void displayText_data();
    void displayText();
    void drawStaysInRange();
    void yieldSkipsOnlyWithinInterval();
    void programFilesFolder_data();
    void programFilesFolder();
};

void ShellTest::applicationTitle_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("product name, no blank") << "Pellatrix"
                                            << "Pellatrix";
    QTest::newRow("two words lose the last") << "Pellatrix Pro"
                                             << "Pellatrix";
    QTest::newRow("short name still loses one word") << "A B C"
                                                     << "A B";
    // 8 words, 50 characters, last two words of 8 and 4 letters: two cuts, 36 characters left.
    QTest::newRow("cut twice below 41") << "Abcdefgh Abcdefgh Abcdefgh Abcd Abcd Ab Abcdefgh Abcd"
                                        << "Abcdefgh Abcdefgh Abcdefgh Abcd Abcd Ab";
    QTest::newRow("exactly 40 after one cut stops")
        << QString(40, QLatin1Char('x')) + " tail" << QString(40, QLatin1Char('x'));
    QTest::newRow("41 after one cut cuts again")
        << "head " + QString(36, QLatin1Char('x')) + " tail"
        << "head";
    QTest::newRow("long without blank stays whole")
        << QString(50, QLatin1Char('y')) << QString(50, QLatin1Char('y'));
    QTest::newRow("long, blanks run out") << "word " + QString(50, QLatin1Char('z')) + " end"
                                          << "word";
    QTest::newRow("trailing blank goes") << "Pellatrix "
                                         << "Pellatrix";
    QTest::newRow("empty") << ""
                           << "";
}

void ShellTest::applicationTitle() {
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(DeriveApplicationTitle(name), title);
}

void ShellTest::errorReportText_data() {
    const QString tail = QStringLiteral("Please email screenshot of this message to ") +
                         QString::fromLatin1(product::kSupportAddress);
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("text");
    QTest::newRow("start-up line 110")
        << "Cannot open '/tmp/x' for reading: No such file or directory"
        << QString::fromLatin1(locations::kFormLoad) << 110
        << "Cannot open '/tmp/x' for reading: No such file or directory\r\n"
           "in Morvane2021/08/31.Form1.Form_Load at line 110\r\r" +
               tail;
    QTest::newRow("empty description starts with CR LF")
        << "" << QString::fromLatin1(locations::kPushButton2) << 212
        << "\r\nin Morvane2021/08/31.Form1.PushButton2_Click at line 212\r\r" + tail;
    QTest::newRow("folder scan location, odd line")
        << "x" << QString::fromLatin1(locations::kGetSubDirectories2016) << 333
        << "x\r\nin Orrindel2021/08/31.AddFolder.GetSubDirectories2016 at line 333\r\r" + tail;
    QTest::newRow("description with its own breaks is kept")
        << "a\nb\r"
        << "in X.Y " << 100 << "a\nb\r\r\nin X.Y at line 100\r\r" + tail;
}

void ShellTest::errorReportText() {
    QFETCH(QString, description);
    QFETCH(QString, location);
    QFETCH(int, line);
    QFETCH(QString, text);
    QCOMPARE(BuildErrorReport(description, location, line), text);
}

// The reporter handed to Trap shows the box with the right title, text and owner, once per
// failing pass of a loop, and the procedure goes on.
void ShellTest::errorReportShownThroughTrap() {
    TestPlatform platform;
    QWidget owner;
    for (int i = 0; i < 5; ++i) {
        platform.expectWarning();
    }
    Trap trap(locations::kPushButton6, MakeErrorReporter(platform, &owner));
    int passes = 0;
    for (int i = 0; i < 5; ++i) {
        trap.step(104, [] { throw FsError(kErrPathNotFound, "gone \xc3\xa9"); });
        ++passes;
    }
    QCOMPARE(passes, 5);
    QCOMPARE(platform.shown().size(), 5);
    const auto& box = platform.shown().first();
    QCOMPARE(box.kind, TestPlatform::Kind::Warning);
    QCOMPARE(box.title, QStringLiteral("Application Error"));
    QCOMPARE(box.parentAtCall, &owner);
    QVERIFY(
        box.text.startsWith(QStringLiteral("gone \u00e9\r\nin Morvane2021/08/31.Form1."
                                           "PushButton6_Click at line 104\r\r")));
    QVERIFY(platform.verifyAllAnswersUsed());
}

void ShellTest::tooManyFilesBox() {
    TestPlatform platform;
    platform.expectInformation();
    ShowTooManyFiles(platform, nullptr, QStringLiteral("Pellatrix"));
    QCOMPARE(platform.shown().size(), 1);
    QCOMPARE(platform.shown().first().kind, TestPlatform::Kind::Information);
    QCOMPARE(platform.shown().first().title, QStringLiteral("Pellatrix"));
    QCOMPARE(platform.shown().first().text,
             QStringLiteral("You've selected too many files to add.\r\rPlease try adding via "
                            "the \"Add All\" button."));
    QVERIFY(platform.verifyAllAnswersUsed());
}

void ShellTest::settingsDefaults() {
    TemporaryStore temp;
    SettingsStore& store = temp.store();
    QCOMPARE(store.GetSetting("Text1", QString()), QString());
    QCOMPARE(store.GetSetting("Extension", QStringLiteral("txt")), QStringLiteral("txt"));
    QCOMPARE(store.GetSetting("Snapshot", false), QStringLiteral("False"));
    QCOMPARE(store.GetSetting("Snapshot", true), QStringLiteral("True"));
    // Reading creates nothing.
    QVERIFY(!QFile::exists(temp.iniPath()));
    // A stored empty text is a value, not a missing key.
    store.SaveSetting("Extension", QString());
    QCOMPARE(store.GetSetting("Extension", QStringLiteral("txt")), QString());
    QCOMPARE(store.GetSetting("Snapshot", false), QStringLiteral("False"));
}

void ShellTest::settingsUserStoreLocation() {
    QTemporaryDir home;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    SettingsStore user;
    user.SaveSetting("Extension", "csv");
    QSettings check(home.filePath("Quennet/Pellatrix.conf"), QSettings::IniFormat);
    QCOMPARE(check.value("Pellatrix/Extension").toString(), QStringLiteral("csv"));
    QCOMPARE(user.GetSetting("Extension", QStringLiteral("txt")), QStringLiteral("csv"));
    QCOMPARE(QDir(home.filePath("Quennet")).entryList(QDir::Files), QStringList{"Pellatrix.conf"});
    saved.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", saved);
}

void ShellTest::settingsRoundTrip_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << "hello";
    QTest::newRow("LF and CR LF breaks") << "line 1\nline 2\r\nline 3\r";
    QTest::newRow("comma looks like a list") << "a, b,c";
    QTest::newRow("semicolon and equals") << "x=1; y=2";
    QTest::newRow("blanks at both ends") << "  padded  ";
    QTest::newRow("quotes and backslashes") << "\"C:\\test\\\" 'q'";
    QTest::newRow("at sign as in a variant") << "@Variant(abc) @@";
    QTest::newRow("non-ASCII") << QStringLiteral("caf\u00e9 \u00f1 \u4e2d \u00a0nbsp");
    QString latin1;
    for (int c = 1; c < 256; ++c) {
        latin1.append(QChar(c));
    }
    QTest::newRow("codes 1 to 255") << latin1;
    QTest::newRow("bracket section look-alike") << "[Other]\nkey=value";
}

void ShellTest::settingsRoundTrip() {
    QFETCH(QString, value);
    TemporaryStore temp;
    temp.store().SaveSetting("Text1", value);
    QCOMPARE(temp.store().GetSetting("Text1", QStringLiteral("default")), value);
    // A fresh store object on the same file (the next start of the program) reads the same.
    SettingsStore again(temp.iniPath());
    QCOMPARE(again.GetSetting("Text1", QStringLiteral("default")), value);
}

void ShellTest::settingsLeaveOtherKeys() {
    TemporaryStore temp;
    {
        QSettings other(temp.iniPath(), QSettings::IniFormat);
        other.setValue("Pellatrix/Foreign", "kept");
        other.setValue("Elsewhere/Text1", "other section");
    }
    temp.store().SaveSetting("Text1", "mine");
    temp.store().SaveSetting("Text1", "mine again");
    QSettings check(temp.iniPath(), QSettings::IniFormat);
    QCOMPARE(check.value("Pellatrix/Foreign").toString(), QStringLiteral("kept"));
    QCOMPARE(check.value("Elsewhere/Text1").toString(), QStringLiteral("other section"));
    QCOMPARE(check.value("Pellatrix/Text1").toString(), QStringLiteral("mine again"));
    // A second running copy's write is seen by the next read.
    SettingsStore secondCopy(temp.iniPath());
    secondCopy.SaveSetting("LastFolder", "/tmp/a");
    QCOMPARE(temp.store().GetSetting("LastFolder", QString()), QStringLiteral("/tmp/a"));
}

void ShellTest::settingsFailingWrite_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");  // what the description must say
    // A parent that is a regular file fails for root too; a read-only file only for others.
    QTest::newRow("parent is a regular file") << "parent file"
                                              << "Not a directory";
    QTest::newRow("read-only store file") << "read-only"
                                          << "Permission denied";
    // QSettings itself would wait for ever on these two.
    QTest::newRow("folder where the lock file goes") << "lock folder"
                                                     << "Pellatrix.conf.lock' is a folder";
    QTest::newRow("lock held by a running copy")
        << "lock held"
        << "Pellatrix.conf.lock' is held by another running copy";
}

void ShellTest::settingsFailingWrite() {
    QFETCH(QString, kind);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QString iniPath = dir.filePath("Pellatrix.conf");
    std::unique_ptr<QLockFile> held;
    if (kind == "parent file") {
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        iniPath = dir.filePath("blocker/Pellatrix.conf");
    } else if (kind == "lock folder") {
        SettingsStore(iniPath).SaveSetting("Text1", "before");
        QVERIFY(QDir().mkpath(iniPath + ".lock"));
    } else if (kind == "lock held") {
        SettingsStore(iniPath).SaveSetting("Text1", "before");
        held = std::make_unique<QLockFile>(iniPath + ".lock");
        QVERIFY(held->tryLock(0));
    } else {
        // Readable by everyone, writable by nobody but its owner's folder rights.
        SettingsStore(iniPath).SaveSetting("Text1", "before");
        QFile::setPermissions(iniPath, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
    }
    // The save fails with the reason, and the value stays what it was, also for this process.
    const auto failsAndKeepsValue = [&]() -> QString {
        SettingsStore store(iniPath);
        const QString before = store.GetSetting("Text1", QStringLiteral("none"));
        try {
            store.SaveSetting("Text1", "after");
            return QStringLiteral("no failure");
        } catch (const FsError& e) {
            const QString description = QString::fromLocal8Bit(e.what());
            if (!description.contains(iniPath) || !description.contains(why)) {
                return description;
            }
        }
        if (store.GetSetting("Text1", QStringLiteral("none")) != before ||
            SettingsStore(iniPath).GetSetting("Text1", QStringLiteral("none")) != before) {
            return QStringLiteral("the failed value was kept");
        }
        return QString();
    };
    if (kind == "read-only" && ::geteuid() == 0) {
        // Root writes a read-only file anyway: check as an ordinary user.
        QCOMPARE(test::runUnprivileged([&] { return failsAndKeepsValue().isEmpty() ? 0 : 1; }), 0);
    } else {
        const QString problem = failsAndKeepsValue();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    held.reset();
}

void ShellTest::settingsMalformedStoreStillWrites_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("unclosed section") << QByteArray("[Pellatrix\nText1=old\n");
    QTest::newRow("line without equals") << QByteArray("junk\n[Pellatrix]\nText1=old\n");
    QTest::newRow("binary bytes") << QByteArray("\xff\xfe\x01\x02\n", 5);
}

// A damaged store must not turn every later save into a reported failure (or a silent loss).
void ShellTest::settingsMalformedStoreStillWrites() {
    QFETCH(QByteArray, body);
    TemporaryStore temp;
    QFile file(temp.iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body);
    file.close();
    temp.store().SaveSetting("Text1", "new");
    QCOMPARE(temp.store().GetSetting("Text1", QString()), QStringLiteral("new"));
    QCOMPARE(SettingsStore(temp.iniPath()).GetSetting("Text1", QString()), QStringLiteral("new"));
}

namespace {

// Runs `act` on the next modal box once it is open (the real dialogs block in exec()).
void onNextModalBox(QObject* context, std::function<void(QWidget*)> act) {
    auto* poll = new QTimer(context);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, context, [poll, act] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            act(box);
            // A failed check left `act` early with the box still open: close it, so that the test
            // fails at once instead of waiting in the box for ever.
            if (QTest::currentTestFailed()) {
                while (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                    open->done(QDialog::Rejected);
                }
            }
        }
    });
    poll->start();
}

}  // namespace

void ShellTest::realBoxes_data() {
    QTest::addColumn<QString>("kind");  // information, question, warning (the error report)
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("press");  // a QMessageBox::StandardButton, or 0 for Escape
    QTest::addColumn<bool>("result");
    const QString tags = QStringLiteral("/tmp/<i>x</i> &lt; <b>");
    QTest::newRow("information, markup as written")
        << "information"
        << "a\r\n" + tags + "\rend"
        << "a\n" + tags + "\nend" << int(QMessageBox::Ok) << false;
    QTest::newRow("question, Yes") << "question"
                                   << "Open " + tags + "?\r\rSure"
                                   << "Open " + tags + "?\n\nSure" << int(QMessageBox::Yes) << true;
    QTest::newRow("question, No") << "question"
                                  << "q"
                                  << "q" << int(QMessageBox::No) << false;
    QTest::newRow("short text, long title's box") << "information"
                                                  << "Done."
                                                  << "Done." << int(QMessageBox::Ok) << false;
    QTest::newRow("question, Escape is No") << "question"
                                            << "q"
                                            << "q" << 0 << false;
    QTest::newRow("error report")
        << "warning" << tags
        << tags + "\nin X.Y at line 7\n\nPlease email screenshot of this message to " +
               QString::fromLatin1(product::kSupportAddress)
        << int(QMessageBox::Ok) << false;
}

// The boxes of the real platform, opened for real and answered as a user would.
void ShellTest::realBoxes() {
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(int, press);
    QFETCH(bool, result);
    QtPlatform platform;
    QWidget owner;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    QString title;
    QString boxText;
    Qt::TextFormat format = Qt::AutoText;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* parent = nullptr;
    bool seen = false;
    onNextModalBox(this, [&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        seen = true;
        title = box->windowTitle();
        boxText = box->text();
        format = box->textFormat();
        icon = box->icon();
        modality = box->windowModality();
        parent = box->parentWidget();
        QVERIFY(box->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QVERIFY(!box->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        for (QAbstractButton* b : box->buttons()) {
            buttons << box->standardButton(b);
        }
        // What the user reads: the box's text, shown whole, selectable; Ctrl+C copies it byte
        // for byte as shown, wherever the focus is, or the part selected in it.
        auto* shownText = box->findChild<BoxText*>();
        QVERIFY(shownText && shownText->isVisible());
        QCOMPARE(shownText->toPlainText(), shown);
        QVERIFY(shownText->height() >= shownText->heightForWidth(shownText->width()));
        QVERIFY(shownText->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard));
        QApplication::clipboard()->clear();
        QVERIFY(QTest::qWaitForWindowActive(box));
        QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), shown);
        shownText->setFocus();
        QTest::keyClick(shownText, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(shownText, Qt::Key_End, Qt::ShiftModifier);
        QTest::keyClick(shownText, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), shown.section(QLatin1Char('\n'), 0, 0));
        // Wide enough for the title between the icon and three buttons of a title bar.
        QFont titleFont = QApplication::font();
        titleFont.setPixelSize(14);
        titleFont.setBold(true);
        QVERIFY2(
            box->width() >= QFontMetrics(titleFont).horizontalAdvance(box->windowTitle()) + 154,
            qPrintable(QString::number(box->width())));
        if (press == 0) {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            box->button(QMessageBox::StandardButton(press))->click();
        }
    });
    bool answer = false;
    if (kind == "information") {
        platform.information(&owner, "Pellatrix", text);
    } else if (kind == "question") {
        answer = platform.question(&owner, "Pellatrix", text);
    } else {
        ReportError(platform, &owner, text.toStdString(), "in X.Y ", 7);
    }
    QVERIFY(seen);
    QCOMPARE(answer, result);
    QCOMPARE(boxText, shown);
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(parent, &owner);
    using Buttons = QList<QMessageBox::StandardButton>;
    const Buttons expectedButtons =
        kind == "question" ? Buttons{QMessageBox::Yes, QMessageBox::No} : Buttons{QMessageBox::Ok};
    QCOMPARE(buttons, expectedButtons);
    if (kind == "warning") {
        QCOMPARE(title, QStringLiteral("Application Error"));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(modality, Qt::ApplicationModal);
    } else {
        QCOMPARE(title, QStringLiteral("Pellatrix"));
        QCOMPARE(icon, QMessageBox::NoIcon);
    }
}

// A path of 100,000 bytes and one of 10 MB: the shortened text wraps within the box, the box fits
// the screen and opens centred over its window.
void ShellTest::longPathBoxFitsScreen() {
    for (const int length : {100'000, 10'000'000}) {
        const QString path = "/" + QString(length, QLatin1Char('p')) + "/end.txt";
        QWidget owner;
        owner.resize(536, 483);
        owner.move(owner.screen()->availableGeometry().center() - owner.rect().center());
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        QString shown;
        QRect box;
        QRect screen;
        int labelWidth = 0;
        int needed = 0;
        int labelHeight = 0;
        onNextModalBox(this, [&](QWidget* w) {
            auto* text = w->findChild<BoxText*>();
            shown = text->toPlainText();
            box = w->frameGeometry();
            screen = w->screen()->availableGeometry();
            labelWidth = text->width();
            labelHeight = text->height();
            needed = BoxText::textHeight(shown, text->font(), labelWidth);
            QTest::keyClick(w, Qt::Key_Return);
        });
        QtPlatform platform;
        ReportError(platform, &owner, ("Cannot open '" + path + "'").toStdString(), "in X.Y ", 7);
        QVERIFY2(needed <= labelHeight,
                 qPrintable(QString("%1 > %2").arg(needed).arg(labelHeight)));
        QVERIFY2(screen.contains(box), qPrintable(QString("%1,%2 %3x%4")
                                                      .arg(box.x())
                                                      .arg(box.y())
                                                      .arg(box.width())
                                                      .arg(box.height())));
        QVERIFY(qAbs(box.center().y() - owner.geometry().center().y()) <= 20);
        QVERIFY(qAbs(box.center().x() - owner.geometry().center().x()) <= 20);
        // Wrapped by the layout, not by characters put into the text.
        QVERIFY(!shown.contains(QChar(0x200B)));
        const QString& plain = shown;
        QVERIFY2(plain.startsWith("Cannot open '/ppp"), qPrintable(plain.left(40)));
        QVERIFY(plain.contains("p...p"));
        QVERIFY(plain.endsWith(QStringLiteral("pp/end.txt'\nin X.Y at line 7\n\nPlease email "
                                              "screenshot of this message to ") +
                               QString::fromLatin1(product::kSupportAddress)));
        QVERIFY(plain.size() < 4200);
    }
}

void ShellTest::openFailureIsShown_data() {
    QTest::addColumn<QString>("opener");  // the xdg-open found in PATH, "" for none
    QTest::addColumn<bool>("told");
    QTest::addColumn<bool>("homePage");  // the home page, else a folder
    for (const bool page : {false, true}) {
        const char* what = page ? "home page: " : "folder: ";
        QTest::addRow("%sno opener", what) << "" << true << page;
        QTest::addRow("%sopener finds no program (3)", what) << "exit 3" << true << page;
        QTest::addRow("%sopener fails (4)", what) << "exit 4" << true << page;
        QTest::addRow("%sopener opens it", what) << "exit 0" << false << page;
    }
}

// An opener that is missing or ends with a failure leaves the folder or the home page unopened:
// a box says which one, over the window. One that succeeds shows nothing and got the path or
// address as its one argument.
void ShellTest::openFailureIsShown() {
    QFETCH(QString, opener);
    QFETCH(bool, told);
    QFETCH(bool, homePage);
    QTemporaryDir bin;
    QTemporaryDir empty;
    if (!opener.isEmpty()) {
        QFile script(bin.filePath("xdg-open"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(("#!/bin/sh\nprintf '%s\\n' \"$#:$1\" >\"" + bin.filePath("args") + "\"\n" +
                      opener + "\n")
                         .toUtf8());
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QByteArray path = qgetenv("PATH");
    // Only the test's own opener (or none) is found.
    qputenv("PATH", QFile::encodeName(bin.path()));
    QWidget owner;
    owner.show();
    owner.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    QString text;
    QWidget* parent = nullptr;
    bool seen = false;
    if (told) {
        onNextModalBox(this, [&](QWidget* w) {
            seen = true;
            text = w->findChild<BoxText*>()->toPlainText();
            parent = w->parentWidget();
            QTest::keyClick(w, Qt::Key_Return);
        });
    }
    const QString target =
        homePage ? QStringLiteral("https://www.example.org/a?b=1&c") : empty.path() + "/";
    if (homePage) {
        QtPlatform().openHomePage(target);
    } else {
        QtPlatform().openDocument(target);
    }
    qputenv("PATH", path);
    if (told) {
        QTRY_VERIFY(seen);
        QCOMPARE(text, QString("Could not open the ") + (homePage ? "web page" : "folder") + " \"" +
                           target + "\".\nNo program to open it was found.");
        QCOMPARE(parent, &owner);
    } else {
        QTRY_VERIFY(QFile::exists(bin.filePath("args")));
        QTest::qWait(200);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }
    if (!opener.isEmpty()) {
        QFile args(bin.filePath("args"));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(args.readAll()), "1:" + target + "\n");
    }
}

// A notice is a strip inside its window, not a window of its own (a window manager may activate
// a window, never a part of one): it takes no keys and blocks nothing; a second one replaces it,
// an empty text or its close button closes it.
void ShellTest::noticeLeavesTheKeys() {
    QWidget owner;
    owner.resize(536, 483);
    auto* edit = new QLineEdit(&owner);
    edit->move(10, 300);
    owner.show();
    owner.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    edit->setFocus();
    const int windowsBefore = QApplication::topLevelWidgets().size();
    QtPlatform platform;
    platform.notice(&owner, "Pellatrix", "first\rnotice");
    platform.notice(&owner, "Pellatrix", "second\r<b>line</b>");
    const auto strips = [&] { return owner.findChildren<QFrame*>("PellatrixNotice"); };
    QCOMPARE(strips().size(), 1);
    QFrame* strip = strips().first();
    QVERIFY(strip->isVisible());
    QVERIFY(!strip->isWindow());
    QCOMPARE(QApplication::topLevelWidgets().size(), windowsBefore);
    QVERIFY(owner.rect().contains(strip->geometry()));
    QCOMPARE(strip->findChild<BoxText*>()->toPlainText(), QStringLiteral("second\n<b>line</b>"));
    // Every line fits: the strip is as tall as its text.
    QVERIFY(strip->height() >= 2 * strip->findChild<BoxText*>()->fontMetrics().height());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QTest::keyClicks(edit, "abcde");
    QCOMPARE(edit->text(), QStringLiteral("abcde"));
    QVERIFY(edit->hasFocus());
    platform.notice(&owner, "Pellatrix", QString());
    QVERIFY(strips().isEmpty());
    platform.notice(&owner, "Pellatrix", "third");
    QTest::mouseClick(strips().first()->findChild<QToolButton*>("CloseNotice"), Qt::LeftButton);
    QTRY_VERIFY(strips().isEmpty());
    QVERIFY(edit->hasFocus());
}

// A window manager that maximises a fixed-size window or makes it full screen anyway (the
// window went to 0,0 on a black screen) sees it come back to its own size.
void ShellTest::fixedWindowRefusesFullScreen() {
    InstallFixedSizeHints();
    QWidget window(nullptr, FixedSizeFlags(Qt::Window));
    window.setFixedSize(236, 183);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const Qt::WindowState state : {Qt::WindowFullScreen, Qt::WindowMaximized}) {
        window.setWindowState(state);
        QTRY_COMPARE(window.windowState(), Qt::WindowNoState);
        QCOMPARE(window.size(), QSize(236, 183));
    }
    // Resized from outside (a compositor's resize reaches the native window, whose maximum is
    // lifted on Wayland): back to its size.
    window.windowHandle()->setMaximumSize(QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    window.windowHandle()->resize(400, 300);
    QTRY_COMPARE(window.windowHandle()->size(), QSize(236, 183));
    QCOMPARE(window.size(), QSize(236, 183));
    // A window that may change its size is left alone.
    QWidget free;
    free.show();
    free.setWindowState(Qt::WindowMaximized);
    QTest::qWait(50);
    QCOMPARE(free.windowState(), Qt::WindowMaximized);
}

void ShellTest::realInputBox_data() {
    QTest::addColumn<bool>("accept");
    QTest::newRow("OK gives the text") << true;
    QTest::newRow("Escape gives nothing") << false;
}

void ShellTest::realInputBox() {
    QFETCH(bool, accept);
    QtPlatform platform;
    QString prompt;
    QString proposal;
    Qt::TextFormat format = Qt::AutoText;
    onNextModalBox(this, [&](QWidget* w) {
        auto* dialog = qobject_cast<QInputDialog*>(w);
        QVERIFY(dialog);
        auto* label = dialog->findChild<QLabel*>();
        QVERIFY(label);
        prompt = label->text();
        format = label->textFormat();
        QVERIFY(dialog->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        auto* edit = dialog->findChild<QLineEdit*>();
        proposal = edit->text();
        edit->setText(QStringLiteral("csv"));
        QTest::keyClick(dialog, accept ? Qt::Key_Return : Qt::Key_Escape);
    });
    const QString answer =
        platform.inputText(nullptr, "Pellatrix", "Extension <b>\r\rtxt", QStringLiteral("txt"));
    QCOMPARE(prompt, QStringLiteral("Extension <b>\n\ntxt"));
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(proposal, QStringLiteral("txt"));
    QCOMPARE(answer, accept ? QStringLiteral("csv") : QString());
}

void ShellTest::openFilesResult_data() {
    const QChar nul(0);
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("result");
    QTest::newRow("cancel") << QStringList() << QString();
    QTest::newRow("one file: its full path") << QStringList{"/tmp/a/one.txt"} << "/tmp/a/one.txt";
    QTest::newRow("two in one folder") << QStringList{"/tmp/a/one.txt", "/tmp/a/two.txt"}
                                       << QString("/tmp/a") + nul + "one.txt" + nul + "two.txt";
    QTest::newRow("in the root folder")
        << QStringList{"/one.txt", "/two.txt"} << QString("/") + nul + "one.txt" + nul + "two.txt";
    QTest::newRow("different folders: common parent and relative names")
        << QStringList{"/tmp/a/one.txt", "/tmp/b/two.txt"}
        << QString("/tmp") + nul + "a/one.txt" + nul + "b/two.txt";
    QTest::newRow("prefix that is no parent")
        << QStringList{"/tmp/ab/one.txt", "/tmp/a/two.txt"}
        << QString("/tmp") + nul + "ab/one.txt" + nul + "a/two.txt";
}

void ShellTest::openFilesResult() {
    QFETCH(QStringList, files);
    QFETCH(QString, result);
    QCOMPARE(QtPlatform::openFilesResult(files), result);
}

void ShellTest::openFilesResultTooLarge() {
    // "/f" + NUL + 2 names of n + NUL each + final NUL: exactly at the limit passes.
    const int limit = QtPlatform::kOpenFilesLimit;
    const int overhead = 2 + 1 + 1 + 1 + 1;
    const int nameLength = (limit - overhead) / 2;
    QString a(nameLength, QLatin1Char('a'));
    QString b(limit - overhead - nameLength, QLatin1Char('b'));
    QStringList files{"/f/" + a, "/f/" + b};
    QCOMPARE(QtPlatform::openFilesResult(files).size(), limit - 2);  // NULs between parts only
    files[1].append(QLatin1Char('b'));
    try {
        QtPlatform::openFilesResult(files);
        QFAIL("no failure for a result over the limit");
    } catch (const FsError& e) {
        QCOMPARE(e.number(), static_cast<int>(kErrDialogResultTooLarge));
    }
}

void ShellTest::displayText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("CR LF is one break") << "a\r\nb"
                                        << "a\nb";
    QTest::newRow("lone CR is one break") << "a\rb"
                                          << "a\nb";
    QTest::newRow("CR CR is an empty line") << "a\r\rb"
                                            << "a\n\nb";
    QTest::newRow("report form") << "d\r\nin X at line 1\r\rPlease"
                                 << "d\nin X at line 1\n\nPlease";
    QTest::newRow("LF stays") << "a\nb"
                              << "a\nb";
    QTest::newRow("LF CR is two") << "a\n\rb"
                                  << "a\n\nb";
    // Lines of more than 4096 bytes keep 2046 bytes at each end around "...".
    const QString at4096(4096, QLatin1Char('x'));
    QTest::newRow("4096 bytes stay whole") << at4096 + "\r\n" + at4096 << at4096 + "\n" + at4096;
    QTest::newRow("4097 bytes shortened, other lines whole")
        << "a\r" + QString(2046, QLatin1Char('h')) + "m" + QString(2050, QLatin1Char('t')) + "\rz"
        << "a\n" + QString(2046, QLatin1Char('h')) + "..." + QString(2046, QLatin1Char('t')) +
               "\nz";
    // Two-byte characters: a cut never splits one, so each end keeps 1023 of them (2046 bytes).
    const QString e(1, QChar(0xe9));
    QTest::newRow("no character cut in half")
        << "/" + e.repeated(3000) << "/" + e.repeated(1022) + "..." + e.repeated(1023);
}

void ShellTest::displayText() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(QtPlatform::displayText(text), shown);
}

void ShellTest::drawStaysInRange() {
    QVector<int> counts(101, 0);
    for (quint32 seed = 0; seed < 86400; ++seed) {
        const int n = QtPlatform::drawFromSeed(seed);
        QVERIFY2(n >= 1 && n <= 100, qPrintable(QString::number(n)));
        ++counts[n];
    }
    // Every value is reachable, 7 among them, each about once in a hundred.
    for (int n = 1; n <= 100; ++n) {
        QVERIFY2(counts[n] > 600 && counts[n] < 1150, qPrintable(QString::number(n)));
    }
    QCOMPARE(QtPlatform::drawFromSeed(1234), QtPlatform::drawFromSeed(1234));
}

void ShellTest::yieldSkipsOnlyWithinInterval() {
    const int saved = yieldInterval();
    int delivered = 0;
    auto post = [&] {
        QMetaObject::invokeMethod(
            this, [&] { ++delivered; }, Qt::QueuedConnection);
    };

    setYieldInterval(60000);
    YieldToEvents();  // this one runs (or ran long ago) and starts the interval
    post();
    YieldToEvents();
    QCOMPARE(delivered, 0);  // skipped: too soon after the last one

    setYieldInterval(0);
    YieldToEvents();
    QCOMPARE(delivered, 1);

    setYieldInterval(1);
    post();
    QTest::qSleep(5);
    YieldToEvents();
    QCOMPARE(delivered, 2);  // long enough after the last one
    setYieldInterval(saved);
}

void ShellTest::programFilesFolder_data() {
    // Paths under a root holding bin/ (the program's folder) and share/; a name ending in '/' is
    // a folder. The files beside the program win over the installed data folder.
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("expected");
    const QString data = QStringLiteral("share/pellatrix/");
    QTest::newRow("nothing anywhere") << QStringList{} << "bin";
    QTest::newRow("installed") << QStringList{data, data + "Samples/"} << "share/pellatrix";
    QTest::newRow("hand pointer beside") << QStringList{"bin/HAND-M.CUR", data} << "bin";
    QTest::newRow("drag pointer beside") << QStringList{"bin/drag.ico", data} << "bin";
    QTest::newRow("skin beside") << QStringList{"bin/x/o.cjs", data} << "bin";
    QTest::newRow("samples beside") << QStringList{"bin/Samples/", data} << "bin";
    QTest::newRow("other files beside")
        << QStringList{"bin/pellatrix-cli", "bin/x/", data} << "share/pellatrix";
    QTest::newRow("data folder is a file") << QStringList{"share/pellatrix"} << "bin";
}

void ShellTest::programFilesFolder() {
    QFETCH(QStringList, present);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("bin")));
    for (const QString& path : present) {
        if (path.endsWith(u'/')) {
            QVERIFY(QDir(root.path()).mkpath(path));
        } else {
            QVERIFY(QDir(root.path()).mkpath(QFileInfo(root.filePath(path)).path()));
            QFile file(root.filePath(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    const QString bin = root.filePath(QStringLiteral("bin"));
    QCOMPARE(ProgramFilesFolder(bin, QStringLiteral("../share/pellatrix")),
             root.filePath(expected));
    // The build's own install folders give the same relative place.
    QCOMPARE(ProgramFilesFolder(bin), root.filePath(expected));
}

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
