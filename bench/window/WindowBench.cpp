// The real window (MainWindow) on the offscreen platform, measured against baselines taken in the
// same run. One part per process, so each memory figure is this part's own:
//
//   pellatrix_window_bench add TREE [REPEATS]
//       adds every "*.txt" file of TREE (bench/scan/make_tree.sh) with PushButton3, timed against
//       `find TREE -type f -name '*.txt'`; a 10 ms timer counts event-loop turns, so the longest
//       gap between two turns shows how long the window could not react. Then growing batches are
//       appended to show that appending stays linear.
//   pellatrix_window_bench memory TREE
//       the process's resident memory at start, then one folder add of every "*.txt" file of TREE
//       (bench/window/make_big_tree.sh: 1,000,000 files) with PushButton3 and the folder picker,
//       then the peak resident memory above start against the entries' path bytes; a 10 ms timer
//       records how many entries the list shows as the add goes.
//   pellatrix_window_bench ops [ENTRIES]
//       with ENTRIES in the list: one append, Delete at the top and in the middle, a drag step,
//       Clear List, each with the view's own update, through the real list.
//   pellatrix_window_bench creation FLOOR ROOT [FILES] [REPEATS]
//       a creation run started with PushButton2 over one list file of FILES lines (fixed text,
//       100 folders), from the click to "Done.", against the floor program FLOOR
//       (bench/creation_floor.c --list) reading the same list and making the same files,
//       alternating, each on a fresh output tree under ROOT.

#include <sys/resource.h>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/RunMenu.h"
#include "inputlist/InputList.h"
#include "shell/Platform.h"
#include "shell/SettingsStore.h"

namespace {

using pellatrix::Platform;

// Answers the extension prompt and the folder picker as a user would, takes "Done." quietly, and
// counts every other box as a failure of the benchmark.
class ScriptedPlatform : public Platform {
public:
    explicit ScriptedPlatform(QString folder) : m_folder(std::move(folder)) {}
    void information(QWidget*, const QString&, const QString& text) override {
        // "Done." and, under it, what the run did.
        if (text == QStringLiteral("Done.") || text.startsWith(QStringLiteral("Done.\r"))) {
            ++done;
            return;
        }
        ++unexpected;
        std::fprintf(stderr, "unexpected box: %s\n", qPrintable(text));
    }
    bool question(QWidget*, const QString&, const QString&) override { return false; }
    void warning(QWidget*, const QString&, const QString& text) override {
        ++unexpected;
        std::fprintf(stderr, "error report: %s\n", qPrintable(text));
    }
    void notice(QWidget*, const QString&, const QString&) override {}
    QString inputText(QWidget*, const QString&, const QString&, const QString&) override {
        return QStringLiteral("txt");
    }
    QString openFiles(QWidget*, const QString&, const QString&) override { return {}; }
    QString pickFolder(QWidget*, const QString&, const QString&) override { return m_folder; }
    void openDocument(const QString&) override {}
    void openHomePage(const QString&) override {}
    int drawOneToHundred() override { return 1; }
    int runDialog(QDialog& dialog) override {
        if (onDialog) {
            onDialog(dialog);
        }
        return QDialog::Rejected;
    }

    std::function<void(QDialog&)> onDialog;
    int done = 0;
    int unexpected = 0;

private:
    QString m_folder;
};

// The real window with a settings store of its own, shown and painted once.
struct Bench {
    explicit Bench(const QString& folder = QString())
        : settings(settingsDir.filePath("Pellatrix.conf")),
          platform(folder),
          window(platform, settings, QCoreApplication::applicationDirPath()) {
        window.show();
        QCoreApplication::processEvents();
        list = window.findChild<pellatrix::InputList*>(QStringLiteral("ListView1"));
    }
    QPushButton* button(const char* name) {
        return window.findChild<QPushButton*>(QString::fromLatin1(name));
    }

    QTemporaryDir settingsDir;
    pellatrix::SettingsStore settings;
    ScriptedPlatform platform;
    pellatrix::MainWindow window;
    pellatrix::InputList* list = nullptr;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double msSince(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

// Processor time (user + system) in ms of this process, or of its waited-for children.
double cpuMs(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3) +
           (static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3);
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
long statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key)) {
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
        }
    }
    return -1;
}

// Paths shaped like those of a scanned home folder: 10 files a folder, 100 folders a project.
std::string samplePath(int i) {
    char path[96];
    std::snprintf(path, sizeof path, "/home/user/lists/project%04d/part%02d/list%07d.txt", i / 1000,
                  i / 10 % 100, i);
    return path;
}

