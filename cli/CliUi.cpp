#include "cli/CliUi.h"

#include <stdexcept>
#include <utility>

#include "engine/lists/ShownText.h"

namespace pellatrix {

namespace {
// A terminal redrawn more often than this only flickers and costs time.
constexpr std::chrono::milliseconds kRedrawInterval{100};
// A report stays one line of about 8 KiB: the list's name takes at most a quarter, the
// description the rest, enough for a path already cut to its first and last 2046 bytes.
constexpr std::size_t kShownListName = 2048;
constexpr std::size_t kShownDescription = 6144;
void appendHex(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

// The length of the valid UTF-8 character at `at` and its code point; 0 when the bytes there
// are no valid character (a stray continuation byte, a cut or overlong sequence, a surrogate).
std::size_t utf8Character(std::string_view text, std::size_t at, char32_t& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    // Lead bytes C2-DF, E0-EF and F0-F4 begin 2, 3 and 4 byte characters; C0, C1 and F5-FF
    // never begin a valid one.
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0) {
        return 0;
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    code = lead & (0x7F >> length);
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if ((byte & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte & 0x3F);
    }
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool steersTerminal(char32_t code) {
    return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

void AppendShownOnTerminal(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += text[i++];
        } else if (byte < 0x80) {
            AppendEscapedControls(out, text.substr(i, 1));
            ++i;
        } else {
            char32_t code = 0;
            const std::size_t length = utf8Character(text, i, code);
            if (length == 0) {
                appendHex(out, byte);
                ++i;
            } else {
                for (std::size_t k = 0; k < length; ++k) {
                    if (steersTerminal(code)) {
                        appendHex(out, static_cast<unsigned char>(text[i + k]));
                    } else {
                        out += text[i + k];
                    }
                }
                i += length;
            }
        }
    }
}

std::string ShownOnTerminal(std::string_view text) {
    std::string out;
    AppendShownOnTerminal(out, text);
    return out;
}

std::string FailureLine(const std::string* file, std::uint64_t line, int number,
                        const std::string& description, int step) {
    std::string report = "pellatrix-cli: ";
    if (file != nullptr) {
        report += ShownOnTerminal(EscapedShortLine(*file, kShownListName));
        if (line != 0) {
            report += ':' + std::to_string(line);
        }
        report += ": ";
    }
    report += ShownOnTerminal(EscapedShortLine(description, kShownDescription));
    std::string tail;
    if (number != 0) {
        tail = "error " + std::to_string(number);
    }
    if (step != 0) {
        tail += (tail.empty() ? "step " : ", step ") + std::to_string(step);
    }
    if (!tail.empty()) {
        report += " (" + tail + ")";
    }
    return report + '\n';
}

CliUi::CliUi(std::vector<std::string> listFiles, std::string fixedText, CliSettings settings,
             std::FILE* out, std::FILE* errors)
    : m_listFiles(std::move(listFiles)),
      m_fixedText(std::move(fixedText)),
      m_settings(settings),
      m_out(out),
      m_errors(errors) {}

int CliUi::entryCount() {
    return static_cast<int>(m_listFiles.size());
}

std::string CliUi::entryText(int position) {
    if (position < 1 || position > entryCount()) {
        throw std::out_of_range("No list file number " + std::to_string(position));
    }
    const std::string& path = m_listFiles[static_cast<std::size_t>(position - 1)];
    if (m_settings.showProgress) {
        drawProgress("Reading list file " + std::to_string(position) + " of " +
                         std::to_string(m_listFiles.size()),
                     position == 1);
    }
    return path;
}

std::string CliUi::fixedText() {
    return m_fixedText;
}

void CliUi::fileProgress(std::size_t file, std::size_t total) {
    if (!m_settings.showProgress) {
        return;
    }
    char text[96];
    std::snprintf(text, sizeof text, "Writing file %zu of %zu (%.1f%%)", file, total,
                  static_cast<double>(file) / static_cast<double>(total) * 100.0);
    drawProgress(text, file == total);
}

void CliUi::fileDone(FileOutcome outcome, std::string_view path) {
    if (!m_settings.verbose) {
        return;
    }
    const char* word = outcome == FileOutcome::Created    ? "created "
                       : outcome == FileOutcome::Replaced ? "replaced "
                                                          : "skipped ";
    // With -0 the path goes out as it is, for a reader that splits at NUL.
    std::string line = word;
    if (m_settings.nul) {
        line.append(path);
        line += '\0';
    } else {
        AppendShownOnTerminal(line, path);
        line += '\n';
    }
    clearProgress();
    std::fwrite(line.data(), 1, line.size(), m_out);
}

void CliUi::showMessage(const std::string& text) {
    clearProgress();
    m_finalMessage = text;
}

void CliUi::reportError(const std::string& description, const std::string& location, int line) {
    reportFailure({}, 0, description, location, line);
}

void CliUi::reportNumberedError(int number, const std::string& description,
                                const std::string& location, int line) {
    reportFailure({}, number, description, location, line);
}

void CliUi::reportFailure(const FailureSource& source, int number, const std::string& description,
                          const std::string& /*location*/, int step) {
    clearProgress();
    if (source.list != nullptr) {
        m_failed.add(*source.list, source.line);
    }
    // Every failure comes from the one creation run, so its step number is enough to find it in
    // the program; users read lines of their list, so it only shows with --verbose.
    const std::string report =
        FailureLine(source.list, source.line, number, description, m_settings.verbose ? step : 0);
    std::fflush(m_out);
    std::fwrite(report.data(), 1, report.size(), m_errors);
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

void CliUi::journalProblem(const std::string& text) {
    clearProgress();
    const std::string line = "pellatrix-cli: " + ShownOnTerminal(EscapedShortLine(text)) + "\n";
    std::fwrite(line.data(), 1, line.size(), m_errors);
}

void CliUi::clearProgress() {
    if (m_progressShown) {
        std::fputs("\r\x1b[K", m_errors);
        std::fflush(m_errors);
        m_progressShown = false;
    }
}

}  // namespace pellatrix
