#include "inputlist/AddFiles.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include "engine/FileSystem.h"
#include "engine/ReportLocations.h"
#include "engine/Trap.h"
#include "folderservices/FolderPicker.h"
#include "folderservices/FolderScan.h"
#include "inputlist/CollapseBackslashes.h"
#include "inputlist/InputList.h"
#include "shell/Platform.h"
#include "shell/ReportError.h"
#include "shell/SettingsStore.h"
#include "shell/WindowContext.h"

namespace pellatrix {

namespace {

const QString kDialogTitle = QStringLiteral("Add File(s) - Hold Ctrl to select multiple files");
const QString kDialogFilter = QStringLiteral("All Files (*.*)");
const QString kBadCharacters =
    QStringLiteral("\r\rwas not added because it has bad characters in the filename.");
const QString kExtensionPrompt = QStringLiteral(
    "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all doc "
    "files, etc.)");
const QString kFolderPrompt = QStringLiteral("Please select folder:");
const QString kExtensionKey = QStringLiteral("Extension");
const QString kLastFolderKey = QStringLiteral("LastFolder");

constexpr int kHiddenArchive = kAttrHidden | kAttrArchive;

QString title(const WindowContext& context) {
    return context.applicationTitle ? context.applicationTitle() : QString();
}

void yieldToWindow(const WindowContext& context) {
    if (context.yield) {
        context.yield();
    }
}

// Collects appended paths and hands them to the list in batches: one insertion per batch keeps a
// tree of 100,000 files linear, and a batch at least every few tenths of a second lets the user
// watch the list grow.
class EntryBatch {
public:
    explicit EntryBatch(InputList* list) : m_list(list) { m_sinceFlush.start(); }
    ~EntryBatch() { flush(); }
    EntryBatch(const EntryBatch&) = delete;
    EntryBatch& operator=(const EntryBatch&) = delete;

