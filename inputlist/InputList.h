#pragma once

#include <QCursor>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStringList>
#include <QTableView>
#include <functional>
#include <string>
#include <string_view>

#include "inputlist/InputListModel.h"

namespace pellatrix {

struct WindowContext;

/// The input list of list files (object name "ListView1"). A report-style list with one column; an
/// entry is the exact bytes of the path of a list file, positions 1..n from the top, duplicates
/// allowed, never sorted. Entries are shown decoded; everything that reads a path reads the bytes.
class InputList : public QTableView {
    Q_OBJECT
public:
    explicit InputList(QWidget* parent = nullptr);

    /// The window's context, for the handlers that need more than the list (the drop adds
    /// folder trees). The main window sets it once, before the list is shown.
    void setContext(const WindowContext* context);

    /// The one column's heading.
    void setHeaderLabels(const QStringList& labels);

    int entryCount() const;
    /// Exact bytes of entry `position` (1-based); empty when there is no such entry.
    std::string entryBytes(int position) const;
    /// The same without a copy; valid until the list next changes.
    std::string_view entryBytesView(int position) const;
    /// Entry `position` (1-based) as shown; "" when there is no such entry.
    QString entryText(int position) const;
    QStringList entryTexts() const;
    /// Appends at the bottom: the bytes as given, or a text in the local 8-bit encoding.
    void appendEntryBytes(std::string_view path);
    void appendEntry(const QString& text);
    void appendEntries(const QStringList& texts);
    /// One insertion for the whole batch.
    void appendPaths(const PathBatch& paths);
    /// Removes entry `position` (1-based); the ones below move up. Out of range: nothing.
    void removeEntry(int position);
    void clearEntries();
    /// Position of the selected entry, 0 when none is selected.
    int selectedPosition() const;

    /// Position of the entry being dragged (DragItem), 0 when there is none or it was removed.
    int dragItemPosition() const;
    /// True between a press and the next release on the list (DragActive).
    bool dragActive() const { return m_dragActive; }
    /// The drag's scroll band, in pixels below the top of the entries' area: a move above the
    /// first scrolls up, from the second on down.
    static constexpr int kScrollUpAboveY = 57;
    static constexpr int kScrollDownFromY = 117;

    /// Lays out rows added or removed since the last event first, so the scroll bar knows them.
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void onMouseDown();
    void onItemClicked(const QModelIndex& item);
    void onMouseMoved(const QPoint& position);
    void onMouseUp();
    void onKeyDown(int key);
    void onDoubleClicked();
    bool acceptsDrop(const QMimeData* data) const;

    bool eventFilter(QObject* watched, QEvent* event) override;
    /// The list's own pointer; it shows unless the window is busy, when the wait pointer shows.
    void setOwnPointer(const QCursor& pointer);
    void showPointer();

    void addDropped(const std::vector<std::string>& paths);
    void removeSelectedUnlessBusy();
    void fitRowHeightToFont();
    QWidget* ownerWindow() const;
    QString programFolder() const;

    InputListModel* m_model = nullptr;
    const WindowContext* m_context = nullptr;
    bool m_dragActive = false;
    QPersistentModelIndex m_dragItem;  // invalid once its entry is removed
    bool m_autoScrollBeforeDrag = true;
    QCursor m_ownPointer;
    bool m_showsWait = false;
    QPointer<QWidget> m_watchedWindow;  // whose pointer changes the list follows
};

/// True while `window` shows the wait pointer: the window is busy with a long operation.
bool IsWindowBusy(const QWidget* window);

/// "Clear List": empties the input list unless the window is busy. A failure is reported at
/// line 100 and leaves the list as it was.
void onClearListClicked(const WindowContext& context);

}  // namespace pellatrix
