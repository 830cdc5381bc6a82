#include "app/RunMenu.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <optional>

#include "app/RunsDialog.h"
#include "engine/journal/RunJournal.h"
#include "shell/Platform.h"

namespace pellatrix {

namespace {

// A count as the user's locale writes numbers ("1,000,000 files" in English).
QString plural(std::size_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(QLocale().toString(static_cast<qulonglong>(n)),
                                       QLatin1String(n == 1 ? one : many));
}

// The most a box shows of the files an undo left alone; the rest are counted.
constexpr int kLeftAloneShown = 15;

// `count` lines as a box shows them: the first kLeftAloneShown (`line` gives each), then how
// many more.
QString shownLines(std::size_t count, const std::function<QString(std::size_t)>& line) {
    QStringList shown;
    for (std::size_t i = 0; i < count && i < static_cast<std::size_t>(kLeftAloneShown); ++i) {
        shown << line(i);
    }
    QString text = shown.join(QLatin1Char('\n'));
    if (count > static_cast<std::size_t>(kLeftAloneShown)) {
        text += QStringLiteral("\n... and %1 more")
                    .arg(QLocale().toString(static_cast<qulonglong>(count - kLeftAloneShown)));
    }
    return text;
}

// Where the failed lines of a run over `lists` are offered to be saved: beside its first list.
QString failedListProposal(const std::vector<std::string>& lists) {
    if (lists.empty()) {
        return QStringLiteral("failed-lines.txt");
    }
    const QFileInfo first(QString::fromLocal8Bit(lists.front()));
    return first.absoluteDir().filePath(first.completeBaseName() + QStringLiteral("-failed.txt"));
}

}  // namespace

void PreviewModel::append(PlannedAction action, std::string_view path, std::string_view why) {
    m_bytes += PlannedActionWord(action);
    m_bytes += ' ';
    m_bytes.append(path);
    if (!why.empty()) {
        m_bytes += ": ";
        m_bytes.append(why);
    }
    m_ends.push_back(m_bytes.size());
}

int PreviewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_ends.size());
}

QVariant PreviewModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        (role != Qt::DisplayRole && role != Qt::AccessibleTextRole && role != Qt::ToolTipRole)) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    const std::size_t begin = row == 0 ? 0 : m_ends[row - 1];
    return QString::fromLocal8Bit(m_bytes.data() + begin,
                                  static_cast<qsizetype>(m_ends[row] - begin));
}

QString RunOutcomeText(std::size_t created, std::size_t replaced, std::size_t folders,
                       std::size_t failures) {
    return plural(created, "file", "files") + QStringLiteral(" created, ") +
           plural(replaced, "file", "files") + QStringLiteral(" replaced, ") +
           plural(folders, "folder", "folders") + QStringLiteral(" made, ") +
           plural(failures, "failure", "failures");
}

QString PreviewDialog::countsText(const PreviewCounts& c) {
    return plural(c.create, "file", "files") + QStringLiteral(" to create, ") +
           plural(c.replace, "file", "files") + QStringLiteral(" to replace, ") +
           plural(c.folders, "folder", "folders") + QStringLiteral(" to make, ") +
           plural(c.failures, "foreseen failure", "foreseen failures");
}

