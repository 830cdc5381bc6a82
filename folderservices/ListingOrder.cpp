#include "folderservices/ListingOrder.h"

#include <locale.h>
#include <wctype.h>

#include <optional>

#include "folderservices/Utf8.h"

namespace pellatrix {

namespace {

// glibc's C.UTF-8 carries the Unicode case tables whatever the user's locale is.
locale_t unicodeCaseTables() {
    static const locale_t tables = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return tables;
}

// Lower case of the upper case: Unicode's simple case folding for every letter but a few (the
// dotless i folds with i, as a Windows file system's upper-case table has it), and it joins the
// letters that lower-casing alone keeps apart (long s and s, final and plain sigma).
char32_t foldCase(char32_t code) {
    if (code < 0x80) {
        return (code >= 'A' && code <= 'Z') ? code + ('a' - 'A') : code;
    }
    const locale_t tables = unicodeCaseTables();
    if (tables == static_cast<locale_t>(0)) {
        return code;
    }
    const wint_t upper = ::towupper_l(static_cast<wint_t>(code), tables);
    return static_cast<char32_t>(::towlower_l(upper, tables));
}

}  // namespace

std::u32string ListingKey(std::string_view name) {
    std::u32string key;
    key.reserve(name.size());
    std::size_t pos = 0;
    while (pos < name.size()) {
        const std::size_t start = pos;
        const std::optional<char32_t> code = DecodeUtf8(name, pos);
        key.push_back(code ? foldCase(*code) : static_cast<unsigned char>(name[start]));
    }
    return key;
}

bool ListingOrderLess(std::string_view a, std::string_view b) {
    if (const int order = ListingKey(a).compare(ListingKey(b)); order != 0) {
        return order < 0;
    }
    return a < b;
}

}  // namespace pellatrix
