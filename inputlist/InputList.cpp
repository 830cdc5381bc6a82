#include "inputlist/InputList.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QCursor>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QUrl>
#include <algorithm>

#include "engine/run/ReportLocations.h"
#include "engine/run/Trap.h"
#include "inputlist/AddFiles.h"
#include "shell/WindowContext.h"

namespace pellatrix {

namespace {

// The drag scrolls by the pointer's height over the list, not over the screen: fixed screen rows
// would scroll at once on a tall screen, and on Wayland the screen position is not known. The band
// keeps the place it has on the screen the rule was made for, 1024 x 768 with the window centred
// on it and the thresholds at screen rows 305 and 365. There the window's frame (31 pixels of
// title bar and top border, 8 of bottom border) makes it 483 + 39 = 522 high, so it stands at
// (768 - 522) / 2 = 123, its client area at 123 + 31 = 154, the list at 154 + 76 = 230 and the
// list's entries, below its 18-pixel header, at 248. Hence 305 - 248 = 57 and 365 - 248 = 117,
// counted from the top of the entries' area, which is where the list's own mouse events count.
static_assert(InputList::kScrollUpAboveY == 305 - (768 - (483 + 31 + 8)) / 2 - 31 - 76 - 18);
static_assert(InputList::kScrollDownFromY == 365 - (768 - (483 + 31 + 8)) / 2 - 31 - 76 - 18);

// A file list: at least one local file among the dragged addresses.
bool holdsLocalFiles(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& u) { return u.isLocalFile(); });
}

// The exact bytes of a dropped local path. toLocalFile() decodes the address's escapes as UTF-8,
// which turns a name that is not valid UTF-8 into replacement characters; the escapes themselves
// hold the bytes of the name.
std::string localPathBytes(const QUrl& url) {
    if (url.host().isEmpty()) {
        return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1())
            .toStdString();
    }
    return QFile::encodeName(url.toLocalFile()).toStdString();
}

// Only a copy is ever taken; a source that offers nothing but a move is refused.
bool canCopy(Qt::DropActions offered) {
    return offered.testFlag(Qt::CopyAction);
}

// What a screen reader meets: a list of entries, each a list item named by its path, with its
// position from its place among them. A table view would show as a table with a column header.
class EntryAccessible : public QAccessibleInterface {
public:
    EntryAccessible(InputList* list, int row) : m_list(list), m_row(row) {}

    int row() const { return m_row; }
    bool isValid() const override { return m_list && m_row < m_list->entryCount(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(m_list.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name && isValid() ? m_list->entryText(m_row + 1) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid()) {
            return QRect();
        }
        const QRect area = m_list->visualRect(m_list->model()->index(m_row, 0));
        return QRect(m_list->viewport()->mapToGlobal(area.topLeft()), area.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) {
            state.invalid = true;
            return state;
        }
        state.selectable = true;
        state.focusable = true;
        state.selected = m_list->selectedPosition() == m_row + 1;
        state.focused = m_list->hasFocus() && m_list->currentIndex().row() == m_row;
        const QRect area = m_list->visualRect(m_list->model()->index(m_row, 0));
        state.invisible = !m_list->viewport()->rect().intersects(area);
        state.offscreen = state.invisible;
        return state;
    }

private:
    QPointer<InputList> m_list;
    int m_row;
};

class ListAccessible : public QAccessibleWidget {
public:
    explicit ListAccessible(InputList* list) : QAccessibleWidget(list, QAccessible::List) {}
    ~ListAccessible() override {
        for (const QAccessible::Id id : std::as_const(m_children)) {
            QAccessible::deleteAccessibleInterface(id);
        }
    }

