#include "inputlist/InputList.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QUrl>
#include <algorithm>

#include "engine/ReportLocations.h"
#include "engine/Trap.h"
#include "inputlist/AddFiles.h"
#include "shell/WindowContext.h"

namespace pellatrix {

namespace {

// Pixels from the top of the screen: above the first the drag scrolls up, from the second down.
constexpr int kScrollUpBelowY = 305;
constexpr int kScrollDownFromY = 365;

// A file list: at least one local file among the dragged addresses.
bool holdsLocalFiles(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& u) { return u.isLocalFile(); });
}

// Only a copy is ever taken; a source that offers nothing but a move is refused.
bool canCopy(Qt::DropActions offered) {
    return offered.testFlag(Qt::CopyAction);
}

}  // namespace

bool IsWindowBusy(const QWidget* window) {
    return window != nullptr && window->cursor().shape() == Qt::WaitCursor;
}

InputList::InputList(QWidget* parent)
    : QTreeWidget(parent), m_screenY([] { return QCursor::pos().y(); }) {
    setObjectName(QStringLiteral("ListView1"));
    setColumnCount(1);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    // All rows are one line of the same font, so the view need not measure each (100,000 entries).
    setUniformRowHeights(true);
    header()->setVisible(true);
    header()->setStretchLastSection(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    // Reordering is our own press/move/release swap; only drops from outside are taken.
    setDragEnabled(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    // Every move over the list resets the window pointer, not only moves with a button held.
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
}

void InputList::setContext(const WindowContext* context) {
    m_context = context;
}

int InputList::entryCount() const {
    return topLevelItemCount();
}

QString InputList::entryText(int position) const {
    const QTreeWidgetItem* item =
        position >= 1 && position <= entryCount() ? topLevelItem(position - 1) : nullptr;
    return item != nullptr ? item->text(0) : QString();
}

QStringList InputList::entryTexts() const {
    QStringList texts;
    const int count = entryCount();
    texts.reserve(count);
    for (int i = 0; i < count; ++i) {
        texts.append(topLevelItem(i)->text(0));
    }
    return texts;
}

void InputList::appendEntry(const QString& text) {
    addTopLevelItem(new QTreeWidgetItem(QStringList{text}));
}

void InputList::appendEntries(const QStringList& texts) {
    if (texts.isEmpty()) {
        return;
    }
    QList<QTreeWidgetItem*> items;
    items.reserve(texts.size());
    for (const QString& text : texts) {
        items.append(new QTreeWidgetItem(QStringList{text}));
    }
    // One insertion: the view lays out once, whatever the number of entries.
    addTopLevelItems(items);
}

void InputList::removeEntry(int position) {
    if (position < 1 || position > entryCount()) {
        return;
    }
    delete takeTopLevelItem(position - 1);
}

void InputList::clearEntries() {
    clear();
}

int InputList::selectedPosition() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? 0 : rows.first().row() + 1;
}

int InputList::dragItemPosition() const {
    return m_dragItem.isValid() ? m_dragItem.row() + 1 : 0;
}

void InputList::setScreenYSource(std::function<int()> source) {
    m_screenY = std::move(source);
}

QWidget* InputList::ownerWindow() const {
    return m_context != nullptr && m_context->window != nullptr ? m_context->window : window();
}

QString InputList::programFolder() const {
    return m_context != nullptr && !m_context->programFolder.isEmpty()
               ? m_context->programFolder
               : QCoreApplication::applicationDirPath();
}

// --- Qt events, each handing over to the handler of the control event it stands for ---------

void InputList::mousePressEvent(QMouseEvent* event) {
    ListView1_MouseDown();
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (item == nullptr) {
        // A press on the empty area keeps the selection, so a double-click there removes the
        // selected entry.
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);  // selects the entry under the pointer
    // Qt reports the click on an entry only at the release; the drag needs DragItem now.
    ListView1_ItemClick(item);
}

void InputList::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double-click is a press like any other.
    ListView1_MouseDown();
    QTreeWidget::mouseDoubleClickEvent(event);
    ListView1_DblClick();
}

void InputList::mouseMoveEvent(QMouseEvent* event) {
    ListView1_MouseMove(event->position().toPoint());
    // While dragging, the swap decides the selection; Qt's drag-select would fight it.
    if (!m_dragActive) {
        QTreeWidget::mouseMoveEvent(event);
    }
}

void InputList::mouseReleaseEvent(QMouseEvent* event) {
    ListView1_MouseUp();
    QTreeWidget::mouseReleaseEvent(event);
}

