#include "inputlist/AddFiles.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <optional>

#include "engine/posix/PosixFileSystem.h"
#include "engine/run/ReportLocations.h"
#include "engine/run/Trap.h"
#include "folderservices/FolderPicker.h"
#include "folderservices/FolderScan.h"
#include "inputlist/CollapseBackslashes.h"
#include "inputlist/InputList.h"
#include "inputlist/InputListModel.h"
#include "shell/Platform.h"
#include "shell/ReportError.h"
#include "shell/SettingsStore.h"
#include "shell/WindowContext.h"
#include "shell/Yield.h"

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

QString title(const WindowContext& context) {
    return context.applicationTitle ? context.applicationTitle() : QString();
}

void yieldToWindow(const WindowContext& context) {
    if (context.yield) {
        context.yield();
    }
}

// Collects the dialog's paths and hands them to the list in one insertion.
class EntryBatch {
public:
    explicit EntryBatch(InputList* list) : m_list(list) {}
    ~EntryBatch() { flush(); }
    EntryBatch(const EntryBatch&) = delete;
    EntryBatch& operator=(const EntryBatch&) = delete;

    void add(std::string_view path) { m_pending.add(path); }
    void flush() {
        if (m_list != nullptr && !m_pending.empty()) {
            m_list->appendPaths(m_pending);
        }
        m_pending.clear();
    }

private:
    InputList* m_list;
    PathBatch m_pending;
};

// A folder add's paths, written straight into the list's own storage as they are found, once, and
// shown in batches: every few hundredths of a second before the window handles its events, and
// whenever the staged paths reach a size, so that one insertion never grows with the speed of
// the machine.
class StreamedEntries {
public:
    explicit StreamedEntries(InputList* list)
        : m_model(list != nullptr ? qobject_cast<InputListModel*>(list->model()) : nullptr) {
        m_sinceShown.start();
    }
    ~StreamedEntries() { show(); }
    StreamedEntries(const StreamedEntries&) = delete;
    StreamedEntries& operator=(const StreamedEntries&) = delete;

    void add(std::string_view folderPart, std::string_view name) {
        if (m_model == nullptr) {
            return;
        }
        m_model->stage(folderPart, name);
        if (m_model->stagedCount() >= kMaxStagedEntries ||
            m_model->stagedBytes() >= kMaxStagedBytes) {
            show();
        }
    }
    // Called ahead of each yield. Every insertion makes the view work out the place of every
    // row when it next paints, which at a million rows costs more than the scan of many folders,
    // so the list is brought up to date at most twenty times a second: still a list that visibly
    // grows. Where every yield lets events through (interval 0), before each one.
    void showBeforeYield() {
        const int interval = yieldInterval();
        if (interval == 0 || m_sinceShown.elapsed() >= std::max(interval, kShowEveryMs)) {
            show();
        }
    }
    void show() {
        if (m_model != nullptr) {
            m_model->commitStaged();
        }
        m_sinceShown.restart();
    }

private:
    static constexpr int kShowEveryMs = 50;
    static constexpr std::size_t kMaxStagedEntries = 16384;
    static constexpr std::size_t kMaxStagedBytes = std::size_t{1} << 20;
    InputListModel* m_model;
    QElapsedTimer m_sinceShown;
};

// A dropped path is a folder when its attributes can be read and carry the directory bit.
bool isDroppedFolder(FileSystem& fs, const std::string& path) {
    try {
        return (fs.attributes(path) & kAttrDirectory) != 0;
    } catch (const std::exception&) {
        return false;
    }
}

// The dialog answers in text, and a name that is not valid UTF-8 comes back with replacement
// characters. Each such part of the path is looked up among the real names of its folder: the one
// name that shows as that part gives the bytes. With none or several, the text's own bytes stay,
// and the path is refused as missing rather than added as a path that is not on disk.
std::string exactDialogPath(FileSystem& fs, const QString& path) {
    if (!path.contains(QChar::ReplacementCharacter)) {
        return path.toLocal8Bit().toStdString();
    }
    const QStringList parts = path.split(QChar(kPathSeparator));
    std::string exact;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            exact += kPathSeparator;
        }
        const QString& part = parts[i];
        std::string bytes = part.toLocal8Bit().toStdString();
        if (part.contains(QChar::ReplacementCharacter)) {
            try {
                const std::string folder = exact.empty() ? std::string(".") : exact;
                std::vector<std::string> names = fs.subFolderNames(folder);
                for (std::string& name : fs.fileNames(folder)) {
                    names.push_back(std::move(name));
                }
                int matches = 0;
                for (const std::string& name : names) {
                    if (QString::fromLocal8Bit(name) == part) {
                        ++matches;
                        bytes = name;
                    }
                }
                if (matches != 1) {
                    bytes = part.toLocal8Bit().toStdString();
                }
            } catch (const std::exception&) {
                // An unreadable folder: the text's bytes stay.
            }
        }
        exact += bytes;
    }
    return exact;
}

}  // namespace

