#pragma once

#include <QString>
#include <string_view>

#include "engine/run/Trap.h"

namespace pellatrix {

struct WindowContext;
class InputList;

/// "What should text file look like?": shows the list-file help, then offers sample1.txt.
/// Failures are reported with their line and the handler goes on.
void onListFileHelpClicked(const WindowContext& context);

/// "How to add Dynamic Text Content": shows the help on per-line content.
void onDynamicTextHelpClicked(const WindowContext& context);

/// "Load Sample/Example Files": LoadSampleFiles into the window's list; a failure is reported
/// at line 100 and ends the loading (entries added before it stay).
void onLoadSamplesClicked(const WindowContext& context);

/// Appends every recorded sample that exists and is not listed yet, then asks whether to open
/// the samples folder (every time). Failures reach the caller.
void LoadSampleFiles(const WindowContext& context, InputList& list);

/// True when some entry of `list` equals `path` exactly, byte for byte.
bool ListContainsPath(const InputList& list, std::string_view path);

/// Stores the scrambled record of the samples folder's files as "Snapshot". A missing samples
/// folder records no file. Other failures reach the caller and leave "Snapshot" as it was.
void RecordSampleFiles(const WindowContext& context);

/// One start-up step at `line`: records the samples when "Snapshot" reads as "" or is stale, that
/// is names other files than the samples folder holds now (in listing order). A samples folder
/// that cannot be listed leaves a non-empty record as it is.
void recordSampleFilesIfMissing(Trap& trap, int line, const WindowContext& context);

/// The setting text that holds the bytes `bytes` (one character per byte, Latin-1), and back.
QString snapshotSettingText(const std::string& bytes);
std::string snapshotSettingBytes(const QString& text);

}  // namespace pellatrix
