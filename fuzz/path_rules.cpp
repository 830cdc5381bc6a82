// The path rules in both separator flavours: splitting gives the path back, cleaning removes
// exactly the forbidden characters of the file name and is done after one pass.
//
// Input: the path.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/lists/PathRules.h"
#include "fuzz/FuzzSupport.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

namespace {

void checkFlavour(PathFlavour flavour, const std::string& path) {
    const char sep = SeparatorOf(flavour);
    const std::string where =
        std::string(flavour == PathFlavour::Windows ? "windows " : "posix ") + visible(path);

    const std::string folder = FolderPart(path, flavour);
    const std::string name = FileNamePart(path, flavour);
    FUZZ_CHECK(folder + name == path, where);
    FUZZ_CHECK(name.find(sep) == std::string::npos, where);
    FUZZ_CHECK(folder.empty() == (path.find(sep) == std::string::npos), where);
    FUZZ_CHECK(folder.empty() || folder.back() == sep, where);

    const std::string clean = CleanFileName(path, flavour);
    FUZZ_CHECK(FolderPart(clean, flavour) == folder, where);
    const std::string cleanName = FileNamePart(clean, flavour);
    FUZZ_CHECK(cleanName.find_first_of(ForbiddenNameChars) == std::string::npos, where);
    std::string kept;  // the name's other characters, in order
    for (char c : name) {
        if (ForbiddenNameChars.find(c) == std::string_view::npos) {
            kept += c;
        }
    }
    FUZZ_CHECK(cleanName == kept, where);
    FUZZ_CHECK(CleanFileName(clean, flavour) == clean, where);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::string path(input.rest());
    checkFlavour(PathFlavour::Windows, path);
    checkFlavour(PathFlavour::Posix, path);
    return 0;
}
