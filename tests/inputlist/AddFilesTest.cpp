#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSet>
#include <QUrl>
#include <cstdio>

#include "engine/fs/FsError.h"
#include "engine/posix/PosixFileSystem.h"
#include "engine/run/CreationRun.h"
#include "engine/run/CreationUi.h"
#include "engine/run/ReportLocations.h"
#include "folderservices/FolderScan.h"
#include "inputlist/AddFiles.h"
#include "inputlist/CollapseBackslashes.h"
#include "shell/ReportError.h"
#include "shell/Yield.h"
#include "tests/folderservices/FakeFileSystem.h"
#include "tests/inputlist/InputListFixture.h"

namespace pellatrix {

namespace {

using Kind = TestPlatform::Kind;

const QString kBad =
    QStringLiteral("\r\rwas not added because it has bad characters in the filename.");

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write("x");
}

// "{d}" stands for the temporary folder, "|" for a NUL character, " " separates list entries.
QString expand(QString text, const QString& dir) {
    return text.replace(QStringLiteral("{d}"), dir).replace(QLatin1Char('|'), QChar(0));
}

QStringList expandAll(const QString& text, const QString& dir) {
    QStringList out;
    for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        out << expand(part, dir);
    }
    return out;
}

// The real file system, except that listing the files of one folder is refused.
class RefusingFileSystem : public PosixFileSystem {
public:
    explicit RefusingFileSystem(std::string refused) : m_refused(std::move(refused)) {}
    std::vector<std::string> fileNames(const std::string& folder) override {
        refuse(folder);
        return PosixFileSystem::fileNames(folder);
    }
    std::vector<std::string> regularFileNames(const std::string& folder) override {
        refuse(folder);
        return PosixFileSystem::regularFileNames(folder);
    }
    std::vector<ListedFile> listFiles(const std::string& folder, const KeepName& keep) override {
        refuse(folder);
        return PosixFileSystem::listFiles(folder, keep);
    }
    // The scan reads only the subfolders, so every folder's files go through listFiles.
    FolderEntries readFolder(const std::string& folder, const KeepName& keep) override {
        return FileSystem::readFolder(folder, keep);
    }

private:
    void refuse(const std::string& folder) const {
        std::string f = folder;
        while (f.size() > 1 && f.back() == '/') {
            f.pop_back();
        }
        if (f == m_refused) {
            throw FsError(kErrPermissionDenied, "Cannot list '" + folder + "': Permission denied");
        }
    }

    std::string m_refused;
};

std::string bytes(const QString& s) {
    return s.toLocal8Bit().toStdString();
}

// A scanned tree under `root`: the files below and the ones a scan must leave out.
void makeTree(const QString& root) {
    for (const char* name : {"a.txt", "~skip.txt", ".hid.txt", ".ro.txt", "b.doc", "noext",
                             "sub1/c.txt", "sub1/deeper/d.txt", "sub2/e.TXT", ".hdir/f.txt"}) {
        touch(root + "/" + name);
    }
    ::chmod(bytes(root + "/.ro.txt").c_str(), 0444);
}

// Writes `content` to the file named by exactly these bytes.
void writeBytes(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY2(fd >= 0, path.c_str());
    QCOMPARE(::write(fd, content.data(), content.size()), ssize_t(content.size()));
    ::close(fd);
}

std::string readBytes(const std::string& path) {
    std::string text;
    PosixFileSystem().readFile(path, [&](std::string_view chunk) { text.append(chunk); });
    return text;
}

// The run's view of the list as the main window gives it: the entries' bytes, nothing shown.
class ListRunUi : public CreationUi {
public:
    explicit ListRunUi(InputList& list) : m_list(list) {}
    int entryCount() override { return m_list.entryCount(); }
    std::string entryText(int position) override { return m_list.entryBytes(position); }
    std::string fixedText() override { return {}; }
    void showBusyPointer() override {}
    void showDefaultPointer() override {}
    void setProgressValue(double) override {}
    void setProgressText(const std::string&) override {}
    void showMessage(const std::string&) override {}
    void yield() override {}
    void reportError(const std::string& description, const std::string&, int) override {
        reports.push_back(description);
    }
    std::vector<std::string> reports;

private:
    InputList& m_list;
};

}  // namespace

