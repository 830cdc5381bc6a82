#include "engine/lists/ListFile.h"

#include <cstring>

namespace pellatrix {

namespace {
// A pending line keeps its buffer up to this size for the next one; a longer one gives it back,
// so one huge line does not hold its size a second time for the rest of the read.
constexpr std::size_t kKeptPending = std::size_t{1} << 20;
}  // namespace

void LineSplitter::handOut(const char* data, std::size_t size) {
    if (m_pending.empty()) {
        m_sink(std::string_view(data, size));
        return;
    }
    m_pending.append(data, size);
    m_sink(m_pending);
    if (m_pending.capacity() > kKeptPending) {
        std::string().swap(m_pending);
    } else {
        m_pending.clear();
    }
}

void LineSplitter::feedNul(std::string_view chunk) {
    const char* data = chunk.data();
    const std::size_t size = chunk.size();
    std::size_t pos = 0;
    while (pos < size) {
        const void* found = std::memchr(data + pos, '\0', size - pos);
        if (found == nullptr) {
            m_pending.append(data + pos, size - pos);
            return;
        }
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        handOut(data + pos, end - pos);
        pos = end + 1;
    }
}

void LineSplitter::feed(std::string_view chunk) {
    if (chunk.empty()) {
        return;
    }
    m_anyBytes = true;
    if (m_end == EntryEnd::Nul) {
        feedNul(chunk);
        return;
    }
    std::size_t pos = 0;
    if (m_afterCr) {
        m_afterCr = false;
        if (chunk[0] == '\n') {
            pos = 1;  // the LF of a CR LF split across two chunks
        }
    }
    const char* data = chunk.data();
    const std::size_t size = chunk.size();
    while (pos < size) {
        std::size_t end = pos;
        while (end < size && data[end] != '\n' && data[end] != '\r') {
            ++end;
        }
        if (end == size) {
            m_pending.append(data + pos, size - pos);
            return;
        }
        handOut(data + pos, end - pos);
        if (data[end] == '\r') {
            if (end + 1 == size) {
                m_afterCr = true;
                return;
            }
            if (data[end + 1] == '\n') {
                ++end;
            }
        }
        pos = end + 1;
    }
}

void LineSplitter::finish() {
    if (!m_pending.empty() || !m_anyBytes) {
        m_sink(m_pending);
    }
    m_pending.clear();
    m_pending.shrink_to_fit();
    m_afterCr = false;
    m_anyBytes = false;
}

void ReadListFileLines(RunFileSystem& fs, const std::string& path,
                       const std::function<void(std::string_view)>& onLine, EntryEnd end) {
    LineSplitter splitter(onLine, end);
    fs.readFile(path, [&](std::string_view chunk) { splitter.feed(chunk); });
    splitter.finish();
}

std::vector<std::string> ReadListFile(RunFileSystem& fs, const std::string& path) {
    std::vector<std::string> lines;
    ReadListFileLines(fs, path, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

bool IsBlankLine(std::string_view line) {
    return line.find_first_not_of(' ') == std::string_view::npos;
}

ListLine SplitListLine(std::string_view line) {
    std::size_t at = line.find('>');
    if (at == std::string_view::npos) {
        return {line, std::nullopt};
    }
    return {line.substr(0, at), line.substr(at + 1)};
}

}  // namespace pellatrix
