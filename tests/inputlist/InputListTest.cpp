#include <QDragEnterEvent>
#include <QFile>
#include <QMimeData>
#include <QScrollBar>
#include <QUrl>
#include <functional>

#include "tests/inputlist/InputListFixture.h"

namespace pellatrix {

namespace {

// A pointer move over the list as the platform delivers it, with the buttons still held.
void moveTo(QWidget* viewport, QPoint pos, Qt::MouseButtons held = Qt::LeftButton) {
    QMouseEvent event(QEvent::MouseMove, pos, viewport->mapToGlobal(pos), Qt::NoButton, held,
                      Qt::NoModifier);
    QApplication::sendEvent(viewport, &event);
}

// Where a gesture points: an entry's position, or 0 for the empty area below the last entry.
QPoint spot(const ListWindow& w, int position) {
    if (position == 0) {
        return QPoint(20, w.viewport()->height() - 4);
    }
    return w.rowCentre(position);
}

QStringList letters(const QString& text) {
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char(' '));
}

}  // namespace

class InputListTest : public QObject {
    Q_OBJECT

private slots:
    void entriesKeepOrderAndDuplicates();
    void entriesKeepTheirExactBytes();
    void navigationKeys_data();
    void navigationKeys();
    void removal_data();
    void removal();
    void clearList_data();
    void clearList();
    void reorderDrag_data();
    void reorderDrag();
    void gesturesThatSwapNothing();
    void dragPointer_data();
    void dragPointer();
    void windowPointerOnMove();
    void scrollThresholds_data();
    void scrollThresholds();
    void dragOver_data();
    void dragOver();
};

void InputListTest::entriesKeepOrderAndDuplicates() {
    ListWindow w;
    QCOMPARE(w.list->objectName(), QStringLiteral("ListView1"));
    QCOMPARE(w.list->model()->columnCount(), 1);
    QCOMPARE(w.list->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY(w.list->horizontalHeader()->isVisible());
    QVERIFY(!w.list->verticalHeader()->isVisible());
    QVERIFY(w.list->font().bold());
    QCOMPARE(w.list->font().pointSize(), 9);

    w.list->appendEntry("/b/x.txt");
    w.list->appendEntries({"/a/y.txt", "/b/x.txt"});
    w.list->appendEntries({});
    QCOMPARE(w.list->entryTexts(), QStringList({"/b/x.txt", "/a/y.txt", "/b/x.txt"}));
    QCOMPARE(w.list->entryCount(), 3);
    QCOMPARE(w.list->entryText(0), QString());
    QCOMPARE(w.list->entryText(4), QString());
    QCOMPARE(w.list->selectedPosition(), 0);
    w.list->removeEntry(0);
    w.list->removeEntry(4);
    w.list->removeEntry(-1);
    QCOMPARE(w.list->entryCount(), 3);
    w.list->removeEntry(1);
    QCOMPARE(w.list->entryTexts(), QStringList({"/a/y.txt", "/b/x.txt"}));
}

void InputListTest::entriesKeepTheirExactBytes() {
    ListWindow w;
    auto* model = qobject_cast<InputListModel*>(w.list->model());
    QVERIFY(model);
    // The same changes on a plain vector tell what the list must hold after each of them.
    std::vector<std::string> expected;
    auto check = [&](const char* after) {
        QVERIFY2(w.list->entryCount() == static_cast<int>(expected.size()), after);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            QVERIFY2(w.list->entryBytes(static_cast<int>(i) + 1) == expected[i], after);
        }
    };
    // Bytes that are no text, a path larger than a storage block, an empty entry, and enough
    // paths that removing most of them makes the list rewrite its storage.
    const std::string latin1 = "/tmp/caf\xe9/\xff.txt";
    PathBatch batch;
    for (const std::string& p : {latin1, std::string(3 << 20, 'L'), std::string()}) {
        batch.add(p);
        expected.push_back(p);
    }
    for (int i = 0; i < 12000; ++i) {
        const std::string p = "/many/" + std::to_string(i) + std::string(1000, 'x');
        batch.add(p);
        expected.push_back(p);
    }
    w.list->appendPaths(batch);
    check("append");
    QCOMPARE(w.list->entryText(1), QString::fromUtf8("/tmp/caf\uFFFD/\uFFFD.txt"));

    for (int i = 0; i < 11000; ++i) {
        const int position = 4 + (i * 7919) % (w.list->entryCount() - 3);
        w.list->removeEntry(position);
        expected.erase(expected.begin() + position - 1);
    }
    check("removals");
    model->swap(0, model->entryCount() - 1);
    std::swap(expected.front(), expected.back());
    check("swap");
    // Staged entries (a folder add under way) are not shown until committed, and go in before
    // an entry appended meanwhile; a Clear List meanwhile leaves them staged, with their bytes.
    model->stage("/staged/", "one");
    check("staged, not shown");
    w.list->appendEntryBytes(latin1);
    expected.push_back("/staged/one");
    expected.push_back(latin1);
    check("append after removals");
    model->stage("/staged/", "two");
    w.list->clearEntries();
    expected.clear();
    check("clear");
    model->commitStaged();
    expected.push_back("/staged/two");
    check("staged through a clear");
}