// Wall time of find over the tree, its processor time, and the number of files it names.
double timeFind(const QString& tree, qint64& count, double* cpu = nullptr) {
    const double cpuBefore = cpuMs(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    QProcess find;
    find.start(QStringLiteral("find"), {tree, "-type", "f", "-name", "*.txt"});
    find.waitForFinished(-1);
    const QByteArray out = find.readAllStandardOutput();
    const double ms = msSince(clock);
    if (cpu != nullptr) {
        *cpu = cpuMs(RUSAGE_CHILDREN) - cpuBefore;
    }
    count = out.count('\n');
    return ms;
}

int folderAdd(const QString& tree, int repeats) {
    Bench b(tree);
    QPushButton* button = b.button("PushButton3");
    qint64 expected = 0;
    timeFind(tree, expected);  // warms the directory cache for both sides
    std::vector<double> findMs, addMs, maxGapMs, findCpu, addCpu;
    std::vector<int> turns;
    for (int r = 0; r < repeats; ++r) {
        double cpu = 0;
        findMs.push_back(timeFind(tree, expected, &cpu));
        findCpu.push_back(cpu);

        b.list->clearEntries();
        QElapsedTimer sinceTurn;
        double maxGap = 0;
        int turnCount = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            maxGap = std::max(maxGap, msSince(sinceTurn));
            sinceTurn.restart();
            ++turnCount;
        });
        const double cpuBefore = cpuMs(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        sinceTurn.start();
        ticker.start();
        button->click();
        ticker.stop();
        addMs.push_back(msSince(clock));
        addCpu.push_back(cpuMs(RUSAGE_SELF) - cpuBefore);
        maxGapMs.push_back(std::max(maxGap, msSince(sinceTurn)));
        turns.push_back(turnCount);
        if (b.list->entryCount() != expected) {
            std::fprintf(stderr, "the window added %d entries, find names %lld files\n",
                         b.list->entryCount(), static_cast<long long>(expected));
            return 1;
        }
    }
    const double find = median(findMs);
    const double add = median(addMs);
    std::printf("folder add through the window: %lld files in %.0f ms (median of %d)\n",
                static_cast<long long>(expected), add, repeats);
    std::printf("find baseline:                  %.0f ms  -> ratio %.2f x find (goal 1.6)\n", find,
                add / find);
    std::printf("processor time: add %.0f ms, find %.0f ms -> ratio %.2f\n", median(addCpu),
                median(findCpu), median(addCpu) / median(findCpu));
    std::sort(turns.begin(), turns.end());
    std::printf(
        "responsiveness: %d event-loop turns during the add, longest gap %.0f ms "
        "(median), %.0f ms (worst of %d; goal < 100)\n",
        turns[turns.size() / 2], median(maxGapMs),
        *std::max_element(maxGapMs.begin(), maxGapMs.end()), repeats);

    // Appending: a batch twice as large should take about twice as long (median of 3 each).
    double previous = 0;
    for (int n : {50000, 100000, 200000}) {
        pellatrix::PathBatch batch;
        for (int i = 0; i < n; ++i) {
            batch.add(samplePath(i));
        }
        std::vector<double> times;
        for (int r = 0; r < 3; ++r) {
            b.list->clearEntries();
            QCoreApplication::processEvents();
            QElapsedTimer clock;
            clock.start();
            b.list->appendPaths(batch);
            QCoreApplication::processEvents();  // the view lays the rows out
            times.push_back(msSince(clock));
        }
        const double ms = median(times);
        std::printf("append %6d entries: %6.1f ms", n, ms);
        if (previous > 0) {
            std::printf("  (x%.1f for twice the entries)", ms / previous);
        }
        std::printf("\n");
        previous = ms;
    }
    return 0;
}

// Appends `entries` paths in batches of 10,000, as a folder add hands them over, letting the
// window repaint after each; answers the number of path bytes.
long long fill(Bench& b, int entries) {
    long long bytes = 0;
    pellatrix::PathBatch batch;
    for (int i = 0; i < entries; ++i) {
        const std::string path = samplePath(i);
        bytes += static_cast<long long>(path.size());
        batch.add(path);
        if (batch.size() == 10000 || i + 1 == entries) {
            b.list->appendPaths(batch);
            batch.clear();
            QCoreApplication::processEvents();
        }
    }
    // The view shows the last rows, as after an add that scrolled along.
    b.list->scrollToBottom();
    QCoreApplication::processEvents();
    return bytes;
}

