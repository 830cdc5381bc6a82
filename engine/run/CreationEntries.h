#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace pellatrix {

/// The creation entries of one run, packed one after another into large blocks: a few bytes of
/// header (the line number as the step from the entry before, the path's length, the kind and
/// length of the content), then the path and content bytes. A list of a million short lines
/// thus costs about its own size, whatever its lines hold. Entries are read in order through a
/// Cursor; the list file of an entry is told by where the entries of each list begin.
class CreationEntries {
public:
    enum class Content : unsigned char { None, Own, FixedText };

    struct Entry {
        std::string_view path;
        bool inHome = false;  // the path began with "~/", kept as written until it is used
        Content content = Content::None;
        std::string_view ownContent;
        std::uint64_t line = 0;  // the line (or NUL-ended entry) of its list file, from 1
        std::size_t list = 0;    // the number the list was begun with
        char* contentCode = nullptr;
    };

    /// A position in the entries; next() reads the entry there and moves on.
    struct Cursor {
        std::size_t block = 0;
        std::size_t offset = 0;
        std::size_t index = 0;  // entries before this position
        std::size_t listSlot = 0;
        std::uint64_t line = 0;
    };

    /// Where the store stands, so everything added after it can be dropped again, or read.
    struct Mark {
        Cursor at;
        std::size_t blocks;
        std::size_t lists;
    };

    /// Entries appended from now on belong to list `list`.
    void beginList(std::size_t list);
    void append(std::uint64_t line, std::string_view path, bool inHome,
                const std::string_view* content);
    std::size_t size() const { return m_count; }
    Cursor begin() const { return {}; }
    /// Reads the entry at `at` into `entry` and moves `at` past it; false at the end.
    bool next(Cursor& at, Entry& entry) const;
    /// Gives an entry without content of its own the fixed text instead.
    static void giveFixedText(const Entry& entry);
    Mark mark() const;
    void rollBack(const Mark& mark);
    void clear();

private:
    char* reserve(std::size_t bytes);

    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t capacity;
        std::size_t used;
    };
    std::vector<Block> m_blocks;
    std::size_t m_count = 0;
    std::uint64_t m_lastLine = 0;  // line of the last entry of the current list
    // (index of the first entry, list number) for every list begun
    std::vector<std::pair<std::size_t, std::size_t>> m_lists;
};

}  // namespace pellatrix