PreviewDialog::PreviewDialog(QWidget* parent, const PreviewCounts& counts, PreviewModel* model)
    : QDialog(parent) {
    setObjectName(QStringLiteral("PreviewDialog"));
    setWindowTitle(QStringLiteral("Preview Run"));
    const QString summary = countsText(counts);
    setAccessibleDescription(summary);

    m_counts = new QLabel(summary, this);
    m_counts->setObjectName(QStringLiteral("PreviewCounts"));
    m_counts->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    m_steps = new QListView(this);
    m_steps->setObjectName(QStringLiteral("PreviewSteps"));
    model->setParent(m_steps);
    m_steps->setModel(model);
    // Rows of one height: the view then lays out a million lines without asking each one.
    m_steps->setUniformItemSizes(true);
    m_steps->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_steps->setSelectionMode(QAbstractItemView::SingleSelection);
    m_steps->setAccessibleName(QStringLiteral("Planned steps"));
    m_steps->setAccessibleDescription(summary);
    if (model->rowCount() > 0) {
        m_steps->setCurrentIndex(model->index(0));
    }
    m_counts->setBuddy(m_steps);

    auto* buttons = new QDialogButtonBox(this);
    m_start =
        buttons->addButton(QStringLiteral("Start Creating Files"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_counts);
    layout->addWidget(m_steps, 1);
    layout->addWidget(buttons);
    resize(640, 420);
    m_steps->setFocus(Qt::OtherFocusReason);
}

RunMenu::RunMenu(Window window) : QObject(window.window), m_window(std::move(window)) {
    m_menu = new QMenu(m_window.window);
    m_menu->setObjectName(QStringLiteral("RunMenu"));
    m_preview = m_menu->addAction(QStringLiteral("Preview Run..."), this, &RunMenu::previewRun);
    m_undo = m_menu->addAction(QStringLiteral("Undo Last Run..."), this, &RunMenu::undoLastRun);
    m_runs = m_menu->addAction(QStringLiteral("Runs..."), this, &RunMenu::showRuns);
    m_saveFailed = m_menu->addAction(QStringLiteral("Save Failed Lines..."), this,
                                     &RunMenu::saveLastFailedLines);
    m_saveFailed->setEnabled(false);  // until a run of the window had failures
    if (m_window.creationUi != nullptr) {
        m_window.creationUi->setRunListener(this);
    }
    m_window.window->installEventFilter(this);
    m_listObject = m_window.list;
    m_viewportObject = m_window.list->viewport();
    m_window.list->installEventFilter(this);
    m_window.list->viewport()->installEventFilter(this);
}

bool RunMenu::eventFilter(QObject* watched, QEvent* event) {
    const bool onList = watched == m_listObject || watched == m_viewportObject;
    QAbstractScrollArea* list = m_window.list;
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier &&
            (onList || watched == m_window.window)) {
            QWidget* at = onList ? list : m_window.window;
            popup(at->mapToGlobal(at->rect().center()));
            return true;
        }
        return false;
    }
    if (event->type() != QEvent::ContextMenu) {
        return false;
    }
    auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    if (onList) {
        popup(menuEvent->globalPos());
        return true;
    }
    // On the window: its background and frames; a button or the text box keeps its own.
    if (watched == m_window.window && (menuEvent->reason() == QContextMenuEvent::Keyboard ||
                                       m_window.isBackground(menuEvent->pos()))) {
        popup(menuEvent->globalPos());
        return true;
    }
    return false;
}

void RunMenu::popup(const QPoint& globalPos) {
    m_menu->popup(globalPos);
}

void RunMenu::inform(const QString& text) {
    m_window.platform->information(m_window.window, m_window.title(), text);
}

void RunMenu::previewRun() {
    if (m_window.busy()) {
        inform(QStringLiteral("A run is under way. Preview the next one when it has ended."));
        return;
    }
    if (m_window.prepareRun && !m_window.prepareRun()) {
        return;
    }
    auto model = std::make_unique<PreviewModel>();
    m_window.showBusy(true);
    std::string noted;
    const std::optional<PreviewCounts> counts = m_window.run->preview(
        [&](PlannedAction action, std::string_view path, std::string_view why) {
            // Where its content comes from, after the path, when not its text as it stands.
            const std::string& note = m_window.run->plannedNote();
            if (note.empty() ||
                (action != PlannedAction::Create && action != PlannedAction::Replace)) {
                model->append(action, path, why);
                return;
            }
            noted.assign(path).append(" (").append(note).append(")");
            model->append(action, noted, why);
        });
    m_window.showBusy(false);
    if (!counts) {
        return;  // a run started meanwhile
    }
    if (counts->noFilesAdded) {
        inform(QStringLiteral("No files added."));
        return;
    }
    PreviewDialog dialog(m_window.window, *counts, model.release());
    if (m_window.platform->runDialog(dialog) == QDialog::Accepted) {
        m_window.startRun();
    }
}

void RunMenu::undoLastRun() {
    if (m_window.busy()) {
        inform(QStringLiteral("A run is under way. Undo it when it has ended."));
        return;
    }
    RunSummary last;
    try {
        last = NewestRunToUndo(*m_window.fileSystem, m_window.runsFolder);
    } catch (const UntrustedJournal& e) {
        inform(QStringLiteral("The last run cannot be undone: %1. Nothing was changed.")
                   .arg(QString::fromLocal8Bit(e.what())));
        return;
    } catch (const JournalError&) {
        inform(QStringLiteral("There is no run to undo."));
        return;
    }
    undoRun(last, QStringLiteral("The last run"));
}