int memory(const QString& tree) {
    Bench b(tree);
    QPushButton* button = b.button("PushButton3");
    qint64 expected = 0;
    timeFind(tree, expected);  // the directory cache warm, as for the timed add
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
    }
    // The peak from here on: start-up's own peak (fonts, the first paint) is not the add's.
    {
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (clearRefs.open(QIODevice::WriteOnly)) {
            clearRefs.write("5");
        }
    }
    const long startRss = statusKiB("VmRSS");
    // The list as the user sees it: the entries shown at each event-loop turn during the add.
    std::vector<std::pair<double, int>> shown;
    QElapsedTimer clock;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { shown.emplace_back(msSince(clock), b.list->entryCount()); });
    clock.start();
    ticker.start();
    button->click();
    ticker.stop();
    const double ms = msSince(clock);
    const long rss = statusKiB("VmRSS");
    const long peak = statusKiB("VmHWM");
    long long bytes = 0;
    for (int i = 1; i <= b.list->entryCount(); ++i) {
        bytes += static_cast<long long>(b.list->entryBytesView(i).size());
    }
    if (b.list->entryCount() != expected || b.platform.unexpected != 0) {
        std::fprintf(stderr, "the window added %d entries, find names %lld files\n",
                     b.list->entryCount(), static_cast<long long>(expected));
        return 1;
    }
    const double ratio = static_cast<double>(peak - startRss) * 1024 / static_cast<double>(bytes);
    std::printf(
        "memory: folder add of %d entries through the window in %.0f ms, %lld KiB of path bytes "
        "(%.1f bytes a path)\n",
        b.list->entryCount(), ms, bytes / 1024,
        static_cast<double>(bytes) / static_cast<double>(expected));
    std::printf("memory: resident at start %ld KiB, after %ld KiB, peak %ld KiB\n", startRss, rss,
                peak);
    std::printf("memory: peak above start %ld KiB = %.2f x the path bytes (goal 1.6): %s\n",
                peak - startRss, ratio, ratio <= 1.6 ? "met" : "NOT met");
    // How the list filled: the first entry shown, and the share shown at each quarter of the add.
    const auto firstShown =
        std::find_if(shown.begin(), shown.end(), [](const auto& turn) { return turn.second > 0; });
    std::printf("growth: first entries shown after %.0f ms (%.0f%% of the add);",
                firstShown != shown.end() ? firstShown->first : ms,
                100 * (firstShown != shown.end() ? firstShown->first : ms) / ms);
    for (int quarter = 1; quarter <= 3; ++quarter) {
        int count = 0;
        for (const auto& [at, entries] : shown) {
            if (at <= ms * quarter / 4) {
                count = entries;
            }
        }
        std::printf(" at %d%%: %.0f%%", quarter * 25,
                    100.0 * count / static_cast<double>(expected));
    }
    std::printf(" of the entries\n");
    return 0;
}

// Median time of `action` followed by the view's own update, over `repeats` runs.
template <class F>
double timeOp(int repeats, F&& action) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        QElapsedTimer clock;
        clock.start();
        action();
        QCoreApplication::processEvents();
        times.push_back(msSince(clock));
    }
    return median(times);
}

int operations(int entries) {
    Bench b;
    fill(b, entries);
    pellatrix::InputList* list = b.list;
    QWidget* viewport = list->viewport();
    const int repeats = 9;
    auto rowCentre = [&](int position) {
        return list->visualRect(list->model()->index(position - 1, 0)).center();
    };
    auto select = [&](int position) {
        list->setCurrentIndex(list->model()->index(position - 1, 0));
    };
    std::printf("operations with %d entries (median of %d, each with the view's update):\n",
                list->entryCount(), repeats);
    const double append = timeOp(repeats, [&] { list->appendEntryBytes(samplePath(7)); });
    std::printf("  append one entry:           %7.2f ms\n", append);
    const double top = timeOp(repeats, [&] {
        select(1);
        QTest::keyClick(list, Qt::Key_Delete);
    });
    std::printf("  Delete the first entry:     %7.2f ms\n", top);
    const double middle = timeOp(repeats, [&] {
        select(list->entryCount() / 2);
        QTest::keyClick(list, Qt::Key_Delete);
    });
    std::printf("  Delete a middle entry:      %7.2f ms\n", middle);
    // A drag step: press on an entry in view and move onto its neighbour (one swap).
    list->scrollTo(list->model()->index(entries / 2, 0), QAbstractItemView::PositionAtTop);
    QCoreApplication::processEvents();
    const QPoint from = rowCentre(entries / 2 + 2);
    const QPoint to = rowCentre(entries / 2 + 3);
    const double drag = timeOp(repeats, [&] {
        QTest::mousePress(viewport, Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, to, viewport->mapToGlobal(to), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, to);
    });
    std::printf("  drag step (press, move onto the next entry, release): %7.2f ms\n", drag);
    // Loading the samples tests each sample's path against every entry.
    const int beforeSamples = list->entryCount();
    const double samples = timeOp(1, [&] { b.button("PushButton7")->click(); });
    std::printf("  Load Sample/Example Files (%d added): %7.2f ms\n",
                list->entryCount() - beforeSamples, samples);
    const int before = list->entryCount();
    const double clear = timeOp(1, [&] { b.button("PushButton6")->click(); });
    std::printf("  Clear List of %d entries:  %7.2f ms\n", before, clear);
    return list->entryCount() == 0 ? 0 : 1;
}

