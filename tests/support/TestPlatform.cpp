#include "tests/support/TestPlatform.h"

#include <QTest>
#include <QtGlobal>

#include "engine/fs/FsError.h"

namespace pellatrix {

QString TestPlatform::kindName(Kind kind) {
    switch (kind) {
        case Kind::Information:
            return QStringLiteral("information");
        case Kind::Question:
            return QStringLiteral("question");
        case Kind::Warning:
            return QStringLiteral("warning");
        case Kind::Input:
            return QStringLiteral("input");
        case Kind::OpenFiles:
            return QStringLiteral("open-files");
        case Kind::PickFolder:
            return QStringLiteral("pick-folder");
        case Kind::Dialog:
            return QStringLiteral("dialog");
        case Kind::Notice:
            return QStringLiteral("notice");
        case Kind::SaveFile:
            return QStringLiteral("save-file");
    }
    return QStringLiteral("?");
}

void TestPlatform::expect(Answer answer) {
    m_queue.append(std::move(answer));
}

void TestPlatform::expectInformation(During during) {
    expect({Kind::Information, false, {}, false, std::move(during)});
}

void TestPlatform::expectQuestion(bool yes, During during) {
    expect({Kind::Question, yes, {}, false, std::move(during)});
}

void TestPlatform::expectWarning(During during) {
    expect({Kind::Warning, false, {}, false, std::move(during)});
}

void TestPlatform::expectInput(const QString& answer, During during) {
    expect({Kind::Input, false, answer, false, std::move(during)});
}

void TestPlatform::expectOpenFiles(const QString& result, During during) {
    expect({Kind::OpenFiles, false, result, false, std::move(during)});
}

void TestPlatform::expectOpenFilesTooMany(During during) {
    expect({Kind::OpenFiles, false, {}, true, std::move(during)});
}

void TestPlatform::expectPickFolder(const QString& folder, During during) {
    expect({Kind::PickFolder, false, folder, false, std::move(during)});
}

void TestPlatform::expectSaveFile(const QString& path, During during) {
    expect({Kind::SaveFile, false, path, false, std::move(during)});
}

void TestPlatform::expectDialog(bool accepted, During during) {
    expect({Kind::Dialog, accepted, {}, false, std::move(during)});
}

QStringList TestPlatform::texts(Kind kind) const {
    QStringList result;
    for (const Shown& s : m_shown) {
        if (s.kind == kind) {
            result << s.text;
        }
    }
    return result;
}

void TestPlatform::fail(const QString& message) {
    m_failures << message;
    qWarning("TestPlatform: %s", qPrintable(message));
    // Mark the running Qt test as failed once; later checks of the test still run.
    if (QTest::currentTestFunction() && !QTest::currentTestFailed()) {
        QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    }
}

std::optional<TestPlatform::Answer> TestPlatform::take(Kind kind, QWidget* parent,
                                                       const QString& title, const QString& text,
                                                       const QString& proposal) {
    m_shown.append({kind, QPointer<QWidget>(parent), parent, title, text, proposal});
    if (m_queue.isEmpty()) {
        fail(QStringLiteral("unexpected %1 box \"%2\": no answer queued")
                 .arg(kindName(kind), text.left(200)));
        return std::nullopt;
    }
    if (m_queue.first().kind != kind) {
        fail(QStringLiteral("unexpected %1 box \"%2\": the next queued answer is for a %3")
                 .arg(kindName(kind), text.left(200), kindName(m_queue.first().kind)));
        return std::nullopt;
    }
    Answer answer = m_queue.takeFirst();
    if (answer.during) {
        answer.during();
    }
    return answer;
}

void TestPlatform::information(QWidget* parent, const QString& title, const QString& text) {
    take(Kind::Information, parent, title, text, {});
}

bool TestPlatform::question(QWidget* parent, const QString& title, const QString& text) {
    const auto answer = take(Kind::Question, parent, title, text, {});
    return answer && answer->yes;
}

void TestPlatform::warning(QWidget* parent, const QString& title, const QString& text) {
    take(Kind::Warning, parent, title, text, {});
}

void TestPlatform::notice(QWidget* parent, const QString& title, const QString& text) {
    m_shown.append({Kind::Notice, QPointer<QWidget>(parent), parent, title, text, {}});
}

QString TestPlatform::inputText(QWidget* parent, const QString& title, const QString& prompt,
                                const QString& proposal) {
    const auto answer = take(Kind::Input, parent, title, prompt, proposal);
    return answer ? answer->text : QString();
}

QString TestPlatform::openFiles(QWidget* parent, const QString& title, const QString& filter) {
    const auto answer = take(Kind::OpenFiles, parent, title, {}, filter);
    if (!answer) {
        return QString();
    }
    if (answer->tooMany) {
        throw FsError(kErrDialogResultTooLarge,
                      "The names of the selected files do not fit in 30000 characters");
    }
    return answer->text;
}

QString TestPlatform::pickFolder(QWidget* parent, const QString& prompt,
                                 const QString& startFolder) {
    const auto answer = take(Kind::PickFolder, parent, {}, prompt, startFolder);
    return answer ? answer->text : QString();
}

QString TestPlatform::saveFile(QWidget* parent, const QString& title, const QString& proposal,
                               const QString& filter) {
    const auto answer = take(Kind::SaveFile, parent, title, proposal, filter);
    return answer ? answer->text : QString();
}

void TestPlatform::openDocument(const QString& path) {
    m_documents << path;
}

void TestPlatform::openHomePage(const QString& url) {
    m_homePages << url;
}

int TestPlatform::drawOneToHundred() {
    ++m_drawCount;
    return m_draw;
}

int TestPlatform::runDialog(QDialog& dialog) {
    m_dialog = &dialog;
    // Shown as the real one would be, so a test sees its layout and focus.
    dialog.show();
    const auto answer = take(Kind::Dialog, dialog.parentWidget(), dialog.windowTitle(),
                             dialog.accessibleDescription(), {});
    dialog.hide();
    m_dialog = nullptr;
    return answer && answer->yes ? QDialog::Accepted : QDialog::Rejected;
}

bool TestPlatform::verifyAllAnswersUsed() {
    bool ok = m_failures.isEmpty();
    if (!m_queue.isEmpty()) {
        QStringList kinds;
        for (const Answer& a : m_queue) {
            kinds << kindName(a.kind);
        }
        fail(QStringLiteral("%1 queued answer(s) never used: %2")
                 .arg(m_queue.size())
                 .arg(kinds.join(QStringLiteral(", "))));
        ok = false;
    }
    return ok;
}

TemporaryStore::TemporaryStore()
    : m_iniPath(m_dir.filePath(QStringLiteral("Pellatrix.conf"))), m_store(m_iniPath) {}

}  // namespace pellatrix
