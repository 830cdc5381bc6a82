#pragma once

// Shared by every fuzz target: a property check that stops the run with the failing condition,
// and a reader that cuts one fuzz input into the parts a target needs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace pellatrix::fuzz {

[[noreturn]] inline void propertyFailed(const char* condition, const char* file, int line,
                                        const std::string& detail) {
    std::fprintf(stderr, "\nPROPERTY FAILED at %s:%d: %s\n%s\n", file, line, condition,
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
}

/// Makes a byte string readable in a failure message: printable ASCII as it is, the rest as \xNN.
inline std::string visible(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 32 && b < 127 && b != '\\' && b != '"') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out + "\"";
}

/// Cuts the fuzz input into parts, front to back; a part past the end is empty (or zero).
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size)
        : m_bytes(reinterpret_cast<const char*>(data), size) {}

    std::uint8_t byte() {
        if (m_bytes.empty()) {
            return 0;
        }
        const auto b = static_cast<std::uint8_t>(m_bytes.front());
        m_bytes.remove_prefix(1);
        return b;
    }
    /// A part whose length is given by the next two bytes (little-endian), cut to what is left.
    std::string_view sized() {
        std::size_t length = byte();
        length |= static_cast<std::size_t>(byte()) << 8;
        return take(length);
    }
    std::string_view take(std::size_t length) {
        length = std::min(length, m_bytes.size());
        std::string_view part = m_bytes.substr(0, length);
        m_bytes.remove_prefix(length);
        return part;
    }
    std::string_view rest() { return take(m_bytes.size()); }

private:
    std::string_view m_bytes;
};

}  // namespace pellatrix::fuzz

#define FUZZ_CHECK(condition, detail)                                                    \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            ::pellatrix::fuzz::propertyFailed(#condition, __FILE__, __LINE__, (detail)); \
        }                                                                                \
    } while (0)