void InputListTest::navigationKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("selected");  // from entry 3 of 5
    QTest::newRow("Home") << int(Qt::Key_Home) << 1;
    QTest::newRow("End") << int(Qt::Key_End) << 5;
    QTest::newRow("Up") << int(Qt::Key_Up) << 2;
    QTest::newRow("Down") << int(Qt::Key_Down) << 4;
    QTest::newRow("Left") << int(Qt::Key_Left) << 3;
    QTest::newRow("Right") << int(Qt::Key_Right) << 3;
}

void InputListTest::navigationKeys() {
    QFETCH(int, key);
    QFETCH(int, selected);
    ListWindow w;
    w.fill({"A", "B", "C", "D", QString(300, QLatin1Char('E'))});
    w.list->setColumnWidth(0, 2000);
    w.select(3);
    QScrollBar* bar = w.list->horizontalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const int before = bar->value();
    QTest::keyClick(w.list, Qt::Key(key));
    QCOMPARE(w.list->selectedPosition(), selected);
    // Left and Right scroll a column wider than the list.
    if (key == Qt::Key_Left) {
        QVERIFY(bar->value() < before);
    } else if (key == Qt::Key_Right) {
        QVERIFY(bar->value() > before);
    }
}

void InputListTest::removal_data() {
    QTest::addColumn<QString>("entries");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Delete") << "A B C" << 2 << "Delete" << false << "A C";
    QTest::newRow("Shift+Delete") << "A B C" << 2 << "ShiftDelete" << false << "A C";
    QTest::newRow("Ctrl+Delete") << "A B C" << 3 << "CtrlDelete" << false << "A B";
    QTest::newRow("Backspace") << "A B C" << 2 << "Backspace" << false << "A B C";
    QTest::newRow("Delete, empty list") << "" << 0 << "Delete" << false << "";
    QTest::newRow("Delete, nothing selected") << "A B C" << 0 << "Delete" << false << "A B C";
    QTest::newRow("double-click on entry") << "A B C" << 1 << "DblClickEntry" << false << "B C";
    QTest::newRow("double-click below last") << "A B C" << 2 << "DblClickBelow" << false << "A C";
    QTest::newRow("double-click, empty list") << "" << 0 << "DblClickBelow" << false << "";
    QTest::newRow("double-click below, none selected")
        << "A B C" << 0 << "DblClickBelow" << false << "A B C";
    QTest::newRow("duplicate, second one") << "A B A" << 3 << "Delete" << false << "A B";
    QTest::newRow("busy Delete") << "A B C" << 2 << "Delete" << true << "A B C";
    QTest::newRow("busy double-click") << "A B C" << 2 << "DblClickEntry" << true << "A B C";
}

void InputListTest::removal() {
    QFETCH(QString, entries);
    QFETCH(int, selected);
    QFETCH(QString, action);
    QFETCH(bool, busy);
    QFETCH(QString, expected);

    ListWindow w;
    w.fill(letters(entries));
    if (selected > 0) {
        w.select(selected);
    }
    if (busy) {
        w.window->setCursor(Qt::WaitCursor);
    }
    if (action == "Delete") {
        QTest::keyClick(w.list, Qt::Key_Delete);
    } else if (action == "ShiftDelete") {
        QTest::keyClick(w.list, Qt::Key_Delete, Qt::ShiftModifier);
    } else if (action == "CtrlDelete") {
        QTest::keyClick(w.list, Qt::Key_Delete, Qt::ControlModifier);
    } else if (action == "Backspace") {
        QTest::keyClick(w.list, Qt::Key_Backspace);
    } else if (action == "DblClickEntry") {
        QTest::mouseDClick(w.viewport(), Qt::LeftButton, {}, spot(w, selected));
    } else {
        // As the platform delivers it: a click, then the second press as a double-click.
        QTest::mouseClick(w.viewport(), Qt::LeftButton, {}, spot(w, 0));
        QTest::mouseDClick(w.viewport(), Qt::LeftButton, {}, spot(w, 0));
    }
    QCOMPARE(w.list->entryTexts(), letters(expected));
    QCOMPARE(w.window->cursor().shape(), busy ? Qt::WaitCursor : Qt::ArrowCursor);
    if (expected != entries) {
        // Nothing is selected after a removal, so a second Delete removes nothing more.
        QCOMPARE(w.list->selectedPosition(), 0);
        QTest::keyClick(w.list, Qt::Key_Delete);
        QCOMPARE(w.list->entryTexts(), letters(expected));
    }
}

