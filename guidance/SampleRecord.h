#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/FileSystem.h"

namespace pellatrix {

/// The key of the scrambled sample record: eight lower-case letters, used in both directions.
inline constexpr std::string_view SampleRecordKey = "quillbay";

/// Scrambles bytes: each byte plus its key letter (the key repeats), wrapped into 1..255.
/// Calls `yield` once per byte, so it must be cheap (the window's yield skips calls that come
/// within a few milliseconds of the last one). The result has the length of `text`; an empty key
/// changes nothing. Any length is handled: the count is a size_t, so long records neither overflow
/// nor get cut.
std::string ScrambleText(std::string_view text, std::string_view key,
                         const std::function<void()>& yield = {});

/// Undoes ScrambleText with the same key: UnscrambleText(ScrambleText(t, k), k) == t for every
/// text of bytes 1..255. Calls `yield` once per byte.
std::string UnscrambleText(std::string_view text, std::string_view key,
                           const std::function<void()>& yield = {});

/// A yield for the scramblers that passes one call in `every` on to `yield` (the first one
/// included): the window's yield reads the clock on every call, which would cost a long record
/// several times its scrambling work, while `every` bytes take well under a microsecond.
std::function<void()> sparseYield(std::function<void()> yield, unsigned every = 64);

/// The samples folder of a program folder (no final separator): programFolder + "/Samples".
std::string samplesFolder(const std::string& programFolder);

/// The sample record: the full path of every file in the samples folder, in listing order,
/// joined by "|" (nothing before the first or after the last); "" when the folder holds no
/// file. Failures of the listing (a missing or unreadable folder) reach the caller.
std::string buildSampleRecord(FileSystem& fs, const std::string& programFolder);

/// The parts of a record split at every "|": none for "", otherwise one more than separators.
std::vector<std::string> splitSampleRecord(std::string_view record);

}  // namespace pellatrix
