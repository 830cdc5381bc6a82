#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/FileSystem.h"

namespace pellatrix {

/// What ends one entry of a list file.
enum class EntryEnd {
    LineBreak,  // CR LF, a lone LF or a lone CR
    Nul,        // a NUL byte; line breaks then belong to the entry
};

/// Splits bytes into lines as they arrive: CR LF, a lone LF and a lone CR each end a line (or
/// only NUL, see EntryEnd), a break at the very end adds no line, and an empty input is one empty
/// line. A CR that ends one chunk and an LF that starts the next are one break.
class LineSplitter {
public:
    using LineSink = std::function<void(std::string_view)>;

    explicit LineSplitter(LineSink sink, EntryEnd end = EntryEnd::LineBreak)
        : m_sink(std::move(sink)), m_end(end) {}

    /// Hands every line that `chunk` completes to the sink.
    void feed(std::string_view chunk);
    /// Hands the last, unterminated line (or the one empty line of an empty input) to the sink.
    void finish();

private:
    void feedNul(std::string_view chunk);
    void handOut(const char* data, std::size_t size);

    LineSink m_sink;
    EntryEnd m_end;
    std::string m_pending;  // the part of a line that began in an earlier chunk
    bool m_afterCr = false;
    bool m_anyBytes = false;
};

/// Reads the list file `path` and hands its lines, in order, to `onLine` as they are read, so a
/// large list is never held whole. Throws FsError when the file cannot be opened or read; lines
/// handed out before a failure in the middle belong to a read that failed.
void ReadListFileLines(RunFileSystem& fs, const std::string& path,
                       const std::function<void(std::string_view)>& onLine,
                       EntryEnd end = EntryEnd::LineBreak);

/// The lines of the list file `path`, at least one. Throws FsError when it cannot be read.
std::vector<std::string> ReadListFile(RunFileSystem& fs, const std::string& path);

/// One line of a list file, interpreted: the path, and the content after the first '>' if any.
struct ListLine {
    std::string_view path;
    std::optional<std::string_view> content;
};

/// True for an empty line or one of spaces only (tabs are not blank).
bool IsBlankLine(std::string_view line);

/// Splits a non-blank line at its first '>'; without '>' the whole line is the path.
ListLine SplitListLine(std::string_view line);

}  // namespace pellatrix