void InputListTest::clearList_data() {
    QTest::addColumn<QString>("entries");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("expected");
    QTest::newRow("entries") << "A B A" << false << "";
    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("busy") << "A B" << true << "A B";
}

void InputListTest::clearList() {
    QFETCH(QString, entries);
    QFETCH(bool, busy);
    QFETCH(QString, expected);
    ListWindow w;
    w.fill(letters(entries));
    if (busy) {
        w.window->setCursor(Qt::WaitCursor);
    }
    onClearListClicked(w.context);
    QCOMPARE(w.list->entryTexts(), letters(expected));
    QVERIFY(w.reports.empty());
    QVERIFY(w.platform.verifyAllAnswersUsed());
}

void InputListTest::reorderDrag_data() {
    QTest::addColumn<QString>("entries");
    QTest::addColumn<int>("pressed");
    QTest::addColumn<QList<int>>("moves");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("selected");

    QTest::newRow("walk down") << "A B C D" << 2 << QList<int>{3, 4} << "A C D B" << 4;
    QTest::newRow("jump onto last") << "A B C D" << 1 << QList<int>{4} << "D B C A" << 4;
    QTest::newRow("walk up") << "A B C D" << 4 << QList<int>{3, 2, 1} << "D A B C" << 1;
    QTest::newRow("there and back") << "A B C D" << 2 << QList<int>{3, 2} << "A B C D" << 2;
    QTest::newRow("same text") << "A B A C" << 1 << QList<int>{3} << "A B A C" << 1;
    QTest::newRow("over itself") << "A B C" << 2 << QList<int>{2, 2} << "A B C" << 2;
    QTest::newRow("empty area") << "A B C D" << 2 << QList<int>{0} << "A B C D" << 2;
    QTest::newRow("past a duplicate") << "A B B C" << 1 << QList<int>{2, 3, 4} << "B B C A" << 4;
}

void InputListTest::reorderDrag() {
    QFETCH(QString, entries);
    QFETCH(int, pressed);
    QFETCH(QList<int>, moves);
    QFETCH(QString, expected);
    QFETCH(int, selected);

    ListWindow w;
    w.fill(letters(entries));
    QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, pressed));
    QVERIFY(w.list->dragActive());
    QCOMPARE(w.list->dragItemPosition(), pressed);
    for (int position : moves) {
        moveTo(w.viewport(), spot(w, position));
    }
    QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, moves.last()));
    QVERIFY(!w.list->dragActive());
    QCOMPARE(w.list->entryTexts(), letters(expected));
    QCOMPARE(w.list->selectedPosition(), selected);
    // DragItem follows the moving text and outlives the release.
    QCOMPARE(w.list->entryText(w.list->dragItemPosition()), letters(entries)[pressed - 1]);
}

void InputListTest::gesturesThatSwapNothing() {
    struct Case {
        const char* name;
        std::function<void(ListWindow&)> gesture;
        QStringList expected = {"A", "C", "D", "B"};
    };
    const Case cases[] = {
        {"move without a press", [](ListWindow& w) { moveTo(w.viewport(), spot(w, 4), {}); }},
        {"move after the release",
         [](ListWindow& w) {
             QTest::mouseClick(w.viewport(), Qt::LeftButton, {}, spot(w, 2));
             moveTo(w.viewport(), spot(w, 4), {});
         }},
        {"press on the empty area before any click",
         [](ListWindow& w) {
             QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 0));
             moveTo(w.viewport(), spot(w, 3));
             QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 3));
         }},
        {"dragged entry deleted",
         [](ListWindow& w) {
             QTest::mouseClick(w.viewport(), Qt::LeftButton, {}, spot(w, 2));
             QTest::keyClick(w.list, Qt::Key_Delete);
             w.list->appendEntry("B");
             QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 0));
             moveTo(w.viewport(), spot(w, 1));
             QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 1));
         },
         {"A", "D", "B", "B"}},
        {"list cleared under the drag",
         [](ListWindow& w) {
             QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 2));
             w.list->clearEntries();
             w.fill({"A", "C", "D", "B"});
             moveTo(w.viewport(), spot(w, 3));
             QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 3));
         }},
    };
    for (const Case& c : cases) {
        ListWindow w;
        w.fill({"A", "C", "D", "B"});
        c.gesture(w);
        QVERIFY2(w.list->entryTexts() == c.expected, c.name);
    }
}

