#include "app/RunMenu.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "engine/journal/RunJournal.h"
#include "shell/Platform.h"

namespace pellatrix {

namespace {

// A count as the user's locale writes numbers ("1,000,000 files" in English).
QString plural(std::size_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(QLocale().toString(static_cast<qulonglong>(n)),
                                       QLatin1String(n == 1 ? one : many));
}

// The start of a run, from the name of its folder (its UTC start), in local time.
QString runStart(const std::string& id) {
    QDateTime start = QDateTime::fromString(QString::fromLatin1(id.substr(0, 15)),
                                            QStringLiteral("yyyyMMdd-HHmmss"));
    if (!start.isValid()) {
        return QString::fromLocal8Bit(id);
    }
    start.setTimeSpec(Qt::UTC);
    return start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The most a box shows of the files an undo left alone; the rest are counted.
constexpr int kLeftAloneShown = 15;

}  // namespace

void PreviewModel::append(PlannedAction action, std::string_view path, std::string_view why) {
    switch (action) {
        case PlannedAction::Create:
            m_bytes += "create ";
            break;
        case PlannedAction::Replace:
            m_bytes += "replace ";
            break;
        case PlannedAction::Keep:
            m_bytes += "keep ";
            break;
        case PlannedAction::Fail:
            m_bytes += "fail ";
            break;
        case PlannedAction::Folder:
            m_bytes += "folder ";
            break;
    }
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
    auto model = std::make_unique<PreviewModel>();
    m_window.showBusy(true);
    const std::optional<PreviewCounts> counts =
        m_window.run->preview([&](PlannedAction action, std::string_view path,
                                  std::string_view why) { model->append(action, path, why); });
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
    if (last.state == RunSummary::State::Damaged) {
        inform(QStringLiteral("The last run cannot be undone: %1. Nothing was changed.")
                   .arg(QString::fromLocal8Bit(last.damage)));
        return;
    }
    if (last.state == RunSummary::State::Busy) {
        inform(QStringLiteral("The last run is still writing files. Undo it when it has ended."));
        return;
    }
    QString question =
        QStringLiteral("Undo the run of %1?\n\nIt created %2 and %3, and replaced %4.")
            .arg(runStart(last.id), plural(last.created, "file", "files"),
                 plural(last.folders, "folder", "folders"), plural(last.replaced, "file", "files"));
    if (last.notKept != 0) {
        question += QStringLiteral("\nThe old content of %1 was not kept; they stay as they are.")
                        .arg(plural(last.notKept, "file", "files"));
    }
    question += QStringLiteral("\nFiles changed since the run are left as they are.");
    if (!m_window.platform->question(m_window.window, m_window.title(), question)) {
        return;
    }
    UndoReport report;
    m_window.showBusy(true);
    try {
        report = UndoRun(*m_window.fileSystem, last.folder);
    } catch (const JournalError& e) {
        m_window.showBusy(false);
        inform(QStringLiteral("The last run cannot be undone: %1. Nothing was changed.")
                   .arg(QString::fromLocal8Bit(e.what())));
        return;
    }
    m_window.showBusy(false);
    QString text =
        QStringLiteral("The run was undone: %1 removed, %2 put back, %3 removed.")
            .arg(plural(report.removed, "file", "files"), plural(report.restored, "file", "files"),
                 plural(report.foldersRemoved, "folder", "folders"));
    if (!report.leftAlone.empty()) {
        text += QStringLiteral("\n\nLeft as they are (%1):")
                    .arg(QLocale().toString(static_cast<qulonglong>(report.leftAlone.size())));
        const int shown = std::min<int>(kLeftAloneShown, static_cast<int>(report.leftAlone.size()));
        for (int i = 0; i < shown; ++i) {
            text += QLatin1Char('\n') +
                    QString::fromLocal8Bit(report.leftAlone[static_cast<std::size_t>(i)]);
        }
        if (static_cast<int>(report.leftAlone.size()) > shown) {
            text += QStringLiteral("\n... and %1 more")
                        .arg(QLocale().toString(
                            static_cast<qulonglong>(report.leftAlone.size() - shown)));
        }
    }
    inform(text);
}

}  // namespace pellatrix
