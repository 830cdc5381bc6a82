#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/fs/Fd.h"

namespace pellatrix {

/// A template file held open for a run: every file made from it is copied from this descriptor,
/// never from memory, so a run's memory does not grow with the template's size. What it was when
/// opened is kept, so a change during the run is noticed.
struct TemplateFile {
    std::string path;
    Fd fd;
    std::uint64_t size = 0;
    // Identity, modification and status-change times as opened: any change to the file moves one.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    /// For an adapter that holds no descriptors (a test's): the bytes, read whole.
    std::string bytes;
};

/// The bytes of one file when they are more than one text in memory: a template copied, or a
/// text repeated and cut to an exact size (zeros where the text is empty).
struct ContentBody {
    /// Copied from, when set; `text` is then unused.
    const TemplateFile* source = nullptr;
    /// The text; with `sized`, whole repeats of one unit (a text of its own repeated), so it
    /// may be written again and again and cut at the end.
    std::string_view text;
    /// The file is exactly `size` bytes: its text or template repeated and cut, or zeros.
    bool sized = false;
    std::uint64_t size = 0;

    /// How many bytes the file gets.
    std::uint64_t length() const {
        return sized ? size : source != nullptr ? source->size : text.size();
    }
};

}  // namespace pellatrix
