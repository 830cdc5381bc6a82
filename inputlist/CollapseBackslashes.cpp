#include "inputlist/CollapseBackslashes.h"

namespace pellatrix {

namespace {

// Replaces each pair of consecutive separators by one; the replaced pair is not looked at again.
std::string collapsePairs(std::string_view text, char separator) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        result.push_back(text[i]);
        if (text[i] == separator && i + 1 < text.size() && text[i + 1] == separator) {
            ++i;
        }
    }
    return result;
}

}  // namespace

std::string CollapseSeparators(std::string_view path, PathFlavour flavour) {
    const char separator = SeparatorOf(flavour);
    if (path.empty() || path.front() != separator) {
        return collapsePairs(path, separator);
    }
    const std::size_t runEnd = path.find_first_not_of(separator);
    const std::string_view rest =
        runEnd == std::string_view::npos ? std::string_view() : path.substr(runEnd);
    // Two leading backslashes name a network server on Windows; elsewhere the root is one '/'.
    const std::string prefix(flavour == PathFlavour::Windows ? 2 : 1, separator);
    return prefix + collapsePairs(rest, separator);
}

std::string CollapseBackslashes(std::string_view path) {
    return CollapseSeparators(path, kNativeFlavour);
}

}  // namespace pellatrix