    int childCount() const override { return list()->entryCount(); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount()) {
            return nullptr;
        }
        if (const auto found = m_children.constFind(index); found != m_children.cend()) {
            return QAccessible::accessibleInterface(*found);
        }
        auto* entry = new EntryAccessible(list(), index);
        m_children.insert(index, QAccessible::registerAccessibleInterface(entry));
        return entry;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* entry = dynamic_cast<const EntryAccessible*>(child);
        return entry != nullptr && entry->isValid() ? entry->row() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QModelIndex at = list()->indexAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return at.isValid() ? child(at.row()) : nullptr;
    }

private:
    InputList* list() const { return static_cast<InputList*>(widget()); }

    mutable QHash<int, QAccessible::Id> m_children;
};

QAccessibleInterface* accessibleInputList(const QString& className, QObject* object) {
    if (className == QLatin1String(InputList::staticMetaObject.className()) &&
        qobject_cast<InputList*>(object) != nullptr) {
        return new ListAccessible(static_cast<InputList*>(object));
    }
    return nullptr;
}

}  // namespace

bool IsWindowBusy(const QWidget* window) {
    return window != nullptr && window->cursor().shape() == Qt::WaitCursor;
}

InputList::InputList(QWidget* parent) : QTableView(parent), m_model(new InputListModel(this)) {
    static const bool accessible = (QAccessible::installFactory(accessibleInputList), true);
    Q_UNUSED(accessible);
    setObjectName(QStringLiteral("ListView1"));
    setModel(m_model);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    // A table view keeps no object per row (a tree view keeps one for every row and lays them all
    // out again at each change); dressed as a one-column report list: a heading, no grid, no row
    // numbers, one line per entry.
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setVisible(true);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    fitRowHeightToFont();
    // Reordering is our own press/move/release swap; only drops from outside are taken.
    setDragEnabled(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    // Every move over the list resets the window pointer, not only moves with a button held.
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
}

void InputList::fitRowHeightToFont() {
    // The height the item delegate asks for one line of text, as a list of one-line rows has.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg");
    const int height =
        style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(std::max(1, height));
}

void InputList::scrollTo(const QModelIndex& index, ScrollHint hint) {
    executeDelayedItemsLayout();
    QTableView::scrollTo(index, hint);
}

void InputList::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        fitRowHeightToFont();
    }
}

void InputList::setContext(const WindowContext* context) {
    m_context = context;
}

void InputList::setOwnPointer(const QCursor& pointer) {
    m_ownPointer = pointer;
    QWidget* owner = ownerWindow();
    if (owner != m_watchedWindow) {
        if (m_watchedWindow) {
            m_watchedWindow->removeEventFilter(this);
        }
        m_watchedWindow = owner;
        owner->installEventFilter(this);
    }
    showPointer();
}

void InputList::showPointer() {
    // While the window is busy the wait pointer shows over the list too, as over every control.
    m_showsWait = IsWindowBusy(ownerWindow());
    viewport()->setCursor(m_showsWait ? QCursor(Qt::WaitCursor) : m_ownPointer);
}

bool InputList::eventFilter(QObject* watched, QEvent* event) {
    // The window hears of every pointer change inside it, the list's own included.
    if (watched == m_watchedWindow && event->type() == QEvent::CursorChange &&
        IsWindowBusy(m_watchedWindow) != m_showsWait) {
        showPointer();
    }
    return QTableView::eventFilter(watched, event);
}

void InputList::setHeaderLabels(const QStringList& labels) {
    m_model->setHeaderText(labels.value(0));
}

int InputList::entryCount() const {
    return m_model->entryCount();
}

std::string InputList::entryBytes(int position) const {
    return std::string(entryBytesView(position));
}

std::string_view InputList::entryBytesView(int position) const {
    return m_model->entryBytes(position - 1);
}

QString InputList::entryText(int position) const {
    return position >= 1 && position <= entryCount() ? m_model->entryText(position - 1) : QString();
}

QStringList InputList::entryTexts() const {
    QStringList texts;
    const int count = entryCount();
    texts.reserve(count);
    for (int i = 0; i < count; ++i) {
        texts.append(m_model->entryText(i));
    }
    return texts;
}

void InputList::appendEntryBytes(std::string_view path) {
    m_model->append(path);
}

