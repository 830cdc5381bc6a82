#include "engine/lists/PathRules.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "engine/fs/FsError.h"

namespace pellatrix {

std::string FolderPart(std::string_view path, PathFlavour flavour) {
    std::size_t at = path.rfind(SeparatorOf(flavour));
    return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

std::string FileNamePart(std::string_view path, PathFlavour flavour) {
    std::size_t at = path.rfind(SeparatorOf(flavour));
    return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string FilterChars(std::string_view text, std::string_view set, bool keep) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if ((set.find(c) != std::string_view::npos) == keep) {
            out += c;
        }
    }
    return out;
}

std::string CleanFileName(std::string_view path, PathFlavour flavour) {
    std::string out(path);
    CleanFileNameInPlace(out, flavour);
    return out;
}

void CleanFileNameInPlace(std::string& path, PathFlavour flavour) {
    std::size_t at = path.rfind(SeparatorOf(flavour));
    std::size_t nameStart = at == std::string::npos ? 0 : at + 1;
    const auto forbidden = [](char c) {
        return ForbiddenNameChars.find(c) != std::string_view::npos;
    };
    path.erase(std::remove_if(path.begin() + static_cast<std::ptrdiff_t>(nameStart), path.end(),
                              forbidden),
               path.end());
}

bool PathExists(ScanFileSystem& fs, const std::string& path) {
    try {
        fs.lastModified(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool IsExistingFolder(ScanFileSystem& fs, const std::string& path, PathFlavour flavour) {
    try {
        if (path.empty()) {
            return false;
        }
        std::string bare = path;
        const char sep = SeparatorOf(flavour);
        // Drop one final separator, but keep a root ("/", "C:\") a root.
        if (bare.size() > 1 && bare.back() == sep &&
            !(flavour == PathFlavour::Windows && bare.size() == 3 && bare[1] == ':')) {
            bare.pop_back();
        }
        return (fs.attributes(bare) & kAttrDirectory) != 0;
    } catch (const std::exception&) {
        return false;
    }
}

void WriteTextFile(RunFileSystem& fs, const std::string& path, std::string_view text,
                   const RunFileSystem::WriteGuard& guard) {
    fs.writeFile(path, text, guard);
}

}  // namespace pellatrix
