#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/journal/RunJournal.h"
#include "engine/run/CreationUi.h"

namespace pellatrix {

/// What the command line asked for, beyond the list files and the fixed text.
struct CliSettings {
    bool verbose = false;    // one line per file on standard output, step numbers in reports
    bool nul = false;        // list entries and printed lines end in NUL
    bool noClobber = false;  // existing files are left alone
    bool showProgress = false;
};

/// The creation run's window, on a terminal: the input list is the command line's list files,
/// failures go to standard error in the compiler form, files done to standard output with
/// --verbose, and a progress line is drawn when standard error is a terminal.
class CliUi : public CreationUi {
public:
    CliUi(std::vector<std::string> listFiles, std::string fixedText, CliSettings settings,
          std::FILE* out, std::FILE* errors);

    int entryCount() override;
    std::string entryText(int position) override;
    std::string fixedText() override;
    void showBusyPointer() override {}
    void showDefaultPointer() override {}
    void setProgressValue(double) override {}
    void setProgressText(const std::string&) override {}
    void showMessage(const std::string& text) override;
    void yield() override {}
    void reportError(const std::string& description, const std::string& location,
                     int line) override;
    void reportNumberedError(int number, const std::string& description,
                             const std::string& location, int line) override;
    /// One line on standard error: "pellatrix-cli: LIST:LINE: description (error N)", or
    /// "pellatrix-cli: LIST: ..." for the list as a whole, "pellatrix-cli: ..." for neither.
    /// Control characters are escaped and a long path is shortened in the middle, so a report
    /// is one line of a few KiB at most. --verbose adds the step of the run: "(error N, step S)".
    void reportFailure(const FailureSource& source, int number, const std::string& description,
                       const std::string& location, int step) override;
    bool entriesEndInNul() override { return m_settings.nul; }
    bool keepsExistingFiles() override { return m_settings.noClobber; }
    bool wantsFileOutcomes() override { return m_settings.verbose; }
    void fileDone(FileOutcome outcome, std::string_view path) override;
    void fileProgress(std::size_t file, std::size_t total) override;
    /// One line on standard error, "pellatrix-cli: " and the text.
    void journalProblem(const std::string& text) override;

    /// The text of the box that ended the run ("Done." or "No files added."), empty before.
    const std::string& finalMessage() const { return m_finalMessage; }
    /// Removes a progress line still on the terminal.
    void clearProgress();
    /// The failed entries of the run, for the list of its failed lines.
    FailedEntries& failedEntries() { return m_failed; }

private:
    void drawProgress(const std::string& text, bool force);

    std::vector<std::string> m_listFiles;
    std::string m_fixedText;
    CliSettings m_settings;
    std::FILE* m_out;
    std::FILE* m_errors;
    bool m_progressShown = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
    std::string m_finalMessage;
    FailedEntries m_failed;
};

/// `text` as a terminal shows it without being steered or misread: control characters (C0, DEL
/// and C1) as escapes such as \n, \t and \x1b, and so each byte of a bidirectional embedding,
/// override or isolate (U+202A-U+202E, U+2066-U+2069) and each byte that is not part of valid
/// UTF-8 (\xe2\x80\xae, \xff). Other characters, and the backslash, stay as they are.
std::string ShownOnTerminal(std::string_view text);
/// Appends ShownOnTerminal(text) to `out`.
void AppendShownOnTerminal(std::string& out, std::string_view text);

/// The report line of reportFailure for a failure that belongs to no run: the file (the fixed
/// text's), the description and the error number.
std::string FailureLine(const std::string* file, std::uint64_t line, int number,
                        const std::string& description, int step);

}  // namespace pellatrix
