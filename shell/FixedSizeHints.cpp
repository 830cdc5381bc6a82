#include "shell/FixedSizeHints.h"

#include <QtGui/qtguiglobal.h>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#endif

namespace pellatrix {

namespace {

#if QT_CONFIG(xcb)
// The Motif hints as window managers read them: flags, functions, decorations, input mode,
// status, each a 32-bit item.
constexpr quint32 kHintsFunctions = 1U << 0;
constexpr quint32 kHintsDecorations = 1U << 1;
constexpr quint32 kFuncMove = 1U << 2;
constexpr quint32 kFuncMinimize = 1U << 3;
constexpr quint32 kFuncClose = 1U << 5;
constexpr quint32 kDecorBorder = 1U << 1;
constexpr quint32 kDecorTitle = 1U << 3;
constexpr quint32 kDecorMenu = 1U << 4;
constexpr quint32 kDecorMinimize = 1U << 5;

void setMotifHints(QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    static const char kName[] = "_MOTIF_WM_HINTS";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof kName - 1, kName), nullptr);
    if (atom == nullptr) {
        return;
    }
    const bool minimise = window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint);
    const quint32 hints[5] = {
        kHintsFunctions | kHintsDecorations,
        kFuncMove | kFuncClose | (minimise ? kFuncMinimize : 0U),
        kDecorBorder | kDecorTitle | kDecorMenu | (minimise ? kDecorMinimize : 0U),
        0,
        0,
    };
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE,
                        static_cast<xcb_window_t>(window->winId()), atom->atom, atom->atom, 32, 5,
                        hints);
    xcb_flush(connection);
    free(atom);
}
#endif

class FixedSizeWatcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // A Wayland compositor may send the maximised or full-screen state whatever the window
        // asks (weston's Super+Shift+M does), and then requires the surface at exactly that
        // size: a window held at one size by its maximum answers with its own and is cut off
        // for a protocol error. So there the maximum is lifted, on the native window just before
        // it is mapped (after the widget's own show, where a message box fixes its size anew):
        // it takes what the compositor gives, and comes back to its one size below.
        if (event->type() == QEvent::Show && watched->isWindowType()) {
            auto* window = static_cast<QWindow*>(watched);
            if (window->flags().testFlag(Qt::MSWindowsFixedSizeDialogHint) &&
                QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
                window->setMaximumSize(QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
            }
        }
        const bool show = event->type() == QEvent::Show;
        const bool state = event->type() == QEvent::WindowStateChange;
        const bool resize = event->type() == QEvent::Resize;
        if ((show || state || resize) && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget->isWindow() &&
                widget->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint)) {
                if (show) {
                    // Show arrives before the window is mapped, when the window manager reads
                    // the hints.
                    ApplyFixedSizeHints(widget);
                } else if (resize) {
                    // Resized from outside in its normal state (a Wayland compositor's resize,
                    // which the lifted maximum lets through): back to its one size.
                    if (!(widget->windowState() & kRefused) &&
                        widget->minimumSize() == widget->maximumSize() &&
                        widget->size() != widget->minimumSize()) {
                        QTimer::singleShot(0, widget, [widget] {
                            if (!(widget->windowState() & kRefused)) {
                                widget->resize(widget->minimumSize());
                            }
                        });
                    }
                } else if (widget->windowState() & kRefused) {
                    // Some window managers (openbox, for every normal window) still offer full
                    // screen, and Qt's own title bar on Wayland a maximise button: the window
                    // goes back to its one size at once.
                    QTimer::singleShot(0, widget, [widget] {
                        widget->setWindowState(widget->windowState() & ~kRefused);
                    });
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }

    static constexpr Qt::WindowStates kRefused = Qt::WindowMaximized | Qt::WindowFullScreen;
};

}  // namespace

void ApplyFixedSizeHints(QWidget* window) {
#if QT_CONFIG(xcb)
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        setMotifHints(window);
    }
#else
    Q_UNUSED(window);
#endif
}

Qt::WindowFlags FixedSizeFlags(Qt::WindowFlags flags) {
    return (flags & ~Qt::WindowMaximizeButtonHint) | Qt::MSWindowsFixedSizeDialogHint;
}

void InstallFixedSizeHints() {
    static FixedSizeWatcher* watcher = nullptr;
    if (watcher == nullptr && QCoreApplication::instance() != nullptr) {
        watcher = new FixedSizeWatcher(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(watcher);
    }
}

}  // namespace pellatrix