void AddFolderTree(const WindowContext& context, FileSystem& fs, Trap& trap,
                   const std::string& folder, const std::string& pattern) {
    StreamedEntries entries(context.list);
    const auto yield = [&] {
        entries.showBeforeYield();
        yieldToWindow(context);
    };
    std::string start;
    if (!trap.step(112, [&] { start = folder + kPathSeparator; })) {
        return;
    }
    // 116-130 run for each folder of the scan's list as soon as the scan has read it, so the list
    // grows during the add, in the order the whole list would give. The scan keeps each folder's
    // matching files from the read that finds its subfolders, so no folder is read twice.
    const FolderScan::FolderSink addFiles = [&](const std::string& entry,
                                                std::optional<std::vector<ListedFile>> kept) {
        std::string dir;
        trap.step(118, [&] { dir = entry.substr(0, entry.size() - 1); });
        // A folder that cannot be listed adds nothing: the files stay empty. The listing answers
        // the filter's questions (a regular file? exactly hidden + archive?) as it goes, at one
        // look-up per file at most.
        std::vector<ListedFile> files;
        trap.step(120, [&] {
            files = kept ? std::move(*kept) : ListFilesWithAttributes(fs, dir, pattern);
        });
        // A name holds no separator, so tidying the folder part once gives the same path as
        // tidying each full path: no pair of separators can span the join.
        std::string folderPart;
        trap.step(126, [&] { folderPart = CollapseBackslashes(dir + kPathSeparator); });
        for (const ListedFile& file : files) {
            const std::string& name = file.name;
            if (trap.test(124, [&] { return !name.empty() && name.front() == '~'; })) {
                continue;
            }
            if (trap.test(128, [&] { return !file.hiddenArchive; })) {
                trap.step(128, [&] { entries.add(folderPart, name); });
            }
        }
        yield();
    };
    FolderScan scan(fs, yield, context.report);
    trap.step(114, [&] { scan.streamTree(start, pattern, addFiles); });
}

void onAddFilesClicked(const WindowContext& context, FileSystem& fs) {
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
        std::string exact;
        if (trap.test(114, [&] {
                exact = exactDialogPath(fs, path);
                return PathIsMissing(fs, exact);
            })) {
            trap.step(116, [&] {
                context.platform->information(context.window, title(context),
                                              path + kBadCharacters);
            });
            return;
        }
        trap.step(120, [&] { context.list->appendEntryBytes(exact); });
        return;
    }

    EntryBatch batch(context.list);
    QString folder;
    trap.step(124, [&] { folder = parts.first(); });
    for (qsizetype i = 1; i < parts.size(); ++i) {
        // A trailing NUL gives an empty last part: no file is named there.
        if (parts[i].isEmpty()) {
            continue;
        }
        std::string exact;
        QString path;
        trap.step(132, [&] {
            exact =
                CollapseBackslashes(exactDialogPath(fs, folder + QChar(kPathSeparator) + parts[i]));
            path = QString::fromLocal8Bit(exact);
        });
        if (trap.test(136, [&] { return PathIsMissing(fs, exact); })) {
            // The paths before this one are in the list while its box is shown.
            batch.flush();
            trap.step(138, [&] {
                context.platform->information(context.window, title(context),
                                              path + kBadCharacters);
            });
            continue;
        }
        trap.step(140, [&] { batch.add(exact); });
    }
}

void onAddFolderClicked(const WindowContext& context, FileSystem& fs) {
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
    trap.step(334, [&] { folderBytes = exactDialogPath(fs, folder); });

    trap.step(110, [&] { context.window->setCursor(Qt::WaitCursor); });
    AddFolderTree(context, fs, trap, folderBytes, "*." + extension.toLocal8Bit().toStdString());
    trap.step(132, [&] { context.window->setCursor(Qt::ArrowCursor); });
}

void onPathsDropped(const WindowContext& context, FileSystem& fs,
                    const std::vector<std::string>& paths) {
    // The drop reports nothing: a failure skips the statement and the drop goes on.
    Trap quiet{std::string(), ErrorReporter()};
    const std::size_t count = paths.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (isDroppedFolder(fs, paths[i])) {
            AddFolderTree(context, fs, quiet, paths[i], "*.*");
        } else {
            quiet.step(0, [&] { context.list->appendEntryBytes(paths[i]); });
        }
    }
}

void onAddFilesClicked(const WindowContext& context) {
    PosixFileSystem fs;
    onAddFilesClicked(context, fs);
}

void onAddFolderClicked(const WindowContext& context) {
    PosixFileSystem fs;
    onAddFolderClicked(context, fs);
}

void onPathsDropped(const WindowContext& context, const std::vector<std::string>& paths) {
    PosixFileSystem fs;
    onPathsDropped(context, fs, paths);
}

}  // namespace pellatrix
