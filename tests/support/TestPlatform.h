#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <optional>

#include "shell/Platform.h"
#include "shell/SettingsStore.h"

namespace pellatrix {

/// The test side of Platform: every box and dialog is answered from a queue that the test fills
/// beforehand, and everything shown is recorded. A call that finds no queued answer, or an answer
/// of another kind, is a failure of the running test (and gets a safe answer: OK, No, Cancel).
/// Nothing is static: each test owns its TestPlatform.
class TestPlatform : public Platform {
public:
    enum class Kind {
        Information,
        Question,
        Warning,
        Input,
        OpenFiles,
        PickFolder,
        Dialog,
        Notice,
        SaveFile
    };

    /// One box or dialog as it was shown.
    struct Shown {
        Kind kind;
        QPointer<QWidget> parent;
        QWidget* parentAtCall = nullptr;  ///< the parent pointer as passed, for identity checks
        QString title;
        QString text;      ///< the box text, the input prompt, the picker prompt
        QString proposal;  ///< the input's pre-filled answer, the picker's start folder, the filter
    };

    /// Runs while the box is "open", e.g. to act on the window in the middle of a handler.
    using During = std::function<void()>;

    void expectInformation(During during = {});
    void expectQuestion(bool yes, During during = {});
    void expectWarning(During during = {});
    void expectInput(const QString& answer, During during = {});
    void expectOpenFiles(const QString& result, During during = {});
    /// The open-file dialog fails as with too many selected files (FsError 20476).
    void expectOpenFilesTooMany(During during = {});
    void expectPickFolder(const QString& folder, During during = {});
    /// The save-file dialog answers `path` ("" for Cancel); its title, proposal and filter are
    /// recorded as title, text and proposal.
    void expectSaveFile(const QString& path, During during = {});
    /// A dialog of the program, shown with runDialog: `during` looks at it (dialog()), then it
    /// ends with `accepted` as its result.
    void expectDialog(bool accepted, During during = {});
    /// The dialog runDialog shows at this moment (none outside one).
    QDialog* dialog() const { return m_dialog; }
    /// The value of every later drawOneToHundred() (1 unless set, so no home page by chance).
    void setDraw(int value) { m_draw = value; }

    const QList<Shown>& shown() const { return m_shown; }
    /// The texts of the boxes of one kind, in order.
    QStringList texts(Kind kind) const;
    const QStringList& openedDocuments() const { return m_documents; }
    const QStringList& openedHomePages() const { return m_homePages; }
    int drawCount() const { return m_drawCount; }
    int pendingAnswers() const { return static_cast<int>(m_queue.size()); }
    /// Unexpected calls met so far, one line each.
    const QStringList& failures() const { return m_failures; }

    /// True when every queued answer was used and no unexpected call happened; otherwise the
    /// reason is recorded as a test failure. For the end of a test:
    /// QVERIFY(p.verifyAllAnswersUsed()).
    bool verifyAllAnswersUsed();

    static QString kindName(Kind kind);

    void information(QWidget* parent, const QString& title, const QString& text) override;
    bool question(QWidget* parent, const QString& title, const QString& text) override;
    void warning(QWidget* parent, const QString& title, const QString& text) override;
    /// Recorded (an empty text for a closed notice); it blocks nothing, so it takes no answer.
    void notice(QWidget* parent, const QString& title, const QString& text) override;
    QString inputText(QWidget* parent, const QString& title, const QString& prompt,
                      const QString& proposal) override;
    QString openFiles(QWidget* parent, const QString& title, const QString& filter) override;
    QString pickFolder(QWidget* parent, const QString& prompt, const QString& startFolder) override;
    QString saveFile(QWidget* parent, const QString& title, const QString& proposal,
                     const QString& filter) override;
    void openDocument(const QString& path) override;
    void openHomePage(const QString& url) override;
    int drawOneToHundred() override;
    int runDialog(QDialog& dialog) override;

private:
    struct Answer {
        Kind kind;
        bool yes = false;
        QString text;
        bool tooMany = false;
        During during;
    };

    void expect(Answer answer);
    /// Records the call and takes the matching answer, or records a failure and gives nothing.
    std::optional<Answer> take(Kind kind, QWidget* parent, const QString& title,
                               const QString& text, const QString& proposal);
    void fail(const QString& message);

    QList<Answer> m_queue;
    QList<Shown> m_shown;
    QStringList m_documents;
    QStringList m_homePages;
    QStringList m_failures;
    QPointer<QDialog> m_dialog;
    int m_draw = 1;
    int m_drawCount = 0;
};

/// A settings store in a fresh temporary folder, removed with the object.
class TemporaryStore {
public:
    TemporaryStore();
    SettingsStore& store() { return m_store; }
    /// The INI file behind the store (it may not exist yet).
    const QString& iniPath() const { return m_iniPath; }
    QString folder() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_iniPath;
    SettingsStore m_store;
};

}  // namespace pellatrix