void InputListTest::dragPointer_data() {
    QTest::addColumn<QString>("icon");
    QTest::addColumn<int>("shapeWhilePressed");
    QTest::newRow("our icon") << "ours" << int(Qt::BitmapCursor);
    QTest::newRow("no icon") << "none" << int(Qt::ArrowCursor);
    QTest::newRow("unreadable icon") << "garbage" << int(Qt::ArrowCursor);
}

void InputListTest::dragPointer() {
    QFETCH(QString, icon);
    QFETCH(int, shapeWhilePressed);
    ListWindow w;
    const QString target = w.programDir.filePath("drag.ico");
    if (icon == "ours") {
        QVERIFY(QFile::copy(QStringLiteral(PELLATRIX_SOURCE_DIR "/inputlist/resources/drag.ico"),
                            target));
    } else if (icon == "garbage") {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not an icon");
    }
    w.fill({"A", "B", "C"});
    QCOMPARE(w.viewport()->cursor().shape(), Qt::ArrowCursor);

    // A press on the empty area is no click on an entry: the pointer stays.
    QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 0));
    QCOMPARE(w.viewport()->cursor().shape(), Qt::ArrowCursor);
    QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 0));

    QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 2));
    QCOMPARE(int(w.viewport()->cursor().shape()), shapeWhilePressed);
    QCOMPARE(w.list->selectedPosition(), 2);
    QCOMPARE(w.list->dragItemPosition(), 2);
    moveTo(w.viewport(), spot(w, 3));
    QCOMPARE(w.list->entryTexts(), QStringList({"A", "C", "B"}));
    QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 3));
    QCOMPARE(w.viewport()->cursor().shape(), Qt::ArrowCursor);
}

void InputListTest::windowPointerOnMove() {
    ListWindow w;
    w.fill({"A", "B"});
    w.window->setCursor(Qt::PointingHandCursor);
    moveTo(w.viewport(), spot(w, 1), {});
    QCOMPARE(w.window->cursor().shape(), Qt::ArrowCursor);

    // Busy: the wait pointer stays, and dragging still reorders.
    w.window->setCursor(Qt::WaitCursor);
    QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, 1));
    moveTo(w.viewport(), spot(w, 2));
    QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, spot(w, 2));
    QCOMPARE(w.window->cursor().shape(), Qt::WaitCursor);
    QCOMPARE(w.list->entryTexts(), QStringList({"B", "A"}));
}

void InputListTest::scrollThresholds_data() {
    QTest::addColumn<int>("hover");      // the entry under the pointer, 1 = the top one in view
    QTest::addColumn<int>("y");          // the pointer's height over the entries' area
    QTest::addColumn<int>("direction");  // -1 up, 0 none, +1 down
    QTest::addColumn<int>("rowHeight");

    // Rows 60 pixels high: the top one spans 0..59, the next 60..119, the third is cut off.
    QTest::newRow("top row, 56") << 1 << 56 << -1 << 60;
    QTest::newRow("top row, 57") << 1 << 57 << 0 << 60;
    QTest::newRow("second row, 116") << 2 << 116 << 0 << 60;
    QTest::newRow("second row, 117") << 2 << 117 << 1 << 60;
    QTest::newRow("first entry, 0") << 0 << 0 << 0 << 60;
    QTest::newRow("last entry, low") << 99 << 117 << 0 << 60;
    // Onto a partly shown row: it scrolls only by the band, then stands still with the pointer.
    QTest::newRow("cut-off row below the band") << 3 << 130 << 1 << 60;
    QTest::newRow("cut-off row in the band") << 2 << 105 << 0 << 100;
}

