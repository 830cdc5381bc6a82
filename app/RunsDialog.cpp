#include "app/RunsDialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace pellatrix {

namespace {

enum Column { kStarted, kLists, kCreated, kReplaced, kFolders, kFailures, kUndoable, kSize };

QString number(std::size_t n) {
    return QLocale().toString(static_cast<qulonglong>(n));
}

// The list files as a row shows them: their names, the first few in full.
QString listsText(const std::vector<std::string>& lists) {
    constexpr std::size_t kShown = 3;
    QStringList names;
    for (std::size_t i = 0; i < lists.size() && i < kShown; ++i) {
        names << QString::fromLocal8Bit(lists[i]);
    }
    QString text = names.join(QStringLiteral(", "));
    if (lists.size() > kShown) {
        text += QStringLiteral(" and %1 more").arg(number(lists.size() - kShown));
    }
    return text.isEmpty() ? QStringLiteral("(not kept)") : text;
}

}  // namespace

QString RunsDialog::startText(const std::string& id) {
    QDateTime start = QDateTime::fromString(QString::fromLatin1(id.substr(0, 15)),
                                            QStringLiteral("yyyyMMdd-HHmmss"));
    if (!start.isValid()) {
        return QString::fromLocal8Bit(id);
    }
    start.setTimeSpec(Qt::UTC);
    return start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString RunsDialog::undoableText(const RunSummary& run) {
    switch (run.state) {
        case RunSummary::State::Complete:
        case RunSummary::State::Killed:
            return QStringLiteral("Yes");
        case RunSummary::State::Undone:
            return QStringLiteral("No: undone");
        case RunSummary::State::Busy:
            return QStringLiteral("No: still running");
        case RunSummary::State::Damaged:
            return QStringLiteral("No: damaged");
    }
    return {};
}

RunsDialog::RunsDialog(QWidget* parent, std::vector<KeptRun> runs, Actions actions)
    : QDialog(parent), m_actions(std::move(actions)) {
    setObjectName(QStringLiteral("RunsDialog"));
    setWindowTitle(QStringLiteral("Runs"));

    m_view = new QTreeWidget(this);
    m_view->setObjectName(QStringLiteral("RunsView"));
    m_view->setRootIsDecorated(false);
    m_view->setUniformRowHeights(true);
    m_view->setAllColumnsShowFocus(true);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setHeaderLabels({QStringLiteral("Started"), QStringLiteral("List files"),
                             QStringLiteral("Created"), QStringLiteral("Replaced"),
                             QStringLiteral("Folders"), QStringLiteral("Failures"),
                             QStringLiteral("Can be undone"), QStringLiteral("On disk")});
    m_view->setAccessibleName(QStringLiteral("Kept runs"));
    m_label = new QLabel(QStringLiteral("&Kept runs, newest first:"), this);
    m_label->setBuddy(m_view);

    auto* buttons = new QDialogButtonBox(this);
    m_undo = buttons->addButton(QStringLiteral("&Undo Run..."), QDialogButtonBox::ActionRole);
    m_failures =
        buttons->addButton(QStringLiteral("Show &Failures..."), QDialogButtonBox::ActionRole);
    m_save =
        buttons->addButton(QStringLiteral("&Save Failed Lines..."), QDialogButtonBox::ActionRole);
    m_folder = buttons->addButton(QStringLiteral("&Open Folder"), QDialogButtonBox::ActionRole);
    buttons->addButton(QDialogButtonBox::Close);
    for (QPushButton* button : {m_undo, m_failures, m_save, m_folder}) {
        button->setAutoDefault(false);
        button->setAccessibleName(button->text().remove(QLatin1Char('&')));
    }
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_undo, &QPushButton::clicked, this, [this] { act(m_actions.undo); });
    connect(m_failures, &QPushButton::clicked, this, [this] { act(m_actions.showFailures); });
    connect(m_save, &QPushButton::clicked, this, [this] { act(m_actions.saveFailedLines); });
    connect(m_folder, &QPushButton::clicked, this, [this] { act(m_actions.openFolder); });
    connect(m_view, &QTreeWidget::currentItemChanged, this, [this] { selectionChanged(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_view, 1);
    layout->addWidget(buttons);
    resize(860, 360);
    setRuns(std::move(runs));
    m_view->setFocus(Qt::OtherFocusReason);
}

void RunsDialog::setRuns(std::vector<KeptRun> runs) {
    const int current = m_view->currentIndex().isValid() ? m_view->currentIndex().row() : 0;
    m_runs = std::move(runs);
    m_view->clear();
    QList<QTreeWidgetItem*> items;
    for (const KeptRun& run : m_runs) {
        const RunSummary& s = run.summary;
        const bool damaged = s.state == RunSummary::State::Damaged;
        auto* item = new QTreeWidgetItem(QStringList{
            startText(s.id), listsText(run.kept.lists), damaged ? QString() : number(s.created),
            damaged ? QString() : number(s.replaced), damaged ? QString() : number(s.folders),
            // A run kept by an older version kept nothing of its failures, its lists included.
            run.kept.lists.empty() ? QStringLiteral("not kept") : number(run.kept.failures),
            undoableText(s), QLocale().formattedDataSize(static_cast<qint64>(run.size))});
        for (int column : {kCreated, kReplaced, kFolders, kFailures, kSize}) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
        item->setToolTip(kLists, QString::fromLocal8Bit(s.id));
        if (damaged) {
            item->setToolTip(kUndoable, QString::fromLocal8Bit(s.damage));
        }
        items << item;
    }
    m_view->addTopLevelItems(items);
    for (int column = 0; column < m_view->columnCount(); ++column) {
        m_view->resizeColumnToContents(column);
    }
    const QString summary = m_runs.empty() ? QStringLiteral("No run is kept.")
                                           : QStringLiteral("%1 kept runs").arg(m_runs.size());
    setAccessibleDescription(summary);
    m_view->setAccessibleDescription(summary);
    if (!m_runs.empty()) {
        m_view->setCurrentItem(
            m_view->topLevelItem(std::min(current, m_view->topLevelItemCount() - 1)));
    }
    selectionChanged();
}

const KeptRun* RunsDialog::selected() const {
    const int row = m_view->currentIndex().isValid() ? m_view->currentIndex().row() : -1;
    return row >= 0 && static_cast<std::size_t>(row) < m_runs.size()
               ? &m_runs[static_cast<std::size_t>(row)]
               : nullptr;
}

void RunsDialog::selectionChanged() {
    const KeptRun* run = selected();
    const bool undoable = run != nullptr && (run->summary.state == RunSummary::State::Complete ||
                                             run->summary.state == RunSummary::State::Killed);
    const bool failed = run != nullptr && run->kept.failures != 0;
    m_undo->setEnabled(undoable);
    m_failures->setEnabled(failed);
    m_save->setEnabled(failed);
    m_folder->setEnabled(run != nullptr && run->summary.state != RunSummary::State::Damaged);
}

void RunsDialog::act(const std::function<void(const KeptRun&)>& action) {
    if (const KeptRun* run = selected(); run != nullptr && action) {
        // A copy: the action may give the dialog its runs anew.
        const KeptRun chosen = *run;
        action(chosen);
    }
}

}  // namespace pellatrix