void InputList::appendEntry(const QString& text) {
    m_model->append(text.toLocal8Bit().toStdString());
}

void InputList::appendEntries(const QStringList& texts) {
    PathBatch batch;
    for (const QString& text : texts) {
        batch.add(text.toLocal8Bit().toStdString());
    }
    appendPaths(batch);
}

void InputList::appendPaths(const PathBatch& paths) {
    // One insertion: the view lays out once, whatever the number of entries.
    m_model->append(paths);
}

void InputList::removeEntry(int position) {
    m_model->remove(position - 1);
}

void InputList::clearEntries() {
    m_model->clear();
}

int InputList::selectedPosition() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? 0 : rows.first().row() + 1;
}

int InputList::dragItemPosition() const {
    return m_dragItem.isValid() ? m_dragItem.row() + 1 : 0;
}

QWidget* InputList::ownerWindow() const {
    return m_context != nullptr && m_context->window != nullptr ? m_context->window : window();
}

QString InputList::programFolder() const {
    return m_context != nullptr && !m_context->programFolder.isEmpty()
               ? m_context->programFolder
               : QCoreApplication::applicationDirPath();
}

QModelIndex InputList::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // Keys act as in a report list: Home and End go to the first and last entry, Left and Right
    // scroll a column wider than the list; a table would move between cells of the one row.
    switch (action) {
        case MoveHome:
            return m_model->index(0);
        case MoveEnd:
            return m_model->index(entryCount() - 1);
        case MoveLeft:
        case MoveRight:
            horizontalScrollBar()->triggerAction(action == MoveLeft
                                                     ? QAbstractSlider::SliderSingleStepSub
                                                     : QAbstractSlider::SliderSingleStepAdd);
            return currentIndex();
        default:
            return QTableView::moveCursor(action, modifiers);
    }
}

void InputList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // The table view would announce the entry by its cell number in a table; the list's
    // entries are its children by position.
    QAbstractItemView::currentChanged(current, previous);
    if (QAccessible::isActive() && current.isValid() && hasFocus()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(current.row());
        QAccessible::updateAccessibility(&event);
    }
}

void InputList::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QAbstractItemView::selectionChanged(selected, deselected);
    if (QAccessible::isActive()) {
        for (const QModelIndex& index : selected.indexes()) {
            QAccessibleEvent event(this, QAccessible::SelectionAdd);
            event.setChild(index.row());
            QAccessible::updateAccessibility(&event);
        }
        for (const QModelIndex& index : deselected.indexes()) {
            QAccessibleEvent event(this, QAccessible::SelectionRemove);
            event.setChild(index.row());
            QAccessible::updateAccessibility(&event);
        }
    }
}

// --- Qt events, each handing over to the handler of the control event it stands for ---------

void InputList::mousePressEvent(QMouseEvent* event) {
    // From the press to the release only the drag's own rule scrolls: Qt would scroll the
    // selected entry into view (also after a delay, from the press), which moves another entry
    // under a still pointer and lets the dragged one walk on by itself.
    if (!m_dragActive) {
        m_autoScrollBeforeDrag = hasAutoScroll();
    }
    setAutoScroll(false);
    onMouseDown();
    const QModelIndex item = indexAt(event->position().toPoint());
    if (!item.isValid()) {
        // A press on the empty area keeps the selection, so a double-click there removes the
        // selected entry.
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);  // selects the entry under the pointer
    // Qt reports the click on an entry only at the release; the drag needs DragItem now.
    onItemClicked(item);
}

void InputList::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double-click is a press like any other.
    if (!m_dragActive) {
        m_autoScrollBeforeDrag = hasAutoScroll();
    }
    setAutoScroll(false);
    onMouseDown();
    QTableView::mouseDoubleClickEvent(event);
    onDoubleClicked();
}

void InputList::mouseMoveEvent(QMouseEvent* event) {
    onMouseMoved(event->position().toPoint());
    // While dragging, the swap decides the selection; Qt's drag-select would fight it.
    if (!m_dragActive) {
        QTableView::mouseMoveEvent(event);
    }
}

