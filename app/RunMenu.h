#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QObject>
#include <QPoint>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/journal/RunJournal.h"
#include "engine/run/CreationRun.h"

class QAbstractScrollArea;
class QAction;
class QLabel;
class QListView;
class QMenu;
class QPushButton;

namespace pellatrix {

class Platform;

/// The planned steps of a preview, one line each ("create PATH", "fail PATH: why"), kept as
/// bytes side by side so a million lines cost about their own size; the view asks only for
/// the lines it shows.
class PreviewModel : public QAbstractListModel {
public:
    void append(PlannedAction action, std::string_view path, std::string_view why);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::string m_bytes;
    std::vector<std::size_t> m_ends;
};

/// What a finished run did, as its "Done." box says it under that word: "2 files created,
/// 1 file replaced, 3 folders made, 0 failures", the numbers in the user's locale.
QString RunOutcomeText(std::size_t created, std::size_t replaced, std::size_t folders,
                       std::size_t failures);

/// "Preview Run": the counts on top, the planned steps below, and the choice to start the run
/// or close.
class PreviewDialog : public QDialog {
public:
    PreviewDialog(QWidget* parent, const PreviewCounts& counts, PreviewModel* model);
    QLabel* counts() const { return m_counts; }
    QListView* steps() const { return m_steps; }
    QPushButton* startButton() const { return m_start; }

    /// "2 files to create, 1 file to replace, 1 folder to make, 0 foreseen failures".
    static QString countsText(const PreviewCounts& counts);

private:
    QLabel* m_counts = nullptr;
    QListView* m_steps = nullptr;
    QPushButton* m_start = nullptr;
};

struct KeptRun;

/// The context menu of the window's background and of the input list ("Preview Run...",
/// "Undo Last Run...", "Runs...", "Save Failed Lines..."), shown by a right click, the Menu key
/// or Shift+F10. It hears the window's runs, to keep the failed lines of each.
class RunMenu : public QObject, public RunListener {
public:
    struct Window {
        QWidget* window = nullptr;
        QAbstractScrollArea* list = nullptr;
        Platform* platform = nullptr;
        CreationRun* run = nullptr;
        std::function<QString()> title;
        /// True while a run or another long operation is under way.
        std::function<bool()> busy;
        std::function<void(bool)> showBusy;
        /// Starts a run exactly as "Start Creating Files" does.
        std::function<void()> startRun;
        /// Sets up the run's content before a preview; false when told why not (none: nothing
        /// to set up).
        std::function<bool()> prepareRun;
        /// Whether a point of the window (window coordinates) is its background.
        std::function<bool(const QPoint&)> isBackground;
        std::string runsFolder;
        /// What the undo looks and acts through.
        FileSystem* fileSystem = nullptr;
        /// The run's view of the window, whose failures and list files the menu hears of (none:
        /// no failed lines are kept).
        CreationUi* creationUi = nullptr;
    };

    /// Listens to `window.creationUi`, which the window destroys before its children: the menu
    /// never outlives what it listens to, so it never stops listening.
    explicit RunMenu(Window window);

    QMenu* menu() const { return m_menu; }
    QAction* previewAction() const { return m_preview; }
    QAction* undoAction() const { return m_undo; }
    QAction* runsAction() const { return m_runs; }
    QAction* saveFailedAction() const { return m_saveFailed; }

    void previewRun();
    void undoLastRun();
    /// "Runs...": the kept runs in a dialog, and what can be done with each.
    void showRuns();
    /// "Save Failed Lines...": the failed lines of the window's last run, as a list file.
    void saveLastFailedLines();

    void failed(const FailureSource& source) override;
    void runEnded() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void popup(const QPoint& globalPos);
    void inform(const QString& text);
    // Asks, undoes `run` and tells what it did; `which` names it in a refusal ("The last run").
    // True when it was undone.
    bool undoRun(const RunSummary& run, const QString& which);
    std::vector<KeptRun> keptRuns();
    void showFailures(const KeptFailures& kept, QWidget* over);
    void saveFailedLines(const KeptFailures& kept, QWidget* over);
    void openFolderOf(const RunSummary& run);
    // What the run in `runFolder` kept of its failures, whole; told and nothing on failure.
    std::optional<KeptFailures> failuresOf(const std::string& runFolder, QWidget* over);

    Window m_window;
    // The list and its viewport as the filter sees them, kept from the start: the filter still
    // gets events while the list is being destroyed, when no member of it may be called.
    const QObject* m_listObject = nullptr;
    const QObject* m_viewportObject = nullptr;
    QMenu* m_menu = nullptr;
    QAction* m_preview = nullptr;
    QAction* m_undo = nullptr;
    QAction* m_runs = nullptr;
    QAction* m_saveFailed = nullptr;
    // The failures of the run under way; then what the window's last run kept of them.
    FailedEntries m_failed;
    KeptFailures m_lastRun;
};

}  // namespace pellatrix
