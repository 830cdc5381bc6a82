#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/journal/RunJournal.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace pellatrix {

/// One kept run as the runs dialog shows it.
struct KeptRun {
    RunSummary summary;
    /// Its failures, list files and lines not kept, as kept with it (KeptRunHead).
    KeptFailures kept;
    std::uint64_t size = 0;
};

/// "Runs": the kept runs, newest first, one row each (when it started, its list files, its
/// counts, whether it can still be undone, the size of its journal), and what can be done with
/// the selected one. Each button hands the selected run to its action; the action tells the
/// user itself and may give the dialog the runs anew (setRuns).
class RunsDialog : public QDialog {
public:
    struct Actions {
        std::function<void(const KeptRun&)> undo;
        std::function<void(const KeptRun&)> showFailures;
        std::function<void(const KeptRun&)> saveFailedLines;
        std::function<void(const KeptRun&)> openFolder;
    };

    RunsDialog(QWidget* parent, std::vector<KeptRun> runs, Actions actions);

    void setRuns(std::vector<KeptRun> runs);
    QTreeWidget* runsView() const { return m_view; }
    QPushButton* undoButton() const { return m_undo; }
    QPushButton* failuresButton() const { return m_failures; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* folderButton() const { return m_folder; }

    /// "Yes", or "No" and why: undone, still running, damaged.
    static QString undoableText(const RunSummary& run);
    /// The start of a run, from the name of its folder (its UTC start), in local time.
    static QString startText(const std::string& id);

private:
    const KeptRun* selected() const;
    void selectionChanged();
    void act(const std::function<void(const KeptRun&)>& action);

    std::vector<KeptRun> m_runs;
    Actions m_actions;
    QLabel* m_label = nullptr;
    QTreeWidget* m_view = nullptr;
    QPushButton* m_undo = nullptr;
    QPushButton* m_failures = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_folder = nullptr;
};

}  // namespace pellatrix
