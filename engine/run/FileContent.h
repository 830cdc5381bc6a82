#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/lists/Fields.h"

namespace pellatrix {

/// What goes into the files of a run beyond its texts as they stand: the fixed text taken from a
/// template file, fields filled from each file, and an exact size. A run without one writes each
/// text exactly as it stands.
class FileContent {
public:
    /// A larger template is no text to fill fields in: refused with --fields.
    static constexpr std::uint64_t kFieldsTemplateMax = std::uint64_t{16} << 20;

    /// Fields are filled in the fixed text and in each line's text.
    void fillFields(bool on) { m_fields = on; }
    bool fillsFields() const { return m_fields; }
    /// Every file is exactly `size` bytes: its text repeated and cut, or zeros without one.
    void makeSize(std::optional<std::uint64_t> size) { m_size = size; }
    const std::optional<std::uint64_t>& size() const { return m_size; }
    /// The fixed text is this template, copied into each file that gets the fixed text.
    void useTemplate(std::unique_ptr<TemplateFile> file) { m_template = std::move(file); }
    const TemplateFile* templateFile() const { return m_template.get(); }
    /// Whether any of the above is asked for.
    bool active() const { return m_fields || m_size || m_template; }

    /// Takes the run's fixed text and start; false with `problem` when it holds a bad field.
    bool prepare(std::string_view fixedText, std::string& problem);

    /// What a step writes from.
    struct Step {
        std::string_view path;  // as it is written
        std::string_view text;  // the fixed text or the line's own
        bool fixed = false;     // the text is the run's fixed text
        std::uint64_t n = 0;
        std::string_view list;
        std::uint64_t line = 0;
    };
    /// Writes `step`'s file as FileSystem::writeFile does. Safe on several threads at once.
    void write(RunFileSystem& fs, const Step& step, const RunFileSystem::WriteGuard& guard) const;
    /// What a preview says of the content, e.g. "template t.docx, 12,345 bytes"; empty for a
    /// text written as it stands.
    std::string note(const Step& step) const;

    /// Where a bad field stands, for a usage error before a run.
    struct FieldProblem {
        std::size_t list = 0;  // the number of the list, from 1
        std::uint64_t line = 0;
        std::string why;
    };
    /// Reads `lists` as a run does and checks the text of each line for fields: none unknown,
    /// no brace left open, and none in a path (a line without '>', whose fields nothing fills).
    /// Lists that cannot be read are left to the run, which reports them.
    static std::optional<FieldProblem> CheckLists(RunFileSystem& fs,
                                                  const std::vector<std::string>& lists,
                                                  bool nulEnded);

private:
    // The text a step writes, with its fields filled into `buffer` where it has any.
    std::string_view filled(const Step& step, std::string& buffer) const;

    bool m_fields = false;
    std::optional<std::uint64_t> m_size;
    std::unique_ptr<TemplateFile> m_template;
    std::string m_fixed;
    FieldText m_fixedFields;
    bool m_fixedConstant = true;  // the fixed text is the same in every file
    std::string m_fixedUnit;      // the fixed text repeated for --size
    std::string m_date;
};

}  // namespace pellatrix
