#include "guidance/GuidanceHandlers.h"

#include <QByteArray>
#include <array>
#include <exception>
#include <string>

#include "engine/fs/FsError.h"
#include "engine/lists/PathRules.h"
#include "engine/posix/PosixFileSystem.h"
#include "engine/run/ReportLocations.h"
#include "folderservices/FolderScan.h"
#include "guidance/HelpTexts.h"
#include "guidance/SampleRecord.h"
#include "inputlist/InputList.h"
#include "shell/Platform.h"
#include "shell/SettingsStore.h"
#include "shell/WindowContext.h"

namespace pellatrix {

namespace {

const QString kSnapshotKey = QStringLiteral("Snapshot");

QString title(const WindowContext& context) {
    return context.applicationTitle ? context.applicationTitle() : QString();
}

QString text(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes);
}

std::string bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// The record of the samples folder as it is now. A program without its samples folder has no
// samples to record; any other failure reaches the caller.
std::string currentSampleRecord(const WindowContext& context) {
    PosixFileSystem fs;
    try {
        return buildSampleRecord(fs, bytes(context.programFolder));
    } catch (const FsError& e) {
        if (e.number() != kErrPathNotFound && e.number() != kErrFileNotFound) {
            throw;
        }
    }
    return std::string();
}

// True when "Snapshot" reads as "" or names other files than the samples folder holds now (the
// program moved, or its samples changed), so that loading adds this program's samples.
bool sampleRecordIsStale(const WindowContext& context) {
    const QString stored = context.settings->GetSetting(kSnapshotKey, QString());
    if (stored.isEmpty()) {
        return true;
    }
    std::string current;
    try {
        current = currentSampleRecord(context);
    } catch (const std::exception&) {
        // Nothing to compare with: the record stays as it is.
        return false;
    }
    return UnscrambleText(snapshotSettingBytes(stored), SampleRecordKey,
                          sparseYield(context.yield)) != current;
}

}  // namespace

QString snapshotSettingText(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string snapshotSettingBytes(const QString& text) {
    return text.toLatin1().toStdString();
}

void onListFileHelpClicked(const WindowContext& context) {
    Trap trap(locations::kPushButton1, context.report);
    const std::array<std::string, 8> pieces = help::formatHelpPieces();
    std::array<std::string, 8> message;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        trap.step(100 + 2 * static_cast<int>(i), [&] { message[i] = pieces[i]; });
    }
    trap.step(116, [&] {
        std::string shown;
        for (const std::string& piece : message) {
            shown += piece;
        }
        context.platform->information(context.window, title(context),
                                      text(shown + help::kFormatHelpClosing));
    });
    if (trap.test(118, [&] {
            return context.platform->question(context.window, title(context),
                                              text(help::kViewSampleQuestion));
        })) {
        trap.step(120, [&] {
            context.platform->openDocument(context.programFolder +
                                           QStringLiteral("/Samples/sample1.txt"));
        });
    }
}

void onDynamicTextHelpClicked(const WindowContext& context) {
    Trap trap(locations::kPushButton5, context.report);
    const std::array<std::string, 4> pieces = help::contentHelpPieces();
    std::array<std::string, 4> message;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        trap.step(100 + 2 * static_cast<int>(i), [&] { message[i] = pieces[i]; });
    }
    trap.step(108, [&] {
        context.platform->information(context.window, title(context),
                                      text(message[0] + message[1] + message[2] + message[3]));
    });
}

void onLoadSamplesClicked(const WindowContext& context) {
    Trap trap(locations::kPushButton7, context.report);
    trap.step(100, [&] { LoadSampleFiles(context, *context.list); });
}

void LoadSampleFiles(const WindowContext& context, InputList& list) {
    // A missing record reads as the word False, which unscrambles to no file at all.
    const std::string stored =
        snapshotSettingBytes(context.settings->GetSetting(kSnapshotKey, false));
    const std::string record = UnscrambleText(stored, SampleRecordKey, sparseYield(context.yield));
    PosixFileSystem fs;
    // The recorded bytes are the path, compared with the entries' bytes and appended as they
    // are, so a name that is not valid UTF-8 is found and added as it stands on disk.
    for (const std::string& part : splitSampleRecord(record)) {
        if (PathExists(fs, part) && !ListContainsPath(list, part)) {
            list.appendEntryBytes(part);
        }
    }
    if (context.platform->question(context.window, title(context),
                                   text(help::kOpenSamplesFolderQuestion))) {
        context.platform->openDocument(context.programFolder + QStringLiteral("/Samples/"));
    }
}

bool ListContainsPath(const InputList& list, std::string_view path) {
    bool found = false;
    const int count = list.entryCount();
    for (int position = 1; position <= count; ++position) {
        if (list.entryBytesView(position) == path) {
            found = true;
        }
    }
    return found;
}

void RecordSampleFiles(const WindowContext& context) {
    const std::string record = currentSampleRecord(context);
    const std::string scrambled = ScrambleText(record, SampleRecordKey, sparseYield(context.yield));
    context.settings->SaveSetting(kSnapshotKey, snapshotSettingText(scrambled));
}

void recordSampleFilesIfMissing(Trap& trap, int line, const WindowContext& context) {
    if (trap.test(line, [&] { return sampleRecordIsStale(context); })) {
        trap.step(line, [&] { RecordSampleFiles(context); });
    }
}

}  // namespace pellatrix
