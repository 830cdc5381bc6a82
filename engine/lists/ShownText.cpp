#include "engine/lists/ShownText.h"

namespace pellatrix {

namespace {

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

void appendEscaped(std::string& out, char c) {
    const auto byte = static_cast<unsigned char>(c);
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

std::size_t escapedSize(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n' || c == '\r' || c == '\t') {
        return 2;
    }
    return byte < 0x20 || byte == 0x7f ? 4 : 1;
}

}  // namespace

std::string ShortenedInTheMiddle(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    const std::size_t keep = (limit - 3) / 2;
    std::size_t headEnd = keep;
    while (headEnd > 0 && isContinuation(text[headEnd])) {
        --headEnd;
    }
    std::size_t tailStart = text.size() - keep;
    while (tailStart < text.size() && isContinuation(text[tailStart])) {
        ++tailStart;
    }
    std::string out(text.substr(0, headEnd));
    out += "...";
    out.append(text.substr(tailStart));
    return out;
}

std::string EscapedControls(std::string_view text) {
    std::string out;
    AppendEscapedControls(out, text);
    return out;
}

void AppendEscapedControls(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    // Runs without a control character, nearly every path, go in whole.
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            out.append(text.substr(from, i - from));
            appendEscaped(out, text[i]);
            from = i + 1;
        }
    }
    out.append(text.substr(from));
}

std::string EscapedShortLine(std::string_view text, std::size_t limit) {
    const std::size_t keep = (limit - 3) / 2;
    std::size_t total = 0;
    for (char c : text) {
        total += escapedSize(c);
        if (total > limit) {
            break;
        }
    }
    if (total <= limit) {
        return EscapedControls(text);
    }
    std::string out;
    // The head: whole escapes and whole characters only, up to `keep` bytes.
    std::size_t headBytes = 0;
    std::size_t head = 0;
    while (head < text.size() && headBytes + escapedSize(text[head]) <= keep) {
        headBytes += escapedSize(text[head]);
        ++head;
    }
    while (head > 0 && head < text.size() && isContinuation(text[head])) {
        --head;
    }
    std::size_t tail = text.size();
    std::size_t tailBytes = 0;
    while (tail > head && tailBytes + escapedSize(text[tail - 1]) <= keep) {
        tailBytes += escapedSize(text[tail - 1]);
        --tail;
    }
    while (tail < text.size() && isContinuation(text[tail])) {
        ++tail;
    }
    for (std::size_t i = 0; i < head; ++i) {
        appendEscaped(out, text[i]);
    }
    out += "...";
    for (std::size_t i = tail; i < text.size(); ++i) {
        appendEscaped(out, text[i]);
    }
    return out;
}

std::string QuotedShown(std::string_view text) {
    std::string out(1, '\'');
    AppendEscapedControls(out, text);
    out += '\'';
    return out;
}

std::string QuotedPath(std::string_view path) {
    std::string out = "'";
    for (char c : ShortenedInTheMiddle(path)) {
        if (c == '\0') {
            out += "\\0";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

}  // namespace pellatrix
