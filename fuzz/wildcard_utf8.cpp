// The wildcard match of the file listing and the UTF-8 checks of the folder scan, each against
// a small reference written here from the rules alone.
//
// Input: the pattern (length-prefixed), then the name. The program runs in the user's UTF-8
// locale, so the targets do too.

#include <cctype>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "folderservices/FolderScan.h"
#include "fuzz/FuzzSupport.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

namespace {

// One step of strict UTF-8 (the well-formed byte sequences of the Unicode standard): the code
// point and the sequence length, or nothing when the byte at `at` starts no such sequence.
std::optional<std::pair<char32_t, std::size_t>> strictStep(std::string_view s, std::size_t at) {
    const auto b = [&](std::size_t i) -> unsigned {
        return at + i < s.size() ? static_cast<unsigned char>(s[at + i]) : 0x100u;
    };
    const auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
    const unsigned b0 = b(0);
    if (b0 < 0x80) {
        return std::make_pair(char32_t(b0), std::size_t{1});
    }
    struct Row {
        unsigned lead0, lead1, second0, second1;
        std::size_t length;
    };
    static constexpr Row kRows[] = {
        {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
        {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
        {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    for (const Row& row : kRows) {
        if (!in(b0, row.lead0, row.lead1)) {
            continue;
        }
        if (!in(b(1), row.second0, row.second1)) {
            return std::nullopt;
        }
        for (std::size_t i = 2; i < row.length; ++i) {
            if (!in(b(i), 0x80, 0xBF)) {
                return std::nullopt;
            }
        }
        const unsigned leadBits = row.length == 2 ? 0x1F : row.length == 3 ? 0x0F : 0x07;
        char32_t code = b0 & leadBits;
        for (std::size_t i = 1; i < row.length; ++i) {
            code = (code << 6) | (b(i) & 0x3F);
        }
        return std::make_pair(code, row.length);
    }
    return std::nullopt;
}

// The characters of `s`, case folded (lower case of the upper case, in the C.UTF-8 locale); a
// byte that starts no strict UTF-8 sequence is one character of its own.
std::vector<std::uint32_t> charactersOf(const std::string& s) {
    std::vector<std::uint32_t> units;
    for (std::size_t at = 0; at < s.size();) {
        if (const auto step = strictStep(s, at)) {
            const auto upper = std::towupper(static_cast<wint_t>(step->first));
            units.push_back(static_cast<std::uint32_t>(std::towlower(upper)));
            at += step->second;
        } else {
            units.push_back(static_cast<unsigned char>(s[at]));
            ++at;
        }
    }
    return units;
}

// `*` any run, `?` one unit, everything else itself; plain dynamic programming.
bool globReference(const std::vector<std::uint32_t>& p, const std::vector<std::uint32_t>& n,
                   std::uint32_t star, std::uint32_t question) {
    std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(n.size() + 1, 0));
    m[0][0] = 1;
    for (std::size_t i = 1; i <= p.size(); ++i) {
        for (std::size_t j = 0; j <= n.size(); ++j) {
            if (p[i - 1] == star) {
                m[i][j] = m[i - 1][j] || (j > 0 && m[i][j - 1]);
            } else if (j > 0) {
                m[i][j] = m[i - 1][j - 1] && (p[i - 1] == question || p[i - 1] == n[j - 1]);
            }
        }
    }
    return m[p.size()][n.size()] != 0;
}

bool wildcardReference(const std::string& pattern, const std::string& name) {
    const auto matches = [&](const std::string& pat) {
        return globReference(charactersOf(pat), charactersOf(name), '*', '?');
    };
    if (matches(pattern)) {
        return true;
    }
    // "x.*" matches "x" too.
    return pattern.size() >= 2 && pattern.ends_with(".*") &&
           matches(pattern.substr(0, pattern.size() - 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool localeSet = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    FUZZ_CHECK(localeSet, "the C.UTF-8 locale is needed");
    fuzz::Input input(data, size);
    std::string pattern(input.take(input.byte()));
    std::string name(input.rest());
    // Neither a file name nor the typed extension can hold a NUL byte.
    std::erase(pattern, '\0');
    std::erase(name, '\0');

    std::size_t characters = 0;
    bool unusable = false;
    for (std::size_t at = 0; at < name.size(); ++characters) {
        const auto step = strictStep(name, at);
        if (!step) {
            unusable = true;  // no code: counts as "?"
            ++at;
            continue;
        }
        const char32_t c = step->first;
        unusable = unusable || c < 32 || (c >= 127 && c <= 159) || c == U'?';
        at += step->second;
    }
    FUZZ_CHECK(CharacterCount(name) == characters, visible(name));
    FUZZ_CHECK(HasUnusableChars(name) == unusable, visible(name));

    FUZZ_CHECK(MatchesWildcard(pattern, name) == wildcardReference(pattern, name),
               "pattern " + visible(pattern) + " name " + visible(name));
    FUZZ_CHECK(MatchesWildcard("*.*", name), visible(name));
    FUZZ_CHECK(MatchesWildcard(name, name), visible(name));
    return 0;
}