    void add(const QString& text) { m_pending.append(text); }
    void flushIfDue() {
        if (m_sinceFlush.elapsed() >= kFlushMs) {
            flush();
        }
    }
    void flush() {
        if (m_list != nullptr && !m_pending.isEmpty()) {
            m_list->appendEntries(m_pending);
        }
        m_pending.clear();
        m_sinceFlush.restart();
    }

private:
    static constexpr int kFlushMs = 250;
    InputList* m_list;
    QStringList m_pending;
    QElapsedTimer m_sinceFlush;
};

// A dropped path is a folder when its attributes can be read and carry the directory bit.
bool isDroppedFolder(FileSystem& fs, const std::string& path) {
    try {
        return (fs.attributes(path) & kAttrDirectory) != 0;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

void AddFolderTree(const WindowContext& context, FileSystem& fs, Trap& trap,
                   const std::string& folder, const std::string& pattern) {
    EntryBatch batch(context.list);
    FolderList folders;
    trap.step(112, [&] { folders.push_back(folder + kPathSeparator); });
    trap.step(114, [&] {
        FolderScan scan(fs, context.yield, context.report);
        scan.GetSubDirectories2016(folders, true);
    });
    for (const std::string& entry : folders) {  // 116
        std::string dir;
        trap.step(118, [&] { dir = entry.substr(0, entry.size() - 1); });
        // A folder that cannot be listed adds nothing: the names stay empty.
        std::vector<std::string> names;
        trap.step(120, [&] { names = ListFilesInFolder(fs, dir, pattern); });
        for (const std::string& name : names) {
            if (trap.test(124, [&] { return !name.empty() && name.front() == '~'; })) {
                continue;
            }
            std::string full;
            trap.step(126, [&] { full = dir + kPathSeparator + name; });
            if (trap.test(128, [&] {
                    return IsExistingFile(fs, full) && fs.attributes(full) != kHiddenArchive;
                })) {
                trap.step(128,
                          [&] { batch.add(QString::fromLocal8Bit(CollapseBackslashes(full))); });
            }
        }
        batch.flushIfDue();
        yieldToWindow(context);
    }
}

void PushButton4_Click(const WindowContext& context, FileSystem& fs) {
    Trap trap(locations::kPushButton4, context.report);
    trap.onNumber(kErrDialogResultTooLarge,
                  [&] { ShowTooManyFiles(*context.platform, context.window, title(context)); });

    // 100-106: the request is the title and the one file type; the name starts empty each time.
    QString result;
    trap.step(108, [&] {
        result = context.platform->openFiles(context.window, kDialogTitle, kDialogFilter);
    });
    if (trap.ended() || trap.test(110, [&] { return result.isEmpty(); })) {
        return;
    }
    QStringList parts;
    trap.step(112, [&] { parts = result.split(QChar(0)); });

    if (parts.size() == 1) {
        const QString path = parts.first();
        if (trap.test(114, [&] { return PathIsMissing(fs, path.toLocal8Bit().toStdString()); })) {
            trap.step(116, [&] {
                context.platform->information(context.window, title(context),
                                              path + kBadCharacters);
            });
            return;
        }
        trap.step(120, [&] { context.list->appendEntry(path); });
        return;
    }

    EntryBatch batch(context.list);
    std::string folder;
    trap.step(124, [&] { folder = parts.first().toLocal8Bit().toStdString(); });
    for (qsizetype i = 1; i < parts.size(); ++i) {
        // A trailing NUL gives an empty last part: no file is named there.
        if (parts[i].isEmpty()) {
            continue;
        }
        QString path;
        trap.step(132, [&] {
            const std::string joined =
                folder + kPathSeparator + parts[i].toLocal8Bit().toStdString();
            path = QString::fromLocal8Bit(CollapseBackslashes(joined));
        });
        if (trap.test(136, [&] { return PathIsMissing(fs, path.toLocal8Bit().toStdString()); })) {
            // The paths before this one are in the list while its box is shown.
            batch.flush();
            trap.step(138, [&] {
                context.platform->information(context.window, title(context),
                                              path + kBadCharacters);
            });
            continue;
        }
        trap.step(140, [&] { batch.add(path); });
    }
}

void PushButton3_Click(const WindowContext& context, FileSystem& fs) {
    Trap trap(locations::kPushButton3, context.report);

    QString extension;
    trap.step(100, [&] {
        extension = context.platform->inputText(
            context.window, title(context), kExtensionPrompt,
            context.settings->GetSetting(kExtensionKey, QStringLiteral("txt")));
    });
    if (trap.test(102, [&] { return extension.isEmpty(); })) {
        return;
    }
    trap.step(104, [&] { context.settings->SaveSetting(kExtensionKey, extension); });

    QString folder;
    trap.step(106, [&] {
        folder = PickFolder(*context.platform, context.window, kFolderPrompt,
                            context.settings->GetSetting(kLastFolderKey, QString()));
    });
    if (trap.test(108, [&] { return folder.isEmpty(); })) {
        return;
    }
    trap.step(333, [&] { context.settings->SaveSetting(kLastFolderKey, folder); });
    std::string folderBytes;
    trap.step(334, [&] { folderBytes = folder.toLocal8Bit().toStdString(); });

    trap.step(110, [&] { context.window->setCursor(Qt::WaitCursor); });
    AddFolderTree(context, fs, trap, folderBytes, "*." + extension.toLocal8Bit().toStdString());
    trap.step(132, [&] { context.window->setCursor(Qt::ArrowCursor); });
}

void ListView1_OLEDragDrop(const WindowContext& context, FileSystem& fs, const QStringList& paths) {
    // The drop reports nothing: a failure skips the statement and the drop goes on.
    Trap quiet{std::string(), ErrorReporter()};
    const qsizetype count = paths.size();
    for (qsizetype i = 0; i < count; ++i) {
        const std::string path = paths[i].toLocal8Bit().toStdString();
        if (isDroppedFolder(fs, path)) {
            AddFolderTree(context, fs, quiet, path, "*.*");
        } else {
            context.list->appendEntry(paths[i]);
        }
    }
}

void PushButton4_Click(const WindowContext& context) {
    PosixFileSystem fs;
    PushButton4_Click(context, fs);
}

void PushButton3_Click(const WindowContext& context) {
    PosixFileSystem fs;
    PushButton3_Click(context, fs);
}

void ListView1_OLEDragDrop(const WindowContext& context, const QStringList& paths) {
    PosixFileSystem fs;
    ListView1_OLEDragDrop(context, fs, paths);
}

}  // namespace pellatrix
