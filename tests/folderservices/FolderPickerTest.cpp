// The folder picker wrapper: what reaches the platform's chooser and what comes back.
#include <QtTest>

#include "folderservices/FolderPicker.h"
#include "shell/Platform.h"

namespace pellatrix {
namespace {

// Answers every folder request with one fixed result and records the request.
class PickerPlatform : public Platform {
public:
    QString answer;
    int calls = 0;
    QWidget* parent = nullptr;
    QString prompt;
    QString start;

    void information(QWidget*, const QString&, const QString&) override { unexpected(); }
    bool question(QWidget*, const QString&, const QString&) override { return unexpected(); }
    void warning(QWidget*, const QString&, const QString&) override { unexpected(); }
    void notice(QWidget*, const QString&, const QString&) override { unexpected(); }
    QString inputText(QWidget*, const QString&, const QString&, const QString&) override {
        unexpected();
        return {};
    }
    QString openFiles(QWidget*, const QString&, const QString&) override {
        unexpected();
        return {};
    }
    QString pickFolder(QWidget* p, const QString& pr, const QString& s) override {
        ++calls;
        parent = p;
        prompt = pr;
        start = s;
        return answer;
    }
    void openDocument(const QString&) override { unexpected(); }
    void openHomePage(const QString&) override { unexpected(); }
    int drawOneToHundred() override { return unexpected(); }

private:
    static bool unexpected() {
        qWarning("unexpected platform call");
        return false;
    }
};

}  // namespace

class FolderPickerTest : public QObject {
    Q_OBJECT

private slots:
    void resultForm_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("expected");
        QTest::newRow("cancel") << QString() << QString();
        QTest::newRow("cancel empty") << QString("") << QString();
        QTest::newRow("folder") << "/home/user/lists"
                                << "/home/user/lists";
        QTest::newRow("final separator") << "/home/user/lists/"
                                         << "/home/user/lists";
        QTest::newRow("several separators") << "/home/user//"
                                            << "/home/user";
        QTest::newRow("root") << "/"
                              << "/";
        QTest::newRow("non-ASCII")
            << QString::fromUtf8("/tmp/caf\xc3\xa9") << QString::fromUtf8("/tmp/caf\xc3\xa9");
        QTest::newRow("no full path") << "relative/folder" << QString();
    }
    void resultForm() {
        QFETCH(QString, chosen);
        QFETCH(QString, expected);
        PickerPlatform platform;
        platform.answer = chosen;
        const QString result = PickFolder(platform, nullptr, "Please select folder:", "/tmp");
        QCOMPARE(result, expected);
        QVERIFY(!result.isNull() || expected.isEmpty());
        QCOMPARE(platform.calls, 1);
    }

    void requestPassesThroughUnchanged_data() {
        QTest::addColumn<QString>("start");
        QTest::newRow("last folder") << "/tmp/last";
        QTest::newRow("empty") << "";
        QTest::newRow("gone") << "/no/such/folder/any/more";
    }
    void requestPassesThroughUnchanged() {
        QFETCH(QString, start);
        PickerPlatform platform;
        platform.answer = "/tmp";
        QWidget owner;
        QCOMPARE(PickFolder(platform, &owner, "Please select folder:", start), QString("/tmp"));
        QCOMPARE(platform.parent, &owner);
        QCOMPARE(platform.prompt, QString("Please select folder:"));
        QCOMPARE(platform.start, start);
    }
};

}  // namespace pellatrix

QTEST_MAIN(pellatrix::FolderPickerTest)
#include "FolderPickerTest.moc"
