#pragma once

#include <QString>
#include <functional>

#include "engine/run/Trap.h"

class QWidget;

namespace pellatrix {

class Platform;
class SettingsStore;
class InputList;

/// What the handlers of the window's features need of it. The main window owns one and passes
/// it to the handlers of the input list, the adding ways and the guidance buttons.
struct WindowContext {
    QWidget* window = nullptr;  ///< the main window (owner of boxes, its cursor = busy state)
    InputList* list = nullptr;  ///< the input list
    Platform* platform = nullptr;
    SettingsStore* settings = nullptr;
    ErrorReporter report;                       ///< ReportError, shown over `window`
    std::function<QString()> applicationTitle;  ///< ApplicationTitle as set at start-up
    QString programFolder;                      ///< where the program's own files lie, no final '/'
    std::function<void()> yield;                ///< lets the window handle pending events
};

}  // namespace pellatrix
