#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pellatrix {

/// A text with fields, as --fields reads it: "{name}", "{stem}", "{ext}", "{folder}", "{path}",
/// "{n}", "{n:W}" (zero-padded to W digits), "{list}", "{line}" and "{date}" are filled from each
/// file; "{{" and "}}" are one brace. Parsed once, filled per file.
class FieldText {
public:
    enum class Field : unsigned char { Name, Stem, Ext, Folder, Path, N, List, Line, Date };

    /// What a file's fields are filled from.
    struct Values {
        std::string_view path;  // as written, "~/" made the home folder, the name cleaned
        std::uint64_t n = 0;    // the entry's number in the run, from 1
        std::string_view list;  // the list file as given
        std::uint64_t line = 0;
        std::string_view date;  // the run's start, ISO 8601
    };

    /// Parses `text`; false with `problem` saying what is wrong (an unknown field, a brace left
    /// open, a lone "}"), and where, for a usage error.
    bool parse(std::string_view text, std::string& problem);
    /// Whether the text holds any field (no field: written as parsed, braces made single).
    bool hasFields() const { return m_hasFields; }
    /// The text with each field filled, into `out` (emptied first).
    void fill(const Values& values, std::string& out) const;

private:
    struct Part {
        std::string literal;  // when not a field
        bool isField = false;
        Field field = Field::Name;
        unsigned width = 0;
    };
    std::vector<Part> m_parts;
    bool m_hasFields = false;
};

/// Whether `text` holds a well-formed known field, as FieldText reads it ("{name}", not "{{").
bool HoldsField(std::string_view text);

/// The present moment in ISO 8601 with the local offset, e.g. "2026-12-08T09:55:00+01:00".
std::string IsoDateNow();

}  // namespace pellatrix
