#pragma once

#include <Qt>

class QWidget;

namespace pellatrix {

/// Makes every window flagged Qt::MSWindowsFixedSizeDialogHint (the main window, the message and
/// input boxes) offer neither maximise nor resize when it is shown: the flags say so to Windows
/// and to Qt's own frames, but on X11 Qt lists resizing in _MOTIF_WM_HINTS whenever a window has
/// a title, so openbox, xfwm4 and mutter would still offer both. Installed once on the
/// application; windows that can change size (the file dialogs) are left alone.
/// A window manager that still makes such a window maximised or full screen (openbox offers full
/// screen to every normal and dialog window, whatever its hints; Qt's own title bar on Wayland
/// draws a maximise button) sees it return to its normal state at once.
/// Openbox 3.6 honours these hints (no resize, no maximise among its allowed actions) yet keeps
/// the place of a disabled button that stands between an enabled one and the title, so with its
/// default layout the maximise button stays between minimise and close, inert; the default theme
/// draws it like an enabled one. No hint of ours changes that layout.
/// On Wayland the window announces only its smallest size: a compositor that maximises it anyway
/// requires exactly the maximised size, which a window held at one size cannot give.
void InstallFixedSizeHints();

/// The same for one window that is already shown or about to be.
void ApplyFixedSizeHints(QWidget* window);

/// `flags` of a fixed-size window: no maximise button, fixed size.
Qt::WindowFlags FixedSizeFlags(Qt::WindowFlags flags);

}  // namespace pellatrix
