#include "engine/lists/Fields.h"

#include <array>
#include <charconv>
#include <ctime>
#include <utility>

namespace pellatrix {

namespace {

constexpr std::array<std::pair<std::string_view, FieldText::Field>, 9> kFields = {{
    {"name", FieldText::Field::Name},
    {"stem", FieldText::Field::Stem},
    {"ext", FieldText::Field::Ext},
    {"folder", FieldText::Field::Folder},
    {"path", FieldText::Field::Path},
    {"n", FieldText::Field::N},
    {"list", FieldText::Field::List},
    {"line", FieldText::Field::Line},
    {"date", FieldText::Field::Date},
}};
// A number of more digits than any run has is a typo, not a wish.
constexpr unsigned kWidthMax = 20;

// Reads the field between braces; false when it is none of ours.
bool readField(std::string_view inside, FieldText::Field& field, unsigned& width) {
    width = 0;
    if (inside.starts_with("n:")) {
        const std::string_view digits = inside.substr(2);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), width);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            width < 1 || width > kWidthMax) {
            return false;
        }
        field = FieldText::Field::N;
        return true;
    }
    for (const auto& [name, known] : kFields) {
        if (inside == name) {
            field = known;
            return true;
        }
    }
    return false;
}

std::string_view nameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The last "." of a name that is not its first character splits stem and extension.
std::size_t extensionDot(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? std::string_view::npos : dot;
}

void appendNumber(std::string& out, std::uint64_t value, unsigned width) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    const auto length = static_cast<std::size_t>(end - digits);
    if (width > length) {
        out.append(width - length, '0');
    }
    out.append(digits, length);
}

}  // namespace

bool FieldText::parse(std::string_view text, std::string& problem) {
    m_parts.clear();
    m_hasFields = false;
    std::string literal;
    const auto endLiteral = [&] {
        if (!literal.empty()) {
            m_parts.push_back({std::move(literal), false, Field::Name, 0});
            literal.clear();
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
            literal += c;
            ++i;
            continue;
        }
        if (c == '}') {
            problem = "a '}' without its '{' at byte " + std::to_string(i + 1) +
                      " of the text (write '}}' for a brace)";
            return false;
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        const std::size_t close = text.find_first_of("{}", i + 1);
        if (close == std::string_view::npos || text[close] == '{') {
            problem = "a '{' left open at byte " + std::to_string(i + 1) +
                      " of the text (write '{{' for a brace)";
            return false;
        }
        Part part;
        part.isField = true;
        const std::string_view inside = text.substr(i + 1, close - i - 1);
        if (!readField(inside, part.field, part.width)) {
            problem = "unknown field '{" + std::string(inside) +
                      "}' (known: {name} {stem} {ext} {folder} {path} {n} {n:WIDTH} {list} "
                      "{line} {date}; '{{' for a brace)";
            return false;
        }
        endLiteral();
        m_parts.push_back(std::move(part));
        m_hasFields = true;
        i = close;
    }
    endLiteral();
    return true;
}

void FieldText::fill(const Values& values, std::string& out) const {
    out.clear();
    for (const Part& part : m_parts) {
        if (!part.isField) {
            out += part.literal;
            continue;
        }
        const std::string_view name = nameOf(values.path);
        const std::size_t dot = extensionDot(name);
        switch (part.field) {
            case Field::Name:
                out += name;
                break;
            case Field::Stem:
                out += name.substr(0, dot);
                break;
            case Field::Ext:
                out += dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
                break;
            case Field::Folder: {
                // Without its last "/", but for the root itself.
                const std::string_view folder =
                    values.path.substr(0, values.path.size() - name.size());
                out += folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
                break;
            }
            case Field::Path:
                out += values.path;
                break;
            case Field::N:
                appendNumber(out, values.n, part.width);
                break;
            case Field::List:
                out += values.list;
                break;
            case Field::Line:
                appendNumber(out, values.line, 0);
                break;
            case Field::Date:
                out += values.date;
                break;
        }
    }
}

bool HoldsField(std::string_view text) {
    // Looked for brace by brace: the text as a whole need not parse.
    for (std::size_t open = text.find('{'); open != std::string_view::npos;
         open = text.find('{', open + 1)) {
        if (open + 1 < text.size() && text[open + 1] == '{') {
            ++open;
            continue;
        }
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) {
            return false;
        }
        FieldText::Field field = FieldText::Field::Name;
        unsigned width = 0;
        if (readField(text.substr(open + 1, close - open - 1), field, width)) {
            return true;
        }
    }
    return false;
}

std::string IsoDateNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string date(text, n);
    // strftime's "+0100" as ISO 8601's extended form "+01:00".
    if (date.size() >= 5) {
        date.insert(date.size() - 2, ":");
    }
    return date;
}

}  // namespace pellatrix
