#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QObject>
#include <QPoint>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

/// The context menu of the window's background and of the input list ("Preview Run...",
/// "Undo Last Run..."), shown by a right click, the Menu key or Shift+F10.
class RunMenu : public QObject {
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
        /// Whether a point of the window (window coordinates) is its background.
        std::function<bool(const QPoint&)> isBackground;
        std::string runsFolder;
        /// What the undo looks and acts through.
        FileSystem* fileSystem = nullptr;
    };

    explicit RunMenu(Window window);

    QMenu* menu() const { return m_menu; }
    QAction* previewAction() const { return m_preview; }
    QAction* undoAction() const { return m_undo; }

    void previewRun();
    void undoLastRun();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void popup(const QPoint& globalPos);
    void inform(const QString& text);

    Window m_window;
    // The list and its viewport as the filter sees them, kept from the start: the filter still
    // gets events while the list is being destroyed, when no member of it may be called.
    const QObject* m_listObject = nullptr;
    const QObject* m_viewportObject = nullptr;
    QMenu* m_menu = nullptr;
    QAction* m_preview = nullptr;
    QAction* m_undo = nullptr;
};

}  // namespace pellatrix
