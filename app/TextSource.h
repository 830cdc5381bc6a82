#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/run/FileContent.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;

namespace pellatrix {

class CreationRun;
class RunFileSystem;
class Platform;
class SettingsStore;

/// Where the window's fixed text comes from: typed in its box, or a file taken as the text (its
/// name and size shown in place of the box, the typed text kept); and whether fields are filled.
/// Both are kept across starts ("TextFile", "Fields"), beside the typed text ("Text1").
class TextSource : public QObject {
public:
    struct Window {
        QWidget* window = nullptr;
        QPlainTextEdit* box = nullptr;  // the typed text's box, which the file's label covers
        Platform* platform = nullptr;
        SettingsStore* settings = nullptr;
        RunFileSystem* fileSystem = nullptr;
        std::function<QString()> title;
    };

    /// Adds its actions to `menu` and shows the source the settings keep.
    TextSource(Window window, QMenu* menu);
    ~TextSource() override;

    QAction* fromFileAction() const { return m_fromFile; }
    QAction* typedTextAction() const { return m_typed; }
    QAction* fieldsAction() const { return m_fields; }
    /// The file taken as the text, "" for the typed text.
    const QString& textFile() const { return m_file; }

    /// "Take the Text from a File...": one file picked in the open-file dialog.
    void takeTextFromFile();
    /// Takes `path` as the text (an empty path: the typed text again), and keeps it so.
    void setTextFile(const QString& path);
    void setFields(bool on);

    /// Sets up `run`'s content before a run or a preview over `lists`: the file copied as a
    /// template (read as text with fields), fields checked in the text and in every list line.
    /// False when it cannot be, told in a box: nothing is read further, nothing written.
    bool prepare(CreationRun& run, const std::string& typedText,
                 const std::vector<std::string>& lists);
    /// The fixed text of the run prepared where the file gives it as text (with fields); none
    /// otherwise: the typed text, or a template that stands for it.
    const std::optional<std::string>& runText() const { return m_runText; }

private:
    void showSource();
    void refuse(const QString& text);
    // Stores a choice; one the store cannot take now is told and holds until the window closes.
    void keep(const QString& key, const QString& value);

    Window m_window;
    QLabel* m_label = nullptr;
    QAction* m_fromFile = nullptr;
    QAction* m_typed = nullptr;
    QAction* m_fields = nullptr;
    QString m_file;
    std::unique_ptr<FileContent> m_content;
    std::optional<std::string> m_runText;
};

}  // namespace pellatrix
