#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/fs/FsError.h"
#include "engine/run/ReportLocations.h"
#include "engine/run/Trap.h"
#include "guidance/GuidanceHandlers.h"
#include "guidance/HelpTexts.h"
#include "guidance/SampleRecord.h"
#include "inputlist/InputList.h"
#include "shell/WindowContext.h"
#include "tests/support/TestPlatform.h"

namespace pellatrix {

namespace {

struct Report {
    QString description;
    QString location;
    int line;
};

// A window, its list, a program folder and a settings store of their own, for one test.
class Rig {
public:
    explicit Rig(const QString& iniPath = {})
        : m_store(iniPath.isEmpty() ? m_storeDir.path() + "/Pellatrix.conf" : iniPath) {
        m_list = new InputList(&m_window);
        context.window = &m_window;
        context.list = m_list;
        context.platform = &platform;
        context.settings = &m_store;
        context.report = [this](const std::string& d, const std::string& l, int line) {
            reports.push_back({QString::fromStdString(d), QString::fromStdString(l), line});
        };
        context.applicationTitle = [] { return QStringLiteral("Sample Title"); };
        context.programFolder = m_program.path();
        context.yield = [this] { ++yields; };
        m_list->setContext(&context);
    }

    QString samples() const { return m_program.path() + "/Samples"; }
    QString samplePath(const QString& name) const { return samples() + "/" + name; }
    void addSample(const QString& name) {
        QDir().mkpath(samples());
        QFile file(samplePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("/tmp/test/newfolder1/out.txt\n");
    }
    QStringList samplePaths(std::initializer_list<const char*> names) const {
        QStringList paths;
        for (const char* name : names) {
            paths << samplePath(QString::fromUtf8(name));
        }
        return paths;
    }
    void recordAtStartUp() {
        Trap trap(locations::kFormLoad, context.report);
        recordSampleFilesIfMissing(trap, 110, context);
        recordSampleFilesIfMissing(trap, 126, context);
    }
    QString snapshot() { return m_store.GetSetting("Snapshot", QStringLiteral("<missing>")); }
    InputList& list() { return *m_list; }
    SettingsStore& store() { return m_store; }

    TestPlatform platform;
    WindowContext context;
    std::vector<Report> reports;
    int yields = 0;

private:
    QTemporaryDir m_program;
    QTemporaryDir m_storeDir;
    SettingsStore m_store;
    QWidget m_window;
    InputList* m_list = nullptr;
};

// A platform whose questions fail, as a box that cannot be shown would.
class FailingQuestionPlatform : public TestPlatform {
public:
    bool question(QWidget*, const QString&, const QString&) override {
        ++questions;
        throw FsError(kErrPathFileAccess, "the question could not be asked");
    }
    int questions = 0;
};

QString joined(const auto& pieces) {
    std::string text;
    for (const std::string& piece : pieces) {
        text += piece;
    }
    return QString::fromStdString(text);
}

}  // namespace

class GuidanceHandlersTest : public QObject {
    Q_OBJECT

private slots:
    void formatHelpBoxThenSampleOffer_data();
    void formatHelpBoxThenSampleOffer();
    void contentHelpBox();
    void recordThenLoadTwiceAddsOnceAndAsksEachTime();
    void loadSkipsDeletedSampleAndIgnoresCaseTwins();
    void emptySamplesFolder_data();
    void emptySamplesFolder();
    void missingRecordAddsNothingAndOffersFolder();
    void staleRecordIsReplacedAtStartUp_data();
    void staleRecordIsReplacedAtStartUp();
    void snapshotBytesRoundTripThroughStore();
    void unwritableStoreIsReportedAtBothStartUpSteps();
    void longRecordLoadsEverySample();
    void failingQuestionIsReportedAtItsLine();
};

void GuidanceHandlersTest::formatHelpBoxThenSampleOffer_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes opens sample1.txt") << true;
    QTest::newRow("no opens nothing") << false;
}

void GuidanceHandlersTest::formatHelpBoxThenSampleOffer() {
    QFETCH(bool, yes);
    Rig rig;
    rig.platform.expectInformation();
    rig.platform.expectQuestion(yes);
    onListFileHelpClicked(rig.context);

    const auto& shown = rig.platform.shown();
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].kind, TestPlatform::Kind::Information);
    QCOMPARE(shown[0].title, QStringLiteral("Sample Title"));
    QCOMPARE(shown[0].text,
             joined(help::formatHelpPieces()) + QString::fromLatin1(help::kFormatHelpClosing));
    QVERIFY(shown[0].text.startsWith("The *contents* of your text files should look like:\r\r/"));
    QCOMPARE(shown[1].kind, TestPlatform::Kind::Question);
    QCOMPARE(shown[1].text, QStringLiteral("Would you like to view a sample file?"));
    // The file is opened whether or not it exists; the platform decides what to show.
    const QStringList expected = yes ? QStringList{rig.samplePath("sample1.txt")} : QStringList{};
    QCOMPARE(rig.platform.openedDocuments(), expected);
    QVERIFY(rig.reports.empty());
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::contentHelpBox() {
    Rig rig;
    rig.platform.expectInformation();
    onDynamicTextHelpClicked(rig.context);
    QCOMPARE(rig.platform.texts(TestPlatform::Kind::Information),
             QStringList{joined(help::contentHelpPieces())});
    QVERIFY(rig.platform.texts(TestPlatform::Kind::Information)[0].endsWith("junk.jnk>third"));
    QCOMPARE(rig.platform.shown()[0].title, QStringLiteral("Sample Title"));
    QVERIFY(rig.platform.openedDocuments().isEmpty());
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::recordThenLoadTwiceAddsOnceAndAsksEachTime() {
    Rig rig;
    for (const char* name : {"b.txt", "a.txt", "sample1.txt", ".hidden"}) {
        rig.addSample(name);
    }
    const std::string samples = QFile::encodeName(rig.samples()).toStdString();
    const std::string oddNames[] = {samples + "/c\xfe.txt", samples + "/c\xff.txt"};
    for (const std::string& name : oddNames) {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(name.c_str(), "wb"), std::fclose);
        QVERIFY(file);
    }
    rig.recordAtStartUp();
    QVERIFY(rig.reports.empty());
    const QString stored = rig.snapshot();
    QVERIFY(!stored.isEmpty());
    QVERIFY2(!stored.contains("Samples"), "the record is stored scrambled");
    // The window is given its events while the record is scrambled, one byte in 64.
    QVERIFY(rig.yields >= stored.size() / 64);

    rig.list().appendEntry("/some/other/list.txt");
    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    const QStringList expected = QStringList{"/some/other/list.txt"} +
                                 rig.samplePaths({".hidden", "a.txt", "b.txt", "sample1.txt"});
    // Two names that are no UTF-8 and read alike as text: both are added, each once, as bytes.
    const auto entries = [&] {
        std::vector<std::string> all;
        for (int i = 1; i <= rig.list().entryCount(); ++i) {
            all.push_back(rig.list().entryBytes(i));
        }
        return all;
    };
    const auto withoutOddNames = [&] {
        QStringList texts = rig.list().entryTexts();
        texts.removeIf([](const QString& t) { return t.contains(QChar::ReplacementCharacter); });
        return texts;
    };
    const auto count = [&](const std::string& bytes) {
        const std::vector<std::string> all = entries();
        return std::count(all.begin(), all.end(), bytes);
    };
    QCOMPARE(withoutOddNames(), expected);
    QCOMPARE(count(oddNames[0]), 1);
    QCOMPARE(count(oddNames[1]), 1);
    QCOMPARE(rig.list().entryCount(), expected.size() + 2);

    rig.platform.expectQuestion(true);
    onLoadSamplesClicked(rig.context);
    QCOMPARE(withoutOddNames(), expected);
    QCOMPARE(rig.list().entryCount(), expected.size() + 2);
    QCOMPARE(rig.platform.texts(TestPlatform::Kind::Question),
             QStringList(2, QString::fromLatin1(help::kOpenSamplesFolderQuestion)));
    QCOMPARE(rig.platform.openedDocuments(), QStringList{rig.samples() + "/"});
    QVERIFY(rig.reports.empty());
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::loadSkipsDeletedSampleAndIgnoresCaseTwins() {
    Rig rig;
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) {
        rig.addSample(name);
    }
    rig.recordAtStartUp();
    QVERIFY(QFile::remove(rig.samplePath("two.txt")));
    // Entries that differ only in letter case are other paths.
    rig.list().appendEntry(rig.samplePath("ONE.TXT"));
    rig.list().appendEntry(rig.samples().toUpper() + "/three.txt");

    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    QStringList added = rig.list().entryTexts().mid(2);
    added.sort();
    QCOMPARE(added, (QStringList{rig.samplePath("one.txt"), rig.samplePath("three.txt")}));
    QVERIFY(rig.reports.empty());
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::emptySamplesFolder_data() {
    QTest::addColumn<bool>("folderExists");
    QTest::newRow("empty folder") << true;
    QTest::newRow("no folder") << false;
}

void GuidanceHandlersTest::emptySamplesFolder() {
    QFETCH(bool, folderExists);
    Rig rig;
    if (folderExists) {
        QVERIFY(QDir().mkpath(rig.samples()));
    }
    rig.recordAtStartUp();
    QVERIFY(rig.reports.empty());
    QCOMPARE(rig.snapshot(), QString());

    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    QCOMPARE(rig.list().entryCount(), 0);

    // An empty record is built again at the next start-up, so a sample added since counts.
    rig.addSample("late.txt");
    rig.recordAtStartUp();
    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    QCOMPARE(rig.list().entryTexts(), QStringList{rig.samplePath("late.txt")});
    QVERIFY(rig.reports.empty());
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::missingRecordAddsNothingAndOffersFolder() {
    Rig rig;
    rig.addSample("sample1.txt");
    rig.platform.expectQuestion(true);
    onLoadSamplesClicked(rig.context);
    QCOMPARE(rig.list().entryCount(), 0);
    QCOMPARE(rig.platform.openedDocuments(), QStringList{rig.samples() + "/"});
    // Loading never writes the record.
    QCOMPARE(rig.snapshot(), QStringLiteral("<missing>"));
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::staleRecordIsReplacedAtStartUp_data() {
    QTest::addColumn<QString>(
        "stored");  // the plain record; "{s}" is this program's samples folder
    QTest::addColumn<QStringList>("samples");
    QTest::addColumn<QString>("expected");

    QTest::newRow("another folder's samples")
        << "/old/checkout/Samples/sample1.txt|/old/checkout/Samples/sample2.txt"
        << QStringList{"sample1.txt", "sample2.txt"} << "{s}/sample1.txt|{s}/sample2.txt";
    QTest::newRow("another folder's, none here")
        << "/old/checkout/Samples/sample1.txt" << QStringList{} << "";
    QTest::newRow("a sample added since")
        << "{s}/a.txt" << QStringList{"a.txt", "b.txt"} << "{s}/a.txt|{s}/b.txt";
    QTest::newRow("a sample removed since")
        << "{s}/a.txt|{s}/b.txt" << QStringList{"b.txt"} << "{s}/b.txt";
    QTest::newRow("unsorted, as readdir gave it")
        << "{s}/per-line.txt|{s}/fixed.txt" << QStringList{"fixed.txt", "per-line.txt"}
        << "{s}/fixed.txt|{s}/per-line.txt";
    QTest::newRow("current: kept")
        << "{s}/a.txt|{s}/b.txt" << QStringList{"a.txt", "b.txt"} << "{s}/a.txt|{s}/b.txt";
}

void GuidanceHandlersTest::staleRecordIsReplacedAtStartUp() {
    QFETCH(QString, stored);
    QFETCH(QStringList, samples);
    QFETCH(QString, expected);
    Rig rig;
    QVERIFY(QDir().mkpath(rig.samples()));
    for (const QString& name : samples) {
        rig.addSample(name);
    }
    const auto plain = [&](QString record) { return record.replace("{s}", rig.samples()); };
    rig.store().SaveSetting("Snapshot", snapshotSettingText(ScrambleText(
                                            plain(stored).toStdString(), SampleRecordKey)));
    rig.recordAtStartUp();
    QVERIFY(rig.reports.empty());
    const std::string record =
        UnscrambleText(snapshotSettingBytes(rig.snapshot()), SampleRecordKey);
    QCOMPARE(QString::fromStdString(record), plain(expected));

    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    const QStringList added =
        expected.isEmpty() ? QStringList{} : plain(expected).split(QLatin1Char('|'));
    QCOMPARE(rig.list().entryTexts(), added);
    QVERIFY(rig.platform.verifyAllAnswersUsed());
}

void GuidanceHandlersTest::snapshotBytesRoundTripThroughStore() {
    QTemporaryDir dir;
    const QString ini = dir.path() + "/Pellatrix.conf";
    // Every byte a scrambled record can hold, in the awkward places of an INI value too.
    std::string bytes;
    for (int c = 1; c <= 255; ++c) {
        bytes += static_cast<char>(c);
    }
    const std::string cases[] = {bytes, " leading and trailing ", "@at,comma;semi=eq\"q\\", "\x01",
                                 "\xff\x7f\x80 \t\r\n"};
    for (const std::string& value : cases) {
        SettingsStore(ini).SaveSetting("Snapshot", snapshotSettingText(value));
        const std::string back =
            snapshotSettingBytes(SettingsStore(ini).GetSetting("Snapshot", false));
        QCOMPARE(QByteArray::fromStdString(back), QByteArray::fromStdString(value));
    }
}

void GuidanceHandlersTest::unwritableStoreIsReportedAtBothStartUpSteps() {
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Rig rig(dir.path() + "/file/Pellatrix.conf");  // a store below a plain file cannot be written
    rig.addSample("sample1.txt");
    rig.recordAtStartUp();
    QCOMPARE(static_cast<int>(rig.reports.size()), 2);
    QCOMPARE(rig.reports[0].line, 110);
    QCOMPARE(rig.reports[1].line, 126);
    for (const Report& r : rig.reports) {
        QCOMPARE(r.location, QString::fromLatin1(locations::kFormLoad));
        QVERIFY(!r.description.isEmpty());
    }
    QCOMPARE(rig.snapshot(), QStringLiteral("<missing>"));
}

void GuidanceHandlersTest::longRecordLoadsEverySample() {
    Rig rig;
    const QString padding(150, QLatin1Char('x'));
    for (int i = 0; i < 250; ++i) {
        rig.addSample(QStringLiteral("%1-%2.txt").arg(i).arg(padding));
    }
    rig.recordAtStartUp();
    QVERIFY(rig.reports.empty());
    QVERIFY(rig.snapshot().size() > 32767);

    rig.platform.expectQuestion(false);
    onLoadSamplesClicked(rig.context);
    QStringList sorted = rig.list().entryTexts();
    sorted.sort();
    QCOMPARE(rig.list().entryTexts(), sorted);
    QCOMPARE(rig.list().entryCount(), 250);
    QVERIFY(rig.reports.empty());
}

void GuidanceHandlersTest::failingQuestionIsReportedAtItsLine() {
    Rig rig;
    FailingQuestionPlatform failing;
    rig.context.platform = &failing;
    rig.addSample("sample1.txt");
    rig.recordAtStartUp();

    // The failed test of the question counts as held: the sample is opened all the same.
    failing.expectInformation();
    onListFileHelpClicked(rig.context);
    QCOMPARE(static_cast<int>(rig.reports.size()), 1);
    QCOMPARE(rig.reports[0].location, QString::fromLatin1(locations::kPushButton1));
    QCOMPARE(rig.reports[0].line, 118);
    QCOMPARE(rig.reports[0].description, QStringLiteral("the question could not be asked"));
    QCOMPARE(failing.openedDocuments(), QStringList{rig.samplePath("sample1.txt")});

    // Loading ends at the failure, reported as the handler's only step; what was added stays
    // and the folder is not opened.
    onLoadSamplesClicked(rig.context);
    QCOMPARE(static_cast<int>(rig.reports.size()), 2);
    QCOMPARE(rig.reports[1].location, QString::fromLatin1(locations::kPushButton7));
    QCOMPARE(rig.reports[1].line, 100);
    QCOMPARE(rig.list().entryTexts(), QStringList{rig.samplePath("sample1.txt")});
    QCOMPARE(failing.openedDocuments().size(), 1);
    QCOMPARE(failing.questions, 2);
    QVERIFY(failing.verifyAllAnswersUsed());
}

}  // namespace pellatrix

QTEST_MAIN(pellatrix::GuidanceHandlersTest)
#include "GuidanceHandlersTest.moc"
