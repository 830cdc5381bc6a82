// Adds every "*.txt" file of a large tree through the real window (Form1, PushButton3 and the
// input list) on the offscreen platform, and times it against `find DIR -type f -name '*.txt'`
// in the same run. While the add runs, a 10 ms timer counts event-loop turns, so the longest gap
// between two turns shows how responsive the window stays. A second part appends growing batches
// to the list to show that adding entries stays linear.
//
// Usage: pellatrix_window_bench TREE [REPEATS]   (TREE as built by bench/scan/make_tree.sh)

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/Form1.h"
#include "inputlist/InputList.h"
#include "shell/Platform.h"
#include "shell/SettingsStore.h"

namespace {

using pellatrix::Platform;

// Answers the extension prompt and the folder picker as a user would; nothing else is expected.
class ScriptedPlatform : public Platform {
public:
    explicit ScriptedPlatform(QString folder) : m_folder(std::move(folder)) {}
    void information(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "unexpected box: %s\n", qPrintable(text));
    }
    bool question(QWidget*, const QString&, const QString&) override { return false; }
    void warning(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "error report: %s\n", qPrintable(text));
    }
    QString inputText(QWidget*, const QString&, const QString&, const QString&) override {
        return QStringLiteral("txt");
    }
    QString openFiles(QWidget*, const QString&, const QString&) override { return {}; }
    QString pickFolder(QWidget*, const QString&, const QString&) override { return m_folder; }
    void openDocument(const QString&) override {}
    void openHomePage(const QString&) override {}
    int drawOneToHundred() override { return 1; }

private:
    QString m_folder;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Wall time of find over the tree, and the number of files it names.
double timeFind(const QString& tree, qint64& count) {
    QElapsedTimer clock;
    clock.start();
    QProcess find;
    find.start(QStringLiteral("find"), {tree, "-type", "f", "-name", "*.txt"});
    find.waitForFinished(-1);
    const QByteArray out = find.readAllStandardOutput();
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    count = out.count('\n');
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TREE [REPEATS]\n", argv[0]);
        return 2;
    }
    const QString tree = QString::fromLocal8Bit(argv[1]);
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;

    QTemporaryDir settingsDir;
    pellatrix::SettingsStore settings(settingsDir.filePath("Pellatrix.conf"));
    ScriptedPlatform platform(tree);
    pellatrix::Form1 window(platform, settings, QCoreApplication::applicationDirPath());
    window.show();
    auto* list = window.findChild<pellatrix::InputList*>(QStringLiteral("ListView1"));
    auto* button = window.findChild<QPushButton*>(QStringLiteral("PushButton3"));
    if (list == nullptr || button == nullptr) {
        std::fprintf(stderr, "the window has no ListView1 or PushButton3\n");
        return 1;
    }

    qint64 expected = 0;
    timeFind(tree, expected);  // warms the directory cache for both sides
    std::vector<double> findMs, addMs, maxGapMs;
    std::vector<int> turns;
    for (int r = 0; r < repeats; ++r) {
        findMs.push_back(timeFind(tree, expected));

        list->clearEntries();
        QElapsedTimer sinceTurn;
        double maxGap = 0;
        int turnCount = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            maxGap = std::max(maxGap, static_cast<double>(sinceTurn.nsecsElapsed()) / 1e6);
            sinceTurn.restart();
            ++turnCount;
        });
        QElapsedTimer clock;
        clock.start();
        sinceTurn.start();
        ticker.start();
        button->click();
        ticker.stop();
        addMs.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        maxGap = std::max(maxGap, static_cast<double>(sinceTurn.nsecsElapsed()) / 1e6);
        maxGapMs.push_back(maxGap);
        turns.push_back(turnCount);
        if (list->entryCount() != expected) {
            std::fprintf(stderr, "the window added %d entries, find names %lld files\n",
                         list->entryCount(), static_cast<long long>(expected));
            return 1;
        }
    }
    const double find = median(findMs);
    const double add = median(addMs);
    std::printf("folder add through the window: %lld files in %.0f ms (median of %d)\n",
                static_cast<long long>(expected), add, repeats);
    std::printf("find baseline:                  %.0f ms  -> ratio %.1f x find\n", find,
                add / find);
    std::printf("responsiveness: %d event-loop turns during the add, longest gap %.0f ms\n",
                turns[turns.size() / 2], median(maxGapMs));

    // Appending: a batch twice as large should take about twice as long (median of 3 each).
    double previous = 0;
    for (int n : {50000, 100000, 200000}) {
        QStringList texts;
        for (int i = 0; i < n; ++i) {
            texts << QStringLiteral("/tmp/test/folder%1/list%2.txt").arg(i / 10).arg(i % 10);
        }
        std::vector<double> times;
        for (int r = 0; r < 3; ++r) {
            list->clearEntries();
            QCoreApplication::processEvents();
            QElapsedTimer clock;
            clock.start();
            list->appendEntries(texts);
            QCoreApplication::processEvents();  // the view lays the rows out
            times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        const double ms = median(times);
        std::printf(
            "append %6d entries: %6.1f ms%s\n", n, ms,
            previous > 0
                ? qPrintable(
                      QStringLiteral("  (x%1 for twice the entries)").arg(ms / previous, 0, 'f', 1))
                : "");
        previous = ms;
    }
    return 0;
}