// The band lies where the list is, wherever the window stands; nothing else scrolls in a drag.
void InputListTest::scrollThresholds() {
    QFETCH(int, hover);
    QFETCH(int, y);
    QFETCH(int, direction);
    QFETCH(int, rowHeight);

    ListWindow w;
    QStringList texts;
    for (int i = 1; i <= 100; ++i) {
        texts << QStringLiteral("/tmp/e%1.txt").arg(i, 3, 10, QLatin1Char('0'));
    }
    w.fill(texts);
    w.list->verticalHeader()->setDefaultSectionSize(rowHeight);
    QScrollBar* bar = w.list->verticalScrollBar();
    int top = 50;
    if (hover == 0) {
        top = 1;
        hover = 1;
    } else if (hover == 99) {
        w.list->scrollToBottom();
        top = bar->value() + 1;
        hover = 100 - top + 1;
    }
    if (top == 50) {
        w.list->scrollTo(w.list->model()->index(49, 0), QAbstractItemView::PositionAtTop);
    }
    const int before = bar->value();
    const int hovered = top + hover - 1;
    const int pressed = hover == 1 && top < 100 ? hovered + 1 : hovered - 1;
    QCOMPARE(w.list->indexAt(QPoint(20, y)).row() + 1, hovered);
    QTest::mousePress(w.viewport(), Qt::LeftButton, {}, spot(w, pressed));
    QCOMPARE(bar->value(), before);
    moveTo(w.viewport(), QPoint(20, y));
    QCOMPARE(w.list->entryText(hovered), texts[pressed - 1]);
    const int after = bar->value();
    QCOMPARE((after > before) - (after < before), direction);
    // The pointer holds still: Qt's scrolling of the selection must not carry the entry on.
    if (QByteArray(QTest::currentDataTag()).startsWith("cut-off")) {
        QTest::qWait(QApplication::doubleClickInterval() + 200);
    }
    QCOMPARE(bar->value(), after);
    QCOMPARE(w.list->entryText(hovered), texts[pressed - 1]);
    QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, QPoint(20, y));
    QCOMPARE(bar->value(), after);
    QVERIFY(w.list->hasAutoScroll());
}

void InputListTest::dragOver_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("offered");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("text") << "text" << int(Qt::CopyAction | Qt::MoveAction) << false;
    QTest::newRow("web address") << "remote" << int(Qt::CopyAction) << false;
    QTest::newRow("no data") << "none" << int(Qt::CopyAction) << false;
    QTest::newRow("local file") << "file" << int(Qt::CopyAction) << true;
    QTest::newRow("local file offered as move")
        << "file" << int(Qt::CopyAction | Qt::MoveAction) << true;
    QTest::newRow("local file offered only as move") << "file" << int(Qt::MoveAction) << false;
    QTest::newRow("file and web address") << "mixed" << int(Qt::CopyAction) << true;
}

void InputListTest::dragOver() {
    QFETCH(QString, kind);
    QFETCH(int, offered);
    QFETCH(bool, accepted);

    ListWindow w;
    w.fill({"A"});
    QMimeData data;
    if (kind == "text") {
        data.setText(QStringLiteral("/tmp/not-a-file-list.txt"));
    } else if (kind == "remote") {
        data.setUrls({QUrl(QStringLiteral("https://example.org/x.txt"))});
    } else if (kind == "file") {
        data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/x.txt"))});
    } else if (kind == "mixed") {
        data.setUrls({QUrl(QStringLiteral("https://example.org/x.txt")),
                      QUrl::fromLocalFile(QStringLiteral("/tmp/x.txt"))});
    }
    const auto actions = Qt::DropActions(offered);
    const QPoint at = spot(w, 1);

    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(w.viewport(), &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    if (!accepted) {
        // Qt sends moves and the drop only to a widget that took a drag: let a file list make
        // the list the target first, so the refusal of the moves and of the drop is seen too.
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/x.txt"))});
        QDragEnterEvent target(at, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.viewport(), &target);
        QVERIFY(target.isAccepted());
    }

    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    move.ignore();
    QApplication::sendEvent(w.viewport(), &move);
    QCOMPARE(move.isAccepted(), accepted);
    if (accepted) {
        QCOMPARE(move.dropAction(), Qt::CopyAction);
    } else {
        // Released anyway: nothing is added.
        QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
        drop.ignore();
        QApplication::sendEvent(w.viewport(), &drop);
        QVERIFY(!drop.isAccepted());
        QCoreApplication::processEvents();
        QCOMPARE(w.list->entryTexts(), QStringList({"A"}));
    }
}

}  // namespace pellatrix

QTEST_MAIN(pellatrix::InputListTest)
#include "InputListTest.moc"
