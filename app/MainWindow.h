#pragma once

#include <QCursor>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/posix/PosixFileSystem.h"
#include "shell/WindowContext.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace pellatrix {

class CreationRun;
class InputList;
class Platform;
class RunMenu;
class SettingsStore;
class TextSource;

/// The program's one window. Building it builds every control and runs the start-up handler; the
/// features behind the buttons are connected in connectHandlers().
class MainWindow : public QWidget {
    Q_OBJECT
public:
    /// Pointer states of the window, as the handlers and the busy periods set them.
    enum PointerState { kPointerDefault = 0, kPointerBusy = 11, kPointerCustom = 99 };

    MainWindow(Platform& platform, SettingsStore& settings, QString programFolder,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    /// The window's context, for the handlers of the other areas.
    WindowContext& context() { return m_context; }
    const QString& applicationTitle() const { return m_applicationTitle; }
    /// 11 while the window shows the wait cursor, else what the hover handlers last chose.
    int pointerState() const;
    void setPointerState(int state);
    /// True when the hand pointer was loaded from the program folder at start-up.
    bool hasHandPointer() const { return m_handLoaded; }
    /// The fixed text exactly as typed (line breaks as LF).
    QString fixedText() const;
    bool runInProgress() const;
    /// The context menu of the background and the list: preview and undo.
    RunMenu* runMenu() const { return m_runMenu; }
    /// Where the fixed text comes from (typed or a file) and whether fields are filled.
    TextSource* textSource() const { return m_textSource; }

    /// What closing the window in the middle of a run or scan does; by default the process ends
    /// there (every setting and every finished file is already on disk).
    void setEndProcess(std::function<void()> endProcess) { m_endProcess = std::move(endProcess); }

    /// Adds the list files named on the command line as a drop of them would: a folder with
    /// every file of its tree, any other path as it is (exact bytes). A path that names nothing
    /// is not added: one box names every such path.
    void addListFiles(const std::vector<std::string>& paths);

    /// The start-up handler; the constructor runs it once.
    void onStartUp();
    /// Stores the fixed text as it now reads.
    void onFixedTextChanged();
    /// Runs the creation over the list's entries.
    void onStartClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    class CreationUiAdapter;

    void createControls();
    void connectHandlers();
    void applySkin();
    void loadHandPointer();
    void yieldToEvents();
    void hoverButton();
    void hoverBackground();
    void hoverAt(const QPoint& globalPos);
    void showWaitOverOwnPointers(bool busy);
    /// Sets up the run's content from the text's source; false when a box told why not.
    bool prepareContent();
    /// Stores the fixed text if a change of it is not stored yet; waits at most `lockWaitMs`
    /// for another copy's lock. A failure keeps it pending, retries on a timer and says so in
    /// a notice that leaves the keyboard to the window.
    void storePendingText(int lockWaitMs);
    /// Shows `text` as the store's notice over the window, "" closes it; a repeat does nothing.
    void tellStoreDelay(const QString& text);
    /// What the notice says while the text waits: why, and what happens next.
    QString storeDelayText() const;

    Platform& m_platform;
    SettingsStore& m_settings;
    QString m_programFolder;
    PosixFileSystem m_fs;
    WindowContext m_context;
    QString m_applicationTitle;
    QCursor m_handCursor;
    bool m_handLoaded = false;
    int m_pointerState = kPointerDefault;
    bool m_shownOnce = false;
    // Controls that showed a pointer of their own when the window became busy, and that pointer.
    QList<QPair<QPointer<QWidget>, QCursor>> m_ownPointers;
    bool m_fixedTextPending = false;
    bool m_closeRequested = false;  // a close waits for the pending text
    QString m_storeDelay;           // why the text could not be stored
    QString m_storeNotice;          // the notice shown, "" for none
    QTimer* m_storeRetry = nullptr;
    std::function<void()> m_endProcess;

    QGroupBox* m_contentFrame = nullptr;
    QGroupBox* m_helpFrame = nullptr;
    QLabel* m_fixedTextLabel = nullptr;
    QPlainTextEdit* m_fixedTextBox = nullptr;
    InputList* m_list = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_listFileHelpButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_addFolderButton = nullptr;
    QPushButton* m_addFilesButton = nullptr;
    QPushButton* m_dynamicTextHelpButton = nullptr;
    QPushButton* m_clearListButton = nullptr;
    QPushButton* m_loadSamplesButton = nullptr;

    std::unique_ptr<CreationUiAdapter> m_creationUi;
    std::unique_ptr<CreationRun> m_creationRun;
    RunMenu* m_runMenu = nullptr;
    TextSource* m_textSource = nullptr;
};

}  // namespace pellatrix
