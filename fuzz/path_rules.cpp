// The path rules in both separator flavours: splitting gives the path back, cleaning removes
// exactly the forbidden characters of the file name and is done after one pass, and making a
// folder path touches only prefixes of it and ends after a bounded number of steps.
//
// Input: a byte choosing the existing ancestors, a byte choosing an injected failure, the path.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/FsError.h"
#include "engine/lists/PathRules.h"
#include "fuzz/FuzzSupport.h"
#include "tests/engine/FakeFileSystem.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

namespace {

void checkFlavour(PathFlavour flavour, const std::string& path, std::uint8_t existing,
                  std::uint8_t failure) {
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

    // MakeFolderPath over a file system where the first few ancestors exist and one prefix may
    // fail with a chosen number.
    test::FakeFileSystem fs(sep);
    std::vector<std::size_t> separators;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == sep) {
            separators.push_back(i);
        }
    }
    const std::size_t existingLevels = separators.empty() ? 0 : existing % (separators.size() + 1);
    for (std::size_t level = 0; level < existingLevels; ++level) {
        if (separators[level] > 0) {
            fs.addFolder(path.substr(0, separators[level]));
        }
    }
    bool injected = false;
    if (failure & 1) {
        static constexpr int kNumbers[] = {kErrPermissionDenied, kErrDiskFull, kErrPathNotFound,
                                           kErrPathFileAccess};
        const std::size_t cut =
            separators.empty() || (failure >> 1) % (separators.size() + 1) == separators.size()
                ? path.size()
                : separators[(failure >> 1) % (separators.size() + 1)];
        fs.failOn("mkdir", path.substr(0, cut), kNumbers[(failure >> 5) % 4]);
        injected = true;
    }
    fs.clearCalls();
    const bool made = MakeFolderPath(fs, path, flavour);
    const std::vector<std::string> calls = fs.callsOf("mkdir");
    for (const std::string& call : calls) {
        FUZZ_CHECK(path.compare(0, call.size(), call) == 0, where + " created " + visible(call));
    }
    FUZZ_CHECK(calls.size() <= 2 * separators.size() + 2,
               where + " took " + std::to_string(calls.size()) + " steps");
    if (!injected && !path.empty()) {
        FUZZ_CHECK(made && IsExistingFolder(fs, path, flavour), where + " was not made");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t existing = input.byte();
    const std::uint8_t failure = input.byte();
    const std::string path(input.rest());
    checkFlavour(PathFlavour::Windows, path, existing, failure);
    checkFlavour(PathFlavour::Posix, path, existing, failure);
    return 0;
}