bool RunMenu::undoRun(const RunSummary& run, const QString& which) {
    if (run.state == RunSummary::State::Damaged) {
        inform(QStringLiteral("%1 cannot be undone: %2. Nothing was changed.")
                   .arg(which, QString::fromLocal8Bit(run.damage)));
        return false;
    }
    if (run.state == RunSummary::State::Busy) {
        inform(QStringLiteral("%1 is still writing files. Undo it when it has ended.").arg(which));
        return false;
    }
    QString question =
        QStringLiteral("Undo the run of %1?\n\nIt created %2 and %3, and replaced %4.")
            .arg(RunsDialog::startText(run.id), plural(run.created, "file", "files"),
                 plural(run.folders, "folder", "folders"), plural(run.replaced, "file", "files"));
    if (run.notKept != 0) {
        question += QStringLiteral("\nThe old content of %1 was not kept; they stay as they are.")
                        .arg(plural(run.notKept, "file", "files"));
    }
    question += QStringLiteral("\nFiles changed since the run are left as they are.");
    if (!m_window.platform->question(m_window.window, m_window.title(), question)) {
        return false;
    }
    UndoReport report;
    m_window.showBusy(true);
    try {
        report = UndoRun(*m_window.fileSystem, run.folder);
    } catch (const JournalError& e) {
        m_window.showBusy(false);
        inform(QStringLiteral("%1 cannot be undone: %2. Nothing was changed.")
                   .arg(which, QString::fromLocal8Bit(e.what())));
        return false;
    }
    m_window.showBusy(false);
    QString text =
        QStringLiteral("The run was undone: %1 removed, %2 put back, %3 removed.")
            .arg(plural(report.removed, "file", "files"), plural(report.restored, "file", "files"),
                 plural(report.foldersRemoved, "folder", "folders"));
    if (!report.leftAlone.empty()) {
        text += QStringLiteral("\n\nLeft as they are (%1):\n")
                    .arg(QLocale().toString(static_cast<qulonglong>(report.leftAlone.size()))) +
                shownLines(report.leftAlone.size(), [&](std::size_t i) {
                    return QString::fromLocal8Bit(report.leftAlone[i]);
                });
    }
    inform(text);
    return true;
}

std::vector<KeptRun> RunMenu::keptRuns() {
    std::vector<KeptRun> runs;
    for (RunSummary& summary : ListRuns(*m_window.fileSystem, m_window.runsFolder)) {
        KeptRun run;
        run.kept = KeptRunHead(summary.folder);
        // As the companion's listing tells it; counts of an earlier version tell no size, and
        // the run's own files stand for it then.
        run.size = summary.bytes != 0 ? summary.bytes : KeptRunSize(summary.folder);
        run.summary = std::move(summary);
        runs.push_back(std::move(run));
    }
    return runs;
}

void RunMenu::showRuns() {
    if (m_window.busy()) {
        inform(QStringLiteral("A run is under way. Look at the runs when it has ended."));
        return;
    }
    std::vector<KeptRun> runs;
    try {
        // Each journal is read whole for its counts: a run of a million files takes a moment.
        m_window.showBusy(true);
        runs = keptRuns();
        m_window.showBusy(false);
    } catch (const JournalError& e) {
        m_window.showBusy(false);
        inform(
            QStringLiteral("The runs cannot be listed: %1.").arg(QString::fromLocal8Bit(e.what())));
        return;
    }
    RunsDialog* shown = nullptr;
    RunsDialog::Actions actions;
    actions.undo = [&](const KeptRun& run) {
        if (undoRun(run.summary, QStringLiteral("This run"))) {
            try {
                shown->setRuns(keptRuns());
            } catch (const JournalError&) {
                // Listed a moment ago: what is shown stays until the dialog is opened again.
            }
        }
    };
    actions.showFailures = [&](const KeptRun& run) {
        if (std::optional<KeptFailures> kept = failuresOf(run.summary.folder, shown)) {
            showFailures(*kept, shown);
        }
    };
    actions.saveFailedLines = [&](const KeptRun& run) {
        if (std::optional<KeptFailures> kept = failuresOf(run.summary.folder, shown)) {
            saveFailedLines(*kept, shown);
        }
    };
    actions.openFolder = [&](const KeptRun& run) { openFolderOf(run.summary); };
    RunsDialog dialog(m_window.window, std::move(runs), std::move(actions));
    shown = &dialog;
    m_window.platform->runDialog(dialog);
}

