#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellatrix {

/// The longest line, in bytes, that a report shows whole. Only a path makes a line longer (no
/// path the system takes is longer than 4096 bytes).
inline constexpr std::size_t kShownLineLimit = 4096;
/// What a longer line keeps at each end, around "...": the line stays within the limit.
inline constexpr std::size_t kShownEnd = (kShownLineLimit - 3) / 2;

/// `text` when it has at most `limit` bytes; otherwise its first and last (limit - 3) / 2 bytes
/// around "...", where neither cut splits a UTF-8 character (so an end may keep a little less).
std::string ShortenedInTheMiddle(std::string_view text, std::size_t limit = kShownLineLimit);

/// The path as a failure names it: in single quotes, shortened like ShortenedInTheMiddle (a
/// failure text stays small whatever a list held), with a NUL byte shown as \0 instead of
/// ending the text early.
std::string QuotedPath(std::string_view path);

/// `text` with line breaks, tabs and other control characters as escapes (\n, \r, \t, \x1b),
/// so it stays one line on a terminal and cannot steer it.
std::string EscapedControls(std::string_view text);
/// EscapedControls(text) in single quotes: how the journal's and the undo's messages name a path.
std::string QuotedShown(std::string_view text);
/// Appends EscapedControls(text) to `out`.
void AppendEscapedControls(std::string& out, std::string_view text);

/// EscapedControls(text), shortened like ShortenedInTheMiddle to at most `limit` bytes (keeping
/// (limit - 3) / 2 at each end), without ever building the escaped form of a long text whole.
std::string EscapedShortLine(std::string_view text, std::size_t limit = kShownLineLimit);

}  // namespace pellatrix