void InputList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        ListView1_KeyDown(event->key());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void InputList::dragEnterEvent(QDragEnterEvent* event) {
    if (ListView1_OLEDragOver(event->mimeData()) && canCopy(event->possibleActions())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void InputList::dragMoveEvent(QDragMoveEvent* event) {
    if (ListView1_OLEDragOver(event->mimeData()) && canCopy(event->possibleActions())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void InputList::dragLeaveEvent(QDragLeaveEvent* event) {
    event->accept();
}

void InputList::dropEvent(QDropEvent* event) {
    if (!ListView1_OLEDragOver(event->mimeData()) || !canCopy(event->possibleActions())) {
        event->ignore();
        return;
    }
    QStringList paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    // A copy: the source must never take the dropped files as moved and delete them.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // The folder scans run after the drop has been answered, so the drag source is not kept
    // waiting for them; queued calls keep the order of several drops.
    QMetaObject::invokeMethod(
        this, [this, paths] { addDropped(paths); }, Qt::QueuedConnection);
}

void InputList::addDropped(const QStringList& paths) {
    if (m_context != nullptr) {
        ListView1_OLEDragDrop(*m_context, paths);
        return;
    }
    // Not wired to a window yet: the list is on its own and failures go nowhere.
    WindowContext alone;
    alone.window = window();
    alone.list = this;
    alone.report = [](const std::string&, const std::string&, int) {};
    alone.yield = [] { QCoreApplication::processEvents(); };
    ListView1_OLEDragDrop(alone, paths);
}

// --- The handlers --------------------------------------------------------------------------

void InputList::ListView1_MouseDown() {
    m_dragActive = true;
}

void InputList::ListView1_ItemClick(QTreeWidgetItem* item) {
    // Read again at every click, so a replaced icon shows without a restart. Without a usable
    // icon the list keeps the arrow; the click still selects and starts the drag.
    const QPixmap icon(programFolder() + QStringLiteral("/drag.ico"));
    viewport()->setCursor(icon.isNull() ? QCursor(Qt::ArrowCursor) : QCursor(icon));
    m_dragItem = QPersistentModelIndex(indexFromItem(item));
}

void InputList::ListView1_MouseMove(const QPoint& position) {
    QWidget* owner = ownerWindow();
    if (!IsWindowBusy(owner)) {
        owner->setCursor(Qt::ArrowCursor);
    }
    if (!m_dragActive) {
        return;
    }
    QTreeWidgetItem* hoverItem = itemAt(position);
    QTreeWidgetItem* dragItem = m_dragItem.isValid() ? itemFromIndex(m_dragItem) : nullptr;
    if (hoverItem == nullptr || dragItem == nullptr || hoverItem->text(0) == dragItem->text(0)) {
        return;
    }
    const QString movingText = dragItem->text(0);
    dragItem->setText(0, hoverItem->text(0));
    hoverItem->setText(0, movingText);
    setCurrentItem(hoverItem);
    const QModelIndex hoverIndex = indexFromItem(hoverItem);
    m_dragItem = QPersistentModelIndex(hoverIndex);

    // The thresholds are screen pixels, wherever the window stands.
    const int screenY = m_screenY ? m_screenY() : QCursor::pos().y();
    const int hoverPosition = hoverIndex.row() + 1;
    if (screenY < kScrollUpBelowY && hoverPosition >= 2) {
        scrollToItem(topLevelItem(hoverPosition - 2));
    } else if (screenY >= kScrollDownFromY && hoverPosition + 1 <= entryCount()) {
        scrollToItem(topLevelItem(hoverPosition));
    }
}

void InputList::ListView1_MouseUp() {
    m_dragActive = false;
    viewport()->setCursor(Qt::ArrowCursor);
}

void InputList::ListView1_KeyDown(int key) {
    if (key == Qt::Key_Delete) {
        removeSelectedUnlessBusy();
    }
}

void InputList::ListView1_DblClick() {
    removeSelectedUnlessBusy();
}

bool InputList::ListView1_OLEDragOver(const QMimeData* data) const {
    return holdsLocalFiles(data);
}

void InputList::removeSelectedUnlessBusy() {
    if (IsWindowBusy(ownerWindow()) || entryCount() == 0) {
        return;
    }
    // Entries but no selection: nothing to remove.
    removeEntry(selectedPosition());
    // The removed entry was the selection; Qt would select its neighbour, and a second
    // double-click on the empty area would then remove an entry the user never chose.
    selectionModel()->clearSelection();
}

void PushButton6_Click(const WindowContext& context) {
    Trap trap(locations::kPushButton6, context.report);
    trap.step(100, [&] {
        if (!IsWindowBusy(context.window) && context.list != nullptr) {
            context.list->clearEntries();
        }
    });
}

}  // namespace pellatrix