class AddFilesTest : public QObject {
    Q_OBJECT

private slots:
    void dialog_data();
    void dialog();
    void dialogTooManyFiles();
    void extensionAndFolder_data();
    void extensionAndFolder();
    void unwritableSettingsAreReported();
    void treeAdd_data();
    void treeAdd();
    void treeAddSkipsUnlistableFolder();
    void treeAddSkipsExactlyHiddenArchive();
    void treeAddStreamsTheOneShotList();
    void drop_data();
    void drop();
    void invalidUtf8NameReachesTheRun_data();
    void invalidUtf8NameReachesTheRun();
};

void AddFilesTest::dialog_data() {
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("refused");

    QTest::newRow("cancel") << ""
                            << ""
                            << "";
    QTest::newRow("one file as returned") << "{d}//a.txt"
                                          << "{d}//a.txt"
                                          << "";
    QTest::newRow("three files") << "{d}|a.txt|b.txt|c.txt"
                                 << "{d}/a.txt {d}/b.txt {d}/c.txt"
                                 << "";
    QTest::newRow("folder with final separator") << "{d}/|b.txt|a.txt"
                                                 << "{d}/b.txt {d}/a.txt"
                                                 << "";
    QTest::newRow("missing single") << "{d}/nope.txt"
                                    << ""
                                    << "{d}/nope.txt";
    QTest::newRow("missing among three") << "{d}|a.txt|nope.txt|c.txt"
                                         << "{d}/a.txt {d}/c.txt"
                                         << "{d}/nope.txt";
    QTest::newRow("all missing") << "{d}|x|y"
                                 << ""
                                 << "{d}/x {d}/y";
    QTest::newRow("trailing NUL") << "{d}|a.txt|b.txt|"
                                  << "{d}/a.txt {d}/b.txt"
                                  << "";
    QTest::newRow("tilde and hidden kept") << "{d}|~t.txt|.h.txt"
                                           << "{d}/~t.txt {d}/.h.txt"
                                           << "";
}