std::optional<KeptFailures> RunMenu::failuresOf(const std::string& runFolder, QWidget* over) {
    try {
        return ReadKeptFailures(runFolder);
    } catch (const JournalError& e) {
        m_window.platform->information(
            over, m_window.title(),
            QStringLiteral("The failed lines of this run cannot be read: %1.")
                .arg(QString::fromLocal8Bit(e.what())));
        return std::nullopt;
    }
}

void RunMenu::showFailures(const KeptFailures& kept, QWidget* over) {
    QString text =
        QStringLiteral("%1 of the run, %2 to try again:\n")
            .arg(plural(kept.failures, "failure", "failures"),
                 plural(kept.lines.size(), "line", "lines")) +
        shownLines(kept.lines.size(), [&](std::size_t i) {
            const FailedLine& line = kept.lines[i];
            std::string_view bytes = line.bytes;
            while (!bytes.empty() &&
                   (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == '\0')) {
                bytes.remove_suffix(1);
            }
            return QStringLiteral("%1:%2: %3")
                .arg(QString::fromLocal8Bit(line.list))
                .arg(line.line)
                .arg(QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size())));
        });
    for (const std::string& list : kept.unread) {
        text += QStringLiteral(
                    "\nThe failed lines of %1 could not be read again (standard input, "
                    "a pipe, or changed since the run read it).")
                    .arg(QString::fromLocal8Bit(list));
    }
    m_window.platform->information(over, m_window.title(), text);
}

void RunMenu::saveFailedLines(const KeptFailures& kept, QWidget* over) {
    Platform& platform = *m_window.platform;
    const QString path =
        platform.saveFile(over, QStringLiteral("Save Failed Lines"), failedListProposal(kept.lists),
                          QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) {
        return;
    }
    const std::string target = path.toLocal8Bit().toStdString();
    std::string why = FailedListProblem(*m_window.fileSystem, target, kept.lists);
    if (why.empty()) {
        why = WriteFailedList(target, kept.lines);
    }
    if (!why.empty()) {
        platform.information(over, m_window.title(),
                             QStringLiteral("The failed lines cannot be saved to \"%1\": %2.")
                                 .arg(path, QString::fromLocal8Bit(why)));
        return;
    }
    platform.information(over, m_window.title(),
                         QStringLiteral("%1 saved to \"%2\".")
                             .arg(plural(kept.lines.size(), "failed line", "failed lines"), path));
}

void RunMenu::openFolderOf(const RunSummary& run) {
    const std::string first = FirstPathOfRun(run.folder);
    if (first.empty()) {
        inform(QStringLiteral("The journal of this run names no file."));
        return;
    }
    m_window.platform->openDocument(QFileInfo(QString::fromLocal8Bit(first)).absolutePath());
}

void RunMenu::saveLastFailedLines() {
    if (m_window.busy()) {
        inform(QStringLiteral("A run is under way. Save its failed lines when it has ended."));
        return;
    }
    saveFailedLines(m_lastRun, m_window.window);
}

void RunMenu::failed(const FailureSource& source) {
    if (source.list != nullptr) {
        m_failed.add(*source.list, source.line);
    }
}

void RunMenu::runEnded() {
    // Called as the run ends, from its end of run: nothing may leave it.
    try {
        const CreationSummary& summary = m_window.run->lastSummary();
        CreationUi& ui = *m_window.creationUi;
        KeptFailures kept;
        kept.failures = summary.failures;
        for (int i = 1, n = ui.entryCount(); i <= n; ++i) {
            kept.lists.push_back(ui.entryText(i));
        }
        std::string problem;
        m_lastRun = m_failed.keep(*m_window.fileSystem, ui.entriesEndInNul(), std::move(kept),
                                  summary.journalFolder, problem);
    } catch (const std::exception&) {
        m_lastRun = {};
    }
    m_failed.clear();
    m_saveFailed->setEnabled(m_lastRun.failures != 0);
}

}  // namespace pellatrix
