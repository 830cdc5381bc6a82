#pragma once

#include <QApplication>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "inputlist/InputList.h"
#include "shell/WindowContext.h"
#include "tests/support/TestPlatform.h"

namespace pellatrix {

/// One failure as the window's error report would have shown it.
struct Reported {
    std::string description;
    std::string location;
    int line;
};

/// A main window stand-in holding the real list at its place, with the test platform, a settings
/// store in a temporary folder and a recorded error report: a fresh one for every test.
class ListWindow {
public:
    ListWindow() {
        window = std::make_unique<QWidget>();
        window->resize(536, 483);
        list = new InputList(window.get());
        list->setGeometry(8, 76, 520, 169);
        list->setHeaderLabels({QStringLiteral("Text File(s)")});
        list->setColumnWidth(0, 466);
        context.window = window.get();
        context.list = list;
        context.platform = &platform;
        context.settings = &settings.store();
        context.report = [this](const std::string& d, const std::string& l, int n) {
            reports.push_back({d, l, n});
        };
        context.applicationTitle = [] { return QStringLiteral("Pellatrix"); };
        context.programFolder = programDir.path();
        context.yield = [] { QCoreApplication::processEvents(); };
        list->setContext(&context);
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }

    QWidget* viewport() const { return list->viewport(); }
    /// Centre of the row at `position` (1-based), in viewport coordinates.
    QPoint rowCentre(int position) const {
        return list->visualRect(list->model()->index(position - 1, 0)).center();
    }
    void fill(const QStringList& texts) { list->appendEntries(texts); }
    void select(int position) { list->setCurrentIndex(list->model()->index(position - 1, 0)); }

    QTemporaryDir programDir;
    TestPlatform platform;
    TemporaryStore settings;
    WindowContext context;
    std::vector<Reported> reports;
    std::unique_ptr<QWidget> window;
    InputList* list = nullptr;
    bool exposed = false;
};

}  // namespace pellatrix
