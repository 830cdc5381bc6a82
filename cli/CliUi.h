#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CreationUi.h"

namespace pellatrix {

/// A path may hold a line break or a terminal's control sequence; a line that shows it stays
/// one line and shows them as escapes (\n, \r, \t, \xHH).
std::string EscapedControls(std::string_view text);

/// The creation run's window, on a terminal: the input list is the command line's list files,
/// failures go to standard error, and a progress line is drawn when standard error is a terminal.
class CliUi : public CreationUi {
public:
    CliUi(std::vector<std::string> listFiles, std::string fixedText, std::FILE* errors,
          bool showProgress);

    int entryCount() override;
    std::string entryText(int position) override;
    std::string fixedText() override;
    void showBusyPointer() override {}
    void showDefaultPointer() override {}
    void setProgressValue(double percent) override;
    void setProgressText(const std::string&) override {}
    void showMessage(const std::string& text) override;
    void yield() override {}
    void reportError(const std::string& description, const std::string& location,
                     int line) override;
    /// One line on standard error: "pellatrix-cli: ", the description with its control
    /// characters escaped, then the error number and the line, e.g.
    /// "pellatrix-cli: Cannot open 'x' for reading: No such file or directory (error 53, line
    /// 124)".
    void reportNumberedError(int number, const std::string& description,
                             const std::string& location, int line) override;

    /// One line on standard error, "pellatrix-cli: " and the text.
    void journalProblem(const std::string& text) override;

    /// The text of the box that ended the run ("Done." or "No files added."), empty before.
    const std::string& finalMessage() const { return m_finalMessage; }
    /// Removes a progress line still on the terminal.
    void clearProgress();

private:
    void drawProgress(const std::string& text, bool force);

    std::vector<std::string> m_listFiles;
    std::string m_fixedText;
    std::FILE* m_errors;
    bool m_showProgress;
    bool m_progressShown = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
    std::string m_finalMessage;
};

}  // namespace pellatrix
