#pragma once

#include <QDialog>
#include <QString>

class QWidget;

namespace pellatrix {

/// Every box, dialog and outside program the application reaches, behind one interface: the real
/// side uses Qt's dialogs and QDesktopServices; the test side answers from a queue owned by the
/// test and records what was shown, so no test blocks on a modal box or opens a browser.
class Platform {
public:
    virtual ~Platform() = default;

    /// Modal box with `text`, an OK button and no icon.
    virtual void information(QWidget* parent, const QString& title, const QString& text) = 0;
    /// Modal box with `text`, Yes and No buttons and no icon. True for Yes.
    virtual bool question(QWidget* parent, const QString& title, const QString& text) = 0;
    /// Application-modal box with the exclamation icon and an OK button (the error report).
    virtual void warning(QWidget* parent, const QString& title, const QString& text) = 0;
    /// Tells without taking the keyboard: a strip inside `parent` (not a window of its own, so
    /// no window manager can activate it), without blocking (typing in the window goes on); its
    /// close button or an empty text closes it, a later notice in the same parent replaces it.
    /// Returns at once.
    virtual void notice(QWidget* parent, const QString& title, const QString& text) = 0;
    /// Modal input box with one text field pre-filled with `proposal`; OK and Cancel.
    /// Returns the text, or "" on Cancel.
    virtual QString inputText(QWidget* parent, const QString& title, const QString& prompt,
                              const QString& proposal) = 0;
    /// Modal multi-selection open-file dialog. Returns "" on Cancel, the full path for one file,
    /// or the folder, a NUL character and the chosen names separated by NUL characters.
    /// Throws FsError 20476 when that result, with one NUL after each part and one more at the
    /// end, would pass 30000 characters.
    virtual QString openFiles(QWidget* parent, const QString& title, const QString& filter) = 0;
    /// Modal folder chooser showing `prompt`, folders only, `startFolder` preselected when it
    /// exists. Returns the chosen folder's full path, or "" on Cancel.
    virtual QString pickFolder(QWidget* parent, const QString& prompt,
                               const QString& startFolder) = 0;
    /// Modal save-file dialog titled `title`, opened at `proposal` (a full path: its folder and
    /// a file name to keep or change), offering `filter`; it asks before an existing file is
    /// chosen. Returns the chosen full path, or "" on Cancel. The default cancels.
    virtual QString saveFile(QWidget* /*parent*/, const QString& /*title*/,
                             const QString& /*proposal*/, const QString& /*filter*/) {
        return {};
    }
    /// Opens a local file or folder with its associated program (no shell); returns at once.
    /// When no opener exists, or the opener ends with a failure (no program for it: xdg-open's
    /// exit status 3), a box over the active window says what could not be opened.
    virtual void openDocument(const QString& path) = 0;
    /// Opens a web address in the user's browser; returns at once. A missing or failing opener
    /// is told in a box as for openDocument.
    virtual void openHomePage(const QString& url) = 0;
    /// A whole number from 1 to 100, drawn from a generator seeded with the seconds since
    /// midnight.
    virtual int drawOneToHundred() = 0;
    /// Shows a dialog of the program modally; returns its result (QDialog::Accepted or
    /// QDialog::Rejected).
    virtual int runDialog(QDialog& dialog) { return dialog.exec(); }
};

}  // namespace pellatrix
