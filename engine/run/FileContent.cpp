#include "engine/run/FileContent.h"

#include <stdexcept>

#include "engine/lists/ListFile.h"

namespace pellatrix {

namespace {

// A text repeated for --size is written in units of at least this many bytes, so a one-byte
// text costs no more calls than a long one.
constexpr std::size_t kUnitMin = std::size_t{64} << 10;

void repeatInto(std::string_view text, std::uint64_t size, std::string& unit) {
    unit.clear();
    const std::uint64_t want = std::min<std::uint64_t>(size, kUnitMin);
    while (!text.empty() && unit.size() < want) {
        unit += text;
    }
}

std::string grouped(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

std::string_view nameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool FileContent::prepare(std::string_view fixedText, std::string& problem) {
    m_fixed.assign(fixedText);
    m_date = IsoDateNow();
    if (m_fields && !m_fixedFields.parse(m_fixed, problem)) {
        return false;
    }
    m_fixedConstant = !(m_fields && m_fixedFields.hasFields());
    if (m_size && m_fixedConstant) {
        std::string plain;
        if (m_fields) {
            m_fixedFields.fill({}, plain);  // braces made single
        }
        repeatInto(m_fields ? plain : m_fixed, *m_size, m_fixedUnit);
    }
    return true;
}

std::string_view FileContent::filled(const Step& step, std::string& buffer) const {
    if (!m_fields) {
        return step.text;
    }
    const FieldText::Values values{step.path, step.n, step.list, step.line, m_date};
    if (step.fixed && step.text == m_fixed) {
        m_fixedFields.fill(values, buffer);
        return buffer;
    }
    FieldText fields;
    std::string problem;
    if (!fields.parse(step.text, problem)) {
        // Checked before the run; only a fixed text changed during it gets here.
        throw std::runtime_error("Cannot fill the fields of the text: " + problem);
    }
    fields.fill(values, buffer);
    return buffer;
}

void FileContent::write(RunFileSystem& fs, const Step& step,
                        const RunFileSystem::WriteGuard& guard) const {
    ContentBody body;
    body.sized = m_size.has_value();
    body.size = m_size.value_or(0);
    if (step.fixed && m_template) {
        body.source = m_template.get();
        fs.writeFileFrom(std::string(step.path), body, guard);
        return;
    }
    thread_local std::string buffer;
    thread_local std::string unit;
    const std::string_view text = filled(step, buffer);
    if (!body.sized) {
        fs.writeFile(std::string(step.path), text, guard);
        return;
    }
    if (step.fixed && m_fixedConstant && step.text == m_fixed) {
        body.text = m_fixedUnit;  // the same for every file: repeated once for the run
    } else {
        repeatInto(text, body.size, unit);
        body.text = unit;
    }
    fs.writeFileFrom(std::string(step.path), body, guard);
}

std::string FileContent::note(const Step& step) const {
    if (step.fixed && m_template) {
        const std::uint64_t size = m_size.value_or(m_template->size);
        return "template " + std::string(nameOf(m_template->path)) + ", " + grouped(size) +
               (size == 1 ? " byte" : " bytes");
    }
    if (!active()) {
        return {};
    }
    std::string buffer;
    std::string_view text = step.text;
    try {
        text = filled(step, buffer);
    } catch (const std::exception&) {
        // The run reports it; the preview shows the text's own length.
    }
    if (m_size) {
        return grouped(*m_size) + (*m_size == 1 ? " byte" : " bytes") +
               (text.empty() ? " of zeros" : ", text repeated");
    }
    if (m_fields) {
        return "fields filled, " + grouped(text.size()) + (text.size() == 1 ? " byte" : " bytes");
    }
    return {};
}

std::optional<FileContent::FieldProblem> FileContent::CheckLists(
    RunFileSystem& fs, const std::vector<std::string>& lists, bool nulEnded) {
    std::optional<FieldProblem> found;
    FieldText fields;
    for (std::size_t i = 0; i < lists.size() && !found; ++i) {
        std::uint64_t line = 0;
        try {
            ReadListFileLines(
                fs, lists[i],
                [&](std::string_view text) {
                    ++line;
                    if (found || IsBlankLine(text)) {
                        return;
                    }
                    const ListLine parsed = SplitListLine(text);
                    std::string problem;
                    if (parsed.content && !fields.parse(*parsed.content, problem)) {
                        found = FieldProblem{i + 1, line, problem};
                    } else if (!parsed.content && HoldsField(parsed.path)) {
                        found = FieldProblem{i + 1, line,
                                             "a field in a path is not filled: fields are filled "
                                             "only in a text, after '>'"};
                    }
                },
                nulEnded ? EntryEnd::Nul : EntryEnd::LineBreak);
        } catch (const std::exception&) {
            // Told by the run, as any list it cannot read.
        }
    }
    return found;
}

}  // namespace pellatrix