void InputList::mouseReleaseEvent(QMouseEvent* event) {
    onMouseUp();
    QTableView::mouseReleaseEvent(event);
    setAutoScroll(m_autoScrollBeforeDrag);
}

void InputList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        onKeyDown(event->key());
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void InputList::dragEnterEvent(QDragEnterEvent* event) {
    if (acceptsDrop(event->mimeData()) && canCopy(event->possibleActions())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void InputList::dragMoveEvent(QDragMoveEvent* event) {
    if (acceptsDrop(event->mimeData()) && canCopy(event->possibleActions())) {
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
    if (!acceptsDrop(event->mimeData()) || !canCopy(event->possibleActions())) {
        event->ignore();
        return;
    }
    std::vector<std::string> paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            paths.push_back(localPathBytes(url));
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

void InputList::addDropped(const std::vector<std::string>& paths) {
    if (m_context != nullptr) {
        onPathsDropped(*m_context, paths);
        return;
    }
    // Not wired to a window yet: the list is on its own and failures go nowhere.
    WindowContext alone;
    alone.window = window();
    alone.list = this;
    alone.report = [](const std::string&, const std::string&, int) {};
    alone.yield = [] { QCoreApplication::processEvents(); };
    onPathsDropped(alone, paths);
}

// --- The handlers --------------------------------------------------------------------------

void InputList::onMouseDown() {
    m_dragActive = true;
}

void InputList::onItemClicked(const QModelIndex& item) {
    // Read again at every click, so a replaced icon shows without a restart. Without a usable
    // icon the list keeps the arrow; the click still selects and starts the drag.
    const QPixmap icon(programFolder() + QStringLiteral("/drag.ico"));
    setOwnPointer(icon.isNull() ? QCursor(Qt::ArrowCursor) : QCursor(icon));
    m_dragItem = QPersistentModelIndex(item);
}

void InputList::onMouseMoved(const QPoint& position) {
    QWidget* owner = ownerWindow();
    if (!IsWindowBusy(owner)) {
        owner->setCursor(Qt::ArrowCursor);
    }
    if (!m_dragActive) {
        return;
    }
    const QModelIndex hoverIndex = indexAt(position);
    if (!hoverIndex.isValid() || !m_dragItem.isValid()) {
        return;
    }
    const int hoverRow = hoverIndex.row();
    const int dragRow = m_dragItem.row();
    // Texts compare as the exact bytes: two paths that only look alike are different entries.
    if (m_model->entryBytes(hoverRow) == m_model->entryBytes(dragRow)) {
        return;
    }
    // Trading the two texts is the whole move: no entry in between is touched.
    m_model->swap(dragRow, hoverRow);
    setCurrentIndex(hoverIndex);
    m_dragItem = QPersistentModelIndex(hoverIndex);

    const int hoverPosition = hoverRow + 1;
    if (position.y() < kScrollUpAboveY && hoverPosition >= 2) {
        scrollTo(m_model->index(hoverPosition - 2));
    } else if (position.y() >= kScrollDownFromY && hoverPosition + 1 <= entryCount()) {
        scrollTo(m_model->index(hoverPosition));
    }
}

void InputList::onMouseUp() {
    m_dragActive = false;
    setOwnPointer(QCursor(Qt::ArrowCursor));
}

void InputList::onKeyDown(int key) {
    if (key == Qt::Key_Delete) {
        removeSelectedUnlessBusy();
    }
}

void InputList::onDoubleClicked() {
    removeSelectedUnlessBusy();
}

bool InputList::acceptsDrop(const QMimeData* data) const {
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

void onClearListClicked(const WindowContext& context) {
    Trap trap(locations::kPushButton6, context.report);
    trap.step(100, [&] {
        if (!IsWindowBusy(context.window) && context.list != nullptr) {
            context.list->clearEntries();
        }
    });
}

}  // namespace pellatrix