void AddFilesTest::dialog() {
    QFETCH(QString, result);
    QFETCH(QString, expected);
    QFETCH(QString, refused);

    ListWindow w;
    QTemporaryDir dir;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "~t.txt", ".h.txt"}) {
        touch(dir.filePath(name));
    }
    w.list->appendEntry("/already/there.txt");
    QList<int> countsWhileRefusing;
    w.platform.expectOpenFiles(expand(result, dir.path()));
    const QStringList refusedPaths = expandAll(refused, dir.path());
    for (int i = 0; i < refusedPaths.size(); ++i) {
        w.platform.expectInformation([&] { countsWhileRefusing << w.list->entryCount(); });
    }

    onAddFilesClicked(w.context);

    QCOMPARE(w.list->entryTexts(),
             QStringList{"/already/there.txt"} + expandAll(expected, dir.path()));
    QStringList boxes;
    for (const QString& path : refusedPaths) {
        boxes << path + kBad;
    }
    QCOMPARE(w.platform.texts(Kind::Information), boxes);
    const auto& dialogShown = w.platform.shown().first();
    QCOMPARE(dialogShown.title, QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
    QCOMPARE(dialogShown.proposal, QStringLiteral("All Files (*.*)"));
    QCOMPARE(dialogShown.parentAtCall, w.window.get());
    for (const auto& s : w.platform.shown()) {
        if (s.kind == Kind::Information) {
            QCOMPARE(s.title, QStringLiteral("Pellatrix"));
        }
    }
    // The paths chosen before a refused one are already in the list while its box shows.
    if (result == "{d}|a.txt|nope.txt|c.txt") {
        QCOMPARE(countsWhileRefusing, QList<int>{2});
    }
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void AddFilesTest::dialogTooManyFiles() {
    ListWindow w;
    w.platform.expectOpenFilesTooMany();
    w.platform.expectInformation();
    onAddFilesClicked(w.context);
    QCOMPARE(w.list->entryCount(), 0);
    QCOMPARE(w.platform.texts(Kind::Information), QStringList{TooManyFilesText()});
    QCOMPARE(w.platform.shown().last().title, QStringLiteral("Pellatrix"));
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
    // The dialog can be opened again at once.
    w.platform.expectOpenFiles(QString());
    onAddFilesClicked(w.context);
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void AddFilesTest::extensionAndFolder_data() {
    // "-" : no stored value / no picker expected.
    QTest::addColumn<QString>("storedExtension");
    QTest::addColumn<QString>("storedFolder");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QString>("extensionAfter");
    QTest::addColumn<QString>("folderAfter");
    QTest::addColumn<bool>("adds");

    QTest::newRow("cancel, first time") << "-"
                                        << "-"
                                        << ""
                                        << "-"
                                        << "-"
                                        << "-" << false;
    QTest::newRow("empty extension keeps old") << "doc"
                                               << "/old"
                                               << ""
                                               << "-"
                                               << "doc"
                                               << "/old" << false;
    QTest::newRow("picker cancelled, extension saved") << "doc"
                                                       << "/old"
                                                       << "md"
                                                       << ""
                                                       << "md"
                                                       << "/old" << false;
    QTest::newRow("first time, folder chosen") << "-"
                                               << "-"
                                               << "txt"
                                               << "{d}"
                                               << "txt"
                                               << "{d}" << true;
    QTest::newRow("folder chosen over old one") << "txt"
                                                << "/old"
                                                << "txt"
                                                << "{d}"
                                                << "txt"
                                                << "{d}" << true;
}

void AddFilesTest::extensionAndFolder() {
    QFETCH(QString, storedExtension);
    QFETCH(QString, storedFolder);
    QFETCH(QString, typed);
    QFETCH(QString, picked);
    QFETCH(QString, extensionAfter);
    QFETCH(QString, folderAfter);
    QFETCH(bool, adds);

    ListWindow w;
    QTemporaryDir dir;
    touch(dir.filePath("one.txt"));
    SettingsStore& store = w.settings.store();
    if (storedExtension != "-") {
        store.SaveSetting("Extension", storedExtension);
    }
    if (storedFolder != "-") {
        store.SaveSetting("LastFolder", storedFolder);
    }
    int busyYields = 0;
    w.context.yield = [&] {
        busyYields += w.window->cursor().shape() == Qt::WaitCursor ? 1 : 0;
        QCoreApplication::processEvents();
    };
    w.platform.expectInput(typed);
    if (picked != "-") {
        w.platform.expectPickFolder(expand(picked, dir.path()));
    }

    onAddFolderClicked(w.context);

    const auto& input = w.platform.shown().first();
    QCOMPARE(input.text,
             QStringLiteral("Enter file extension to load:\r\r(* for all files, txt for "
                            "all txt files, doc for all doc files, etc.)"));
    QCOMPARE(input.title, QStringLiteral("Pellatrix"));
    QCOMPARE(input.proposal, storedExtension == "-" ? QStringLiteral("txt") : storedExtension);
    if (picked != "-") {
        const auto& picker = w.platform.shown().at(1);
        QCOMPARE(picker.text, QStringLiteral("Please select folder:"));
        QCOMPARE(picker.proposal, storedFolder == "-" ? QString() : storedFolder);
    }
    QCOMPARE(store.GetSetting("Extension", QStringLiteral("-")), extensionAfter);
    QCOMPARE(store.GetSetting("LastFolder", QStringLiteral("-")), expand(folderAfter, dir.path()));
    QCOMPARE(w.list->entryTexts(), adds ? QStringList{dir.filePath("one.txt")} : QStringList());
    QCOMPARE(busyYields > 0, adds);
    QCOMPARE(w.window->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void AddFilesTest::unwritableSettingsAreReported() {
    ListWindow w;
    QTemporaryDir dir;
    touch(dir.filePath("one.txt"));
    // A store whose folder is a file cannot be written: each save fails and is reported, and the
    // add goes on with the next step.
    touch(dir.filePath("blocker"));
    SettingsStore unwritable(dir.filePath("blocker/Pellatrix.conf"));
    w.context.settings = &unwritable;
    w.platform.expectInput("txt");
    w.platform.expectPickFolder(dir.path());
    onAddFolderClicked(w.context);

    QCOMPARE(w.reports.size(), std::size_t{2});
    QCOMPARE(w.reports[0].line, 104);
    QCOMPARE(w.reports[1].line, 333);
    QCOMPARE(w.reports[1].location, std::string(locations::kPushButton3));
    QCOMPARE(w.list->entryTexts(), QStringList{dir.filePath("one.txt")});
    QCOMPARE(w.window->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void AddFilesTest::treeAdd_data() {
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QStringList>("candidates");  // files the pattern matches, before the skips
    QTest::newRow("txt") << "txt" << QStringList{"a.txt",      ".hid.txt",          ".ro.txt",
                                                 "sub1/c.txt", "sub1/deeper/d.txt", "sub2/e.TXT",
                                                 ".hdir/f.txt"};
    QTest::newRow("TXT, case ignored")
        << "TXT"
        << QStringList{"a.txt",      ".hid.txt",   ".ro.txt", "sub1/c.txt", "sub1/deeper/d.txt",
                       "sub2/e.TXT", ".hdir/f.txt"};
    QTest::newRow("doc") << "doc" << QStringList{"b.doc"};
    QTest::newRow("* adds every file")
        << "*"
        << QStringList{"a.txt",      ".hid.txt",          ".ro.txt",    "b.doc",      "noext",
                       "sub1/c.txt", "sub1/deeper/d.txt", "sub2/e.TXT", ".hdir/f.txt"};
    QTest::newRow("nothing matches") << "xyz" << QStringList{};
}

void AddFilesTest::treeAdd() {
    QFETCH(QString, extension);
    QFETCH(QStringList, candidates);

    ListWindow w;
    QTemporaryDir dir;
    const QString root = dir.filePath("R");
    makeTree(root);
    PosixFileSystem fs;
    QCOMPARE(fs.attributes(bytes(root + "/.hid.txt")), kAttrHidden | kAttrArchive);

    // Expected: the candidates whose real attribute word is not exactly hidden + archive.
    QSet<QString> expected;
    for (const QString& c : candidates) {
        if (fs.attributes(bytes(root + "/" + c)) != (kAttrHidden | kAttrArchive)) {
            expected.insert(root + "/" + c);
        }
    }
    QVERIFY(!expected.contains(root + "/.hid.txt"));

    // Twice: a scan adds what the list already holds again; the second time the folder comes
    // with doubled separators, which the added paths do not keep.
    for (const QString& picked : {root, dir.path() + "//R"}) {
        w.platform.expectInput(extension);
        w.platform.expectPickFolder(picked);
        onAddFolderClicked(w.context, fs);
    }
    const QStringList entries = w.list->entryTexts();
    QCOMPARE(entries.size(), 2 * expected.size());
    const QStringList first = entries.mid(0, expected.size());
    QCOMPARE(QSet<QString>(first.begin(), first.end()), expected);
    QCOMPARE(entries.mid(expected.size()), first);

    // Breadth-first: a folder's files are together, and no deeper folder comes before a shallower.
    QStringList foldersSeen;
    int lastDepth = 0;
    for (const QString& e : first) {
        const QString folder = QFileInfo(e).path();
        const int depth = folder.count(QLatin1Char('/'));
        QVERIFY2(depth >= lastDepth, qPrintable(e));
        lastDepth = depth;
        if (foldersSeen.isEmpty() || foldersSeen.last() != folder) {
            QVERIFY2(!foldersSeen.contains(folder), qPrintable(e));
            foldersSeen << folder;
        }
    }
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void AddFilesTest::treeAddSkipsUnlistableFolder() {
    ListWindow w;
    QTemporaryDir dir;
    const QString root = dir.filePath("R");
    makeTree(root);
    RefusingFileSystem fs(bytes(root + "/sub1"));
    w.platform.expectInput("txt");
    w.platform.expectPickFolder(root);
    onAddFolderClicked(w.context, fs);

    QCOMPARE(w.reports.size(), std::size_t{1});
    QCOMPARE(w.reports[0].location, std::string(locations::kPushButton3));
    QCOMPARE(w.reports[0].line, 120);
    QVERIFY(QString::fromStdString(w.reports[0].description).contains("sub1"));
    const QStringList entries = w.list->entryTexts();
    QVERIFY(!entries.contains(root + "/sub1/c.txt"));
    QVERIFY(entries.contains(root + "/sub1/deeper/d.txt"));
    QVERIFY(entries.contains(root + "/a.txt"));
    QVERIFY(entries.contains(root + "/sub2/e.TXT"));
    QCOMPARE(w.window->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

// Only the attribute word 34 (hidden + archive) is held back. The words come from the test file
// system, so the result does not depend on who runs the suite (root may write a read-only file).
void AddFilesTest::treeAddSkipsExactlyHiddenArchive() {
    struct File {
        const char* name;
        int attributes;
        bool added;
    };
    const File files[] = {
        {"plain.txt", kAttrArchive, true},
        {".ha.txt", kAttrHidden | kAttrArchive, false},
        {".hra.txt", kAttrHidden | kAttrReadOnly | kAttrArchive, true},
        {".hsa.txt", kAttrHidden | kAttrSystem | kAttrArchive, true},
        {".h.txt", kAttrHidden, true},
        {".hal.txt", kAttrHidden | kAttrArchive | kAttrReparsePoint, true},
        {"~t.txt", kAttrArchive, false},
    };
    test::FakeFileSystem fs;
    fs.addFolder("/R");
    for (const File& f : files) {
        fs.addFile(std::string("/R/") + f.name, f.attributes);
    }
    ListWindow w;
    w.platform.expectInput("*");
    w.platform.expectPickFolder("/R");
    onAddFolderClicked(w.context, fs);

    QStringList expected;
    for (const File& f : files) {
        if (f.added) {
            expected << QStringLiteral("/R/") + QString::fromLatin1(f.name);
        }
    }
    QStringList entries = w.list->entryTexts();
    entries.sort();
    expected.sort();
    QCOMPARE(entries, expected);
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

// The list grows as the scan reads each folder, and ends as the whole list read in one go would:
// the order, the skipped "~" and hidden + archive files, links back up and a second way into one
// folder. A folder too deep for the scan to read, between siblings it does read, must get its
// own files and pass none of its siblings' on.
void AddFilesTest::treeAddStreamsTheOneShotList() {
    ListWindow w;
    QTemporaryDir dir;
    const QString root = dir.filePath("R");
    makeTree(root);
    touch(root + "/sub1/~gone.txt");
    touch(root + "/sub2/.ha.txt");  // hidden + archive whoever runs the suite: writable
    const QString longName(120, QLatin1Char('l'));
    const QString deep = root + "/d/" + longName + "/" + longName;
    QVERIFY(deep.size() + 1 >= int(kMaxPathChars));
    for (const QString& file : {deep + "/in-deep.txt", deep + "/~no.txt", deep + "/../a0/w.txt",
                                deep + "/../m1/x.txt", deep + "/../m2/y.txt"}) {
        touch(QDir::cleanPath(file));
    }
    QVERIFY(::symlink("..", bytes(root + "/sub1/up").c_str()) == 0);
    QVERIFY(::symlink(bytes(root + "/sub2").c_str(), bytes(root + "/twin").c_str()) == 0);

    PosixFileSystem fs;
    FolderList folders{bytes(root) + "/"};
    FolderScan(fs, {}, {}).GetSubDirectories2016(folders, true);
    QStringList oneShot;
    for (const std::string& entry : folders) {
        for (const ListedFile& f : ListFilesWithAttributes(fs, entry, "*.*")) {
            if (f.name.front() != '~' && !f.hiddenArchive) {
                oneShot << QString::fromLocal8Bit(CollapseBackslashes(entry) + f.name);
            }
        }
    }
    QVERIFY(oneShot.contains(deep + "/in-deep.txt"));
    QVERIFY(!oneShot.contains(root + "/sub2/.ha.txt"));

    std::vector<int> shown;
    w.context.yield = [&] { shown.push_back(w.list->entryCount()); };
    const int interval = yieldInterval();
    setYieldInterval(0);
    w.platform.expectInput("*");
    w.platform.expectPickFolder(root);
    onAddFolderClicked(w.context, fs);
    setYieldInterval(interval);

    QCOMPARE(w.list->entryTexts(), oneShot);
    QVERIFY(std::is_sorted(shown.begin(), shown.end()));
    QVERIFY(std::any_of(shown.begin(), shown.end(),
                        [&](int n) { return n > 0 && n < oneShot.size(); }));
    QVERIFY(w.reports.empty());
}

void AddFilesTest::drop_data() {
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two folders and a file") << "{d}/A {d}/B {d}/f.txt"
                                            << "{d}/A/1.txt {d}/A/sub/2.txt {d}/B/3 {d}/f.txt";
    QTest::newRow("file before folder") << "{d}/f.txt {d}/A"
                                        << "{d}/f.txt {d}/A/1.txt {d}/A/sub/2.txt";
    QTest::newRow("names kept as dropped") << "{d}/~x.txt {d}/.h {d}/missing.txt {d}//A/../f.txt"
                                           << "{d}/~x.txt {d}/.h {d}/missing.txt {d}//A/../f.txt";
    QTest::newRow("same folder twice") << "{d}/B {d}/B"
                                       << "{d}/B/3 {d}/B/3";
}

void AddFilesTest::drop() {
    QFETCH(QString, dropped);
    QFETCH(QString, expected);

    ListWindow w;
    QTemporaryDir dir;
    for (const char* name :
         {"A/1.txt", "A/~no.txt", "A/sub/2.txt", "B/3", "f.txt", "~x.txt", ".h"}) {
        touch(dir.filePath(name));
    }
    QList<QUrl> urls;
    for (const QString& path : expandAll(dropped, dir.path())) {
        urls << QUrl::fromLocalFile(path);
    }
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(30, 30);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(w.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent event(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.ignore();
    QApplication::sendEvent(w.viewport(), &event);
    QVERIFY(event.isAccepted());
    QCOMPARE(event.dropAction(), Qt::CopyAction);
    QTRY_COMPARE(w.list->entryCount(), expandAll(expected, dir.path()).size());

    QCOMPARE(w.list->entryTexts(), expandAll(expected, dir.path()));
    QVERIFY(w.platform.shown().isEmpty());
    QVERIFY(w.reports.empty());
}

void AddFilesTest::invalidUtf8NameReachesTheRun_data() {
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("twin");  // a second name in the folder that shows the same
    QTest::addColumn<bool>("added");
    QTest::newRow("folder scan") << "scan" << false << true;
    QTest::newRow("scan of a folder so named") << "scan, folder" << false << true;
    QTest::newRow("drop") << "drop" << false << true;
    QTest::newRow("dialog, one file") << "dialog one" << false << true;
    QTest::newRow("dialog, several") << "dialog several" << false << true;
    QTest::newRow("dialog, two names shown alike") << "dialog one" << true << false;
}

void AddFilesTest::invalidUtf8NameReachesTheRun() {
    QFETCH(QString, way);
    QFETCH(bool, twin);
    QFETCH(bool, added);

    ListWindow w;
    QTemporaryDir dir;
    const std::string root = bytes(dir.path());
    // Latin-1 bytes: neither the list file's name nor the target's is valid UTF-8.
    const std::string folder = way == "scan, folder" ? root + "/dossier\xe9" : root;
    ::mkdir(folder.c_str(), 0755);
    const std::string listFile = folder + "/caf\xe9.txt";
    const std::string target = root + "/out\xe9\xff.dat";
    // Qt cannot name these files to remove them; the test removes them by their bytes.
    struct Cleanup {
        std::vector<std::string> paths;
        ~Cleanup() {
            for (const std::string& p : paths) {
                std::remove(p.c_str());
            }
        }
    } cleanup{{listFile, root + "/caf\xe8.txt", target, folder}};
    writeBytes(listFile, target + ">made");
    if (twin) {
        writeBytes(root + "/caf\xe8.txt", target + ">wrong");
    }
    const QString shown = QString::fromLocal8Bit(listFile);
    QVERIFY(shown.contains(QChar::ReplacementCharacter));

    if (way.startsWith("scan")) {
        w.platform.expectInput("txt");
        w.platform.expectPickFolder(QString::fromLocal8Bit(folder));
        onAddFolderClicked(w.context);
    } else if (way == "drop") {
        QMimeData data;
        data.setUrls({QUrl::fromEncoded(
            "file://" + QByteArray::fromStdString(listFile).toPercentEncoding("/"))});
        QDragEnterEvent enter(QPoint(30, 30), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(w.viewport(), &enter);
        QDropEvent drop(QPointF(30, 30), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.viewport(), &drop);
        QTRY_COMPARE(w.list->entryCount(), 1);
    } else {
        w.platform.expectOpenFiles(way == "dialog one"
                                       ? shown
                                       : dir.path() + QChar(0) + QFileInfo(shown).fileName() +
                                             QChar(0) + QStringLiteral("none.txt"));
        const int boxes = (twin ? 1 : 0) + (way == "dialog one" ? 0 : 1);
        for (int i = 0; i < boxes; ++i) {
            w.platform.expectInformation();
        }
        onAddFilesClicked(w.context);
        QVERIFY(w.platform.verifyAllAnswersUsed());
    }

    QCOMPARE(w.list->entryCount(), added ? 1 : 0);
    if (!added) {
        // Which of the two files was chosen cannot be told: neither is added.
        QCOMPARE(w.platform.texts(Kind::Information), QStringList{shown + kBad});
        return;
    }
    QCOMPARE(w.list->entryBytes(1), listFile);
    QCOMPARE(w.list->entryText(1), shown);

    PosixFileSystem fs;
    ListRunUi ui(*w.list);
    CreationRun run(fs, ui);
    run.createFiles();
    QCOMPARE(ui.reports, std::vector<std::string>{});
    QCOMPARE(readBytes(target), std::string("made"));
    QVERIFY(w.reports.empty());
}

}  // namespace pellatrix

QTEST_MAIN(pellatrix::AddFilesTest)
#include "AddFilesTest.moc"
