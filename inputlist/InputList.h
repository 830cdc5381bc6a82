#pragma once

#include <QStringList>
#include <QTreeWidget>

namespace pellatrix {

struct WindowContext;

/// ListView1: the input list of list files. A report-style list with one column; an entry is one
/// text (the path of a list file), positions 1..n from the top, duplicates allowed, never sorted.
class InputList : public QTreeWidget {
    Q_OBJECT
public:
    explicit InputList(QWidget* parent = nullptr);

    /// The window's context, for the handlers that need more than the list (the drop adds
    /// folder trees). The main window sets it once, before the list is shown.
    void setContext(const WindowContext* context);

    int entryCount() const;
    /// Text of entry `position` (1-based); "" when there is no such entry.
    QString entryText(int position) const;
    QStringList entryTexts() const;
    /// Appends at the bottom.
    void appendEntry(const QString& text);
    void appendEntries(const QStringList& texts);
    /// Removes entry `position` (1-based); the ones below move up. Out of range: nothing.
    void removeEntry(int position);
    void clearEntries();
    /// Position of the selected entry, 0 when none is selected.
    int selectedPosition() const;

private:
    const WindowContext* m_context = nullptr;
};

}  // namespace pellatrix
