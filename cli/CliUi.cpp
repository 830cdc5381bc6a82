#include "cli/CliUi.h"

#include <stdexcept>
#include <utility>

namespace pellatrix {

namespace {
// A terminal redrawn more often than this only flickers and costs time.
constexpr std::chrono::milliseconds kRedrawInterval{100};

}  // namespace

std::string EscapedControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

CliUi::CliUi(std::vector<std::string> listFiles, std::string fixedText, std::FILE* errors,
             bool showProgress)
    : m_listFiles(std::move(listFiles)),
      m_fixedText(std::move(fixedText)),
      m_errors(errors),
      m_showProgress(showProgress) {}

int CliUi::entryCount() {
    return static_cast<int>(m_listFiles.size());
}

std::string CliUi::entryText(int position) {
    if (position < 1 || position > entryCount()) {
        throw std::out_of_range("No list file number " + std::to_string(position));
    }
    const std::string& path = m_listFiles[static_cast<std::size_t>(position - 1)];
    if (m_showProgress) {
        drawProgress("Reading list file " + std::to_string(position) + " of " +
                         std::to_string(m_listFiles.size()),
                     position == 1);
    }
    return path;
}

std::string CliUi::fixedText() {
    return m_fixedText;
}

void CliUi::setProgressValue(double percent) {
    if (!m_showProgress || percent <= 0) {
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Writing files: %5.1f%%", percent);
    drawProgress(text, percent >= 100.0);
}

void CliUi::showMessage(const std::string& text) {
    clearProgress();
    m_finalMessage = text;
}

void CliUi::reportError(const std::string& description, const std::string& location, int line) {
    reportNumberedError(0, description, location, line);
}

void CliUi::reportNumberedError(int number, const std::string& description,
                                const std::string& /*location*/, int line) {
    // Every failure of this program comes from the one creation run, so its line number is
    // enough to tell the step.
    clearProgress();
    std::string report = "pellatrix-cli: " + EscapedControls(description) + " (";
    if (number != 0) {
        report += "error " + std::to_string(number) + ", ";
    }
    report += "line " + std::to_string(line) + ")\n";
    std::fwrite(report.data(), 1, report.size(), m_errors);
}

void CliUi::journalProblem(const std::string& text) {
    clearProgress();
    const std::string line = "pellatrix-cli: " + EscapedControls(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), m_errors);
}

void CliUi::drawProgress(const std::string& text, bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && m_progressShown && now - m_lastDraw < kRedrawInterval) {
        return;
    }
    m_lastDraw = now;
    m_progressShown = true;
    std::string line = "\r\x1b[K" + text;
    std::fwrite(line.data(), 1, line.size(), m_errors);
    std::fflush(m_errors);
}

void CliUi::clearProgress() {
    if (m_progressShown) {
        std::fputs("\r\x1b[K", m_errors);
        std::fflush(m_errors);
        m_progressShown = false;
    }
}

}  // namespace pellatrix
