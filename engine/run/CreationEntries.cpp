#include "engine/run/CreationEntries.h"

#include <algorithm>
#include <cstring>

namespace pellatrix {

namespace {

constexpr std::size_t kBlockSize = std::size_t{4} << 20;

// The header of one entry: three unsigned numbers, seven bits to a byte.
constexpr std::size_t kMaxHeader = 3 * 10;

char* putNumber(char* at, std::uint64_t value) {
    while (value >= 0x80) {
        *at++ = static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    *at++ = static_cast<char>(value);
    return at;
}

std::uint64_t takeNumber(const char*& at) {
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*at++);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
}

// The content's number in the header: none, the fixed text, or its own of some length. None and
// the fixed text take one byte each, so one can be written over the other.
constexpr std::uint64_t kCodeNone = 0;
constexpr std::uint64_t kCodeFixedText = 1;
constexpr std::uint64_t kCodeOwn = 2;

}  // namespace

char* CreationEntries::reserve(std::size_t bytes) {
    if (m_blocks.empty() || m_blocks.back().capacity - m_blocks.back().used < bytes) {
        // Left uninitialised: pages a block never fills are never touched.
        std::size_t capacity = std::max(kBlockSize, bytes);
        m_blocks.push_back({std::unique_ptr<char[]>(new char[capacity]), capacity, 0});
    }
    Block& block = m_blocks.back();
    return block.data.get() + block.used;
}

void CreationEntries::beginList(std::size_t list) {
    m_lists.emplace_back(m_count, list);
    m_lastLine = 0;
}

void CreationEntries::append(std::uint64_t line, std::string_view path, bool inHome,
                             const std::string_view* content) {
    const std::size_t contentLength = content ? content->size() : 0;
    char* start = reserve(kMaxHeader + path.size() + contentLength);
    char* at = putNumber(start, line - m_lastLine);
    at = putNumber(at, (static_cast<std::uint64_t>(path.size()) << 1) | (inHome ? 1 : 0));
    at = putNumber(at, content ? kCodeOwn + contentLength : kCodeNone);
    if (!path.empty()) {
        std::memcpy(at, path.data(), path.size());
        at += path.size();
    }
    if (contentLength != 0) {
        std::memcpy(at, content->data(), contentLength);
        at += contentLength;
    }
    m_blocks.back().used += static_cast<std::size_t>(at - start);
    m_lastLine = line;
    ++m_count;
}

bool CreationEntries::next(Cursor& at, Entry& entry) const {
    if (at.index >= m_count) {
        return false;
    }
    while (at.offset >= m_blocks[at.block].used) {
        ++at.block;
        at.offset = 0;
    }
    // The list of this entry: the last one begun at or before it.
    bool newList = false;
    while (at.listSlot + 1 < m_lists.size() && m_lists[at.listSlot + 1].first <= at.index) {
        ++at.listSlot;
        newList = true;
    }
    if (newList || at.index == 0) {
        at.line = 0;
    }
    char* base = m_blocks[at.block].data.get();
    const char* p = base + at.offset;
    at.line += takeNumber(p);
    const std::uint64_t pathWord = takeNumber(p);
    char* code = base + (p - base);
    const std::uint64_t contentCode = takeNumber(p);
    const auto pathLength = static_cast<std::size_t>(pathWord >> 1);
    entry.path = std::string_view(p, pathLength);
    entry.inHome = (pathWord & 1) != 0;
    entry.line = at.line;
    entry.list = m_lists.empty() ? 0 : m_lists[at.listSlot].second;
    entry.contentCode = code;
    p += pathLength;
    entry.ownContent = {};
    if (contentCode == kCodeNone) {
        entry.content = Content::None;
    } else if (contentCode == kCodeFixedText) {
        entry.content = Content::FixedText;
    } else {
        entry.content = Content::Own;
        entry.ownContent = std::string_view(p, static_cast<std::size_t>(contentCode - kCodeOwn));
        p += entry.ownContent.size();
    }
    at.offset = static_cast<std::size_t>(p - base);
    ++at.index;
    return true;
}

void CreationEntries::giveFixedText(const Entry& entry) {
    if (entry.content == Content::None) {
        *entry.contentCode = static_cast<char>(kCodeFixedText);
    }
}

CreationEntries::Mark CreationEntries::mark() const {
    Cursor at;
    at.index = m_count;
    at.block = m_blocks.empty() ? 0 : m_blocks.size() - 1;
    at.offset = m_blocks.empty() ? 0 : m_blocks.back().used;
    at.listSlot = m_lists.empty() ? 0 : m_lists.size() - 1;
    at.line = m_lastLine;
    return {at, m_blocks.size(), m_lists.size()};
}

void CreationEntries::rollBack(const Mark& mark) {
    m_count = mark.at.index;
    m_blocks.resize(mark.blocks);
    if (!m_blocks.empty()) {
        m_blocks.back().used = mark.at.offset;
    }
    m_lastLine = mark.at.line;
}

void CreationEntries::clear() {
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_lists.clear();
    m_lists.shrink_to_fit();
    m_count = 0;
    m_lastLine = 0;
}

}  // namespace pellatrix