// One run of a child program over a fresh output tree; answers its wall time and adds its
// processor time to `cpu`.
double timeChild(const QString& program, const QStringList& args, const QString& out,
                 std::vector<double>& cpu) {
    QProcess::execute(QStringLiteral("rm"), {"-rf", out});
    const double cpuBefore = cpuMs(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    QProcess child;
    child.setStandardOutputFile(QProcess::nullDevice());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, args);
    child.waitForFinished(-1);
    const int status = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    const double ms = msSince(clock);
    cpu.push_back(cpuMs(RUSAGE_CHILDREN) - cpuBefore);
    if (status != 0) {
        std::fprintf(stderr, "%s failed (%d)\n", qPrintable(program), status);
        std::exit(1);
    }
    return ms;
}

int creation(const QString& floor, const QString& root, int files, int repeats) {
    const QString out = root + QStringLiteral("/out");
    QProcess::execute(QStringLiteral("mkdir"), {"-p", root});
    // The list names the floor's files: file i in folder i mod 100.
    const QString listPath = root + QStringLiteral("/list.txt");
    {
        QFile list(listPath);
        if (!list.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(listPath));
            return 1;
        }
        QByteArray text;
        for (int i = 0; i < files; ++i) {
            text += QStringLiteral("%1/d%2/f%3.txt\r\n")
                        .arg(out)
                        .arg(i % 100, 3, 10, QLatin1Char('0'))
                        .arg(i, 7, 10, QLatin1Char('0'))
                        .toLocal8Bit();
        }
        list.write(text);
    }
    Bench b;
    const QString text = QStringLiteral("fixed text");
    b.window.findChild<QPlainTextEdit*>(QStringLiteral("Text1"))->setPlainText(text);
    b.list->appendEntry(listPath);
    QPushButton* start = b.button("PushButton2");
    // The command-line program beside the floor, for the engine's own share, when built.
    const QString cli = QFileInfo(floor).dir().filePath(QStringLiteral("pellatrix-cli"));
    const bool withCli = QFileInfo(cli).isExecutable();

    std::vector<double> floorMs, windowMs, cliMs, floorCpu, windowCpu, cliCpu;
    std::vector<double> warmCpu;
    timeChild(floor, {"--list", listPath, text}, out, warmCpu);  // warm-up
    auto runWindow = [&] {
        QProcess::execute(QStringLiteral("rm"), {"-rf", out});
        const int doneBefore = b.platform.done;
        const double cpuBefore = cpuMs(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        start->click();  // returns once "Done." was answered
        windowMs.push_back(msSince(clock));
        windowCpu.push_back(cpuMs(RUSAGE_SELF) - cpuBefore);
        if (b.platform.done != doneBefore + 1 || b.platform.unexpected != 0) {
            std::fprintf(stderr, "the run did not end with \"Done.\" alone\n");
            std::exit(1);
        }
    };
    auto runFloor = [&] {
        floorMs.push_back(timeChild(floor, {"--list", listPath, text}, out, floorCpu));
    };
    auto runCli = [&] {
        if (withCli) {
            cliMs.push_back(timeChild(cli, {"--text", text, listPath}, out, cliCpu));
        }
    };
    for (int r = 0; r < repeats; ++r) {
        // A turning order, so load from elsewhere favours none of them.
        switch (r % 3) {
            case 0:
                runWindow();
                runFloor();
                runCli();
                break;
            case 1:
                runFloor();
                runCli();
                runWindow();
                break;
            default:
                runCli();
                runWindow();
                runFloor();
                break;
        }
    }
    QProcess::execute(QStringLiteral("rm"), {"-rf", out});
    const double f = median(floorMs);
    const double w = median(windowMs);
    std::printf(
        "creation run from the window: %d files in %.0f ms, processor %.0f ms (median of "
        "%d)\n",
        files, w, median(windowCpu), repeats);
    // The goal is the local disk's; elsewhere (WINDOW_BENCH_NO_GOAL) the floor goes one file at
    // a time and the run does not, so there is no goal to hold it to.
    const bool withGoal = qEnvironmentVariableIsEmpty("WINDOW_BENCH_NO_GOAL");
    std::printf(
        "creation floor (same list):   %.0f ms, processor %.0f ms -> ratio %.2f x floor "
        "%sprocessor %.2f x\n",
        f, median(floorCpu), w / f, withGoal ? "(goal 1.3), " : "",
        median(windowCpu) / median(floorCpu));
    if (withCli) {
        std::printf(
            "pellatrix-cli (same list):    %.0f ms, processor %.0f ms -> ratio %.2f x floor, "
            "processor %.2f x\n",
            median(cliMs), median(cliCpu), median(cliMs) / f, median(cliCpu) / median(floorCpu));
    }
    return 0;
}

