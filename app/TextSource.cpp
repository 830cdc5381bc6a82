#include "app/TextSource.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <exception>

#include "engine/fs/FsError.h"
#include "engine/run/CreationRun.h"
#include "shell/Platform.h"
#include "shell/SettingsStore.h"

namespace pellatrix {

namespace {

const QString kTextFileKey = QStringLiteral("TextFile");
const QString kFieldsKey = QStringLiteral("Fields");

std::string bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

QString shown(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TextSource::TextSource(Window window, QMenu* menu) : QObject(window.window), m_window(window) {
    m_label = new QLabel(m_window.box->parentWidget());
    m_label->setObjectName(kTextFileKey);
    m_label->setGeometry(m_window.box->geometry());
    m_label->setFrameShape(QFrame::StyledPanel);
    m_label->setWordWrap(true);
    m_label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_label->setAccessibleName(m_window.box->accessibleName());
    m_label->hide();

    menu->addSeparator();
    m_fromFile = menu->addAction(QStringLiteral("Take the Text from a File..."), this,
                                 &TextSource::takeTextFromFile);
    m_typed =
        menu->addAction(QStringLiteral("Use the Typed Text"), this, [this] { setTextFile({}); });
    m_fields = menu->addAction(QStringLiteral("Fill Fields in the Texts"));
    m_fields->setCheckable(true);
    m_fields->setChecked(m_window.settings->GetSetting(kFieldsKey, false) ==
                         QStringLiteral("True"));
    connect(m_fields, &QAction::toggled, this, &TextSource::setFields);

    m_file = m_window.settings->GetSetting(kTextFileKey, QString());
    showSource();
}

TextSource::~TextSource() = default;

void TextSource::takeTextFromFile() {
    const QString chosen = m_window.platform->openFiles(
        m_window.window, QStringLiteral("Take the Text from a File"), QStringLiteral("*"));
    if (chosen.isEmpty()) {
        return;
    }
    if (chosen.contains(QChar(0))) {
        refuse(QStringLiteral("Choose one file: its content becomes the text of every file."));
        return;
    }
    setTextFile(chosen);
}

void TextSource::setTextFile(const QString& path) {
    m_file = path;
    showSource();
    keep(kTextFileKey, m_file);
}

void TextSource::setFields(bool on) {
    if (m_fields->isChecked() != on) {
        m_fields->setChecked(on);  // comes back here through toggled
        return;
    }
    keep(kFieldsKey, on ? QStringLiteral("True") : QStringLiteral("False"));
}

void TextSource::keep(const QString& key, const QString& value) {
    try {
        m_window.settings->SaveSetting(key, value);
    } catch (const std::exception& e) {
        refuse(QStringLiteral("This choice holds until the window closes, but it cannot be kept "
                              "for the next start: %1")
                   .arg(shown(e.what())));
    }
}

void TextSource::showSource() {
    m_typed->setEnabled(!m_file.isEmpty());
    m_label->setVisible(!m_file.isEmpty());
    m_window.box->setVisible(m_file.isEmpty());
    if (m_file.isEmpty()) {
        return;
    }
    const QFileInfo file(m_file);
    const QString size =
        file.isFile() ? QLocale().toString(file.size()) +
                            (file.size() == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"))
                      : QStringLiteral("not found");
    m_label->setText(QStringLiteral("From the file %1 (%2)").arg(file.fileName(), size));
    m_label->setToolTip(m_file);
}

void TextSource::refuse(const QString& text) {
    m_window.platform->information(m_window.window, m_window.title(), text);
}

bool TextSource::prepare(CreationRun& run, const std::string& typedText,
                         const std::vector<std::string>& lists) {
    RunFileSystem& fs = *m_window.fileSystem;
    const bool fields = m_fields->isChecked();
    m_content = std::make_unique<FileContent>();
    m_content->fillFields(fields);
    m_runText.reset();
    run.setContent(nullptr);
    if (!m_file.isEmpty()) {
        const std::string path = bytes(m_file);
        try {
            const FileIdentity file = fs.fileIdentity(path);
            for (const std::string& list : lists) {
                try {
                    if (fs.fileIdentity(list) == file) {
                        refuse(QStringLiteral("The text file %1 is one of the list files. Nothing "
                                              "was written.")
                                   .arg(m_file));
                        return false;
                    }
                } catch (const std::exception&) {
                    // A list that is not there is told by the run.
                }
            }
            std::unique_ptr<TemplateFile> opened = fs.openTemplate(path);
            if (!opened) {
                throw FsError(kErrPathFileAccess,
                              "Cannot open '" + path + "' for reading: it is not a regular file");
            }
            if (fields && opened->size > FileContent::kFieldsTemplateMax) {
                refuse(QStringLiteral("The text file %1 is too large to fill fields in (%2 MiB "
                                      "at most). Turn off \"Fill Fields in the Texts\" to copy "
                                      "it.")
                           .arg(m_file)
                           .arg(FileContent::kFieldsTemplateMax >> 20));
                return false;
            }
            if (fields) {
                std::string text;
                fs.readFile(path, [&](std::string_view chunk) { text.append(chunk); });
                m_runText = std::move(text);
            } else {
                m_content->useTemplate(std::move(opened));
            }
        } catch (const std::exception& e) {
            refuse(
                QStringLiteral("The text cannot be taken from the file: %1").arg(shown(e.what())));
            return false;
        }
        run.protectFile(path);
    }
    std::string problem;
    if (!m_content->prepare(m_runText.value_or(typedText), problem)) {
        refuse(QStringLiteral("The fixed text: %1. Nothing was written.").arg(shown(problem)));
        return false;
    }
    if (fields) {
        if (const auto bad = FileContent::CheckLists(fs, lists, false)) {
            refuse(QStringLiteral("%1, line %2: %3. Nothing was written.")
                       .arg(shown(lists[bad->list - 1]))
                       .arg(bad->line)
                       .arg(shown(bad->why)));
            return false;
        }
    }
    run.setContent(m_content->active() ? m_content.get() : nullptr);
    return true;
}

}  // namespace pellatrix