// Preview Run... over one list of LINES lines (new files in 1,000 existing folders): the time
// until the dialog is there (reading, one look-up per file, the model filled), until it is shown
// and painted, and for End, Home and a page down in its list, each with the repaint.
int preview(const QString& root, int lines) {
    QDir().mkpath(root);
    const QString listPath = root + QStringLiteral("/list.txt");
    {
        QFile list(listPath);
        if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return 1;
        }
        QByteArray text;
        for (int i = 0; i < lines; ++i) {
            const QString folder =
                QStringLiteral("%1/out/d%2").arg(root).arg(i % 1000, 3, 10, QLatin1Char('0'));
            if (i < 1000) {
                QDir().mkpath(folder);
            }
            text += (folder + QStringLiteral("/f%1.txt>line %1\n").arg(i, 7, 10, QLatin1Char('0')))
                        .toLocal8Bit();
            if (text.size() > (1 << 20)) {
                list.write(text);
                text.clear();
            }
        }
        list.write(text);
    }
    Bench b;
    b.list->appendEntry(listPath);
    QElapsedTimer clock;
    double toDialog = 0, shown = 0, end = 0, home = 0, pageDown = 0;
    int rows = 0;
    b.platform.onDialog = [&](QDialog& dialog) {
        toDialog = msSince(clock);
        auto* view = dialog.findChild<QListView*>(QStringLiteral("PreviewSteps"));
        rows = view->model()->rowCount();
        QElapsedTimer step;
        step.start();
        dialog.show();
        dialog.repaint();
        QCoreApplication::processEvents();
        shown = msSince(step);
        const auto key = [&](Qt::Key k, double& ms) {
            QElapsedTimer t;
            t.start();
            QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
            QCoreApplication::sendEvent(view, &press);
            view->viewport()->repaint();
            QCoreApplication::processEvents();
            ms = msSince(t);
        };
        key(Qt::Key_End, end);
        key(Qt::Key_Home, home);
        key(Qt::Key_PageDown, pageDown);
        dialog.hide();
    };
    clock.start();
    b.window.runMenu()->previewRun();
    std::printf(
        "preview of %d lines: dialog after %.0f ms (%d rows), shown %.1f ms, End %.1f ms, "
        "Home %.1f ms, Page Down %.1f ms, peak RSS %ld KiB\n",
        lines, toDialog, rows, shown, end, home, pageDown, statusKiB("VmHWM"));
    QDir(root).removeRecursively();
    return rows == lines ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    auto arg = [&](int i, int fallback) {
        return argc > i ? std::max(1, atoi(argv[i])) : fallback;
    };
    if (mode == "add" && argc > 2) {
        return folderAdd(QString::fromLocal8Bit(argv[2]), arg(3, 3));
    }
    if (mode == "memory" && argc > 2) {
        return memory(QString::fromLocal8Bit(argv[2]));
    }
    if (mode == "ops") {
        return operations(arg(2, 1000000));
    }
    if (mode == "preview" && argc > 2) {
        return preview(QString::fromLocal8Bit(argv[2]), arg(3, 1000000));
    }
    if (mode == "creation" && argc > 3) {
        return creation(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                        arg(4, 100000), arg(5, 5));
    }
    std::fprintf(stderr,
                 "usage: %s add TREE [REPEATS] | memory TREE | ops [ENTRIES] |\n"
                 "       %s creation FLOOR ROOT [FILES] [REPEATS] | preview ROOT [LINES]\n",
                 argv[0], argv[0]);
    return 2;
}
