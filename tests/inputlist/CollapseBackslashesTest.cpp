#include "inputlist/CollapseBackslashes.h"

#include <gtest/gtest.h>

#include <string>

namespace pellatrix {
namespace {

struct CollapseCase {
    const char* name;
    std::string path;
    std::string expected;
};

void PrintTo(const CollapseCase& c, std::ostream* os) {
    *os << c.name;
}

class WindowsFlavour : public testing::TestWithParam<CollapseCase> {};
class LinuxFlavour : public testing::TestWithParam<CollapseCase> {};

TEST_P(WindowsFlavour, CollapsesAsGiven) {
    EXPECT_EQ(CollapseSeparators(GetParam().path, PathFlavour::Windows), GetParam().expected);
}

TEST_P(LinuxFlavour, CollapsesAsGiven) {
    EXPECT_EQ(CollapseSeparators(GetParam().path, PathFlavour::Posix), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, WindowsFlavour,
    testing::Values(
        CollapseCase{"DriveFolderFile", R"(C:\\folder\\file.txt)", R"(C:\folder\file.txt)"},
        CollapseCase{"DriveRootJoined", R"(C:\\a.txt)", R"(C:\a.txt)"},
        CollapseCase{"NetworkUnchanged", R"(\\server\share\f.txt)", R"(\\server\share\f.txt)"},
        CollapseCase{"ThreeLeadingBecomeTwo", R"(\\\server\x)", R"(\\server\x)"},
        CollapseCase{"OneLeadingBecomesTwo", R"(\name)", R"(\\name)"},
        CollapseCase{"RunOfThreeBecomesTwo", R"(a\\\b)", R"(a\\b)"},
        CollapseCase{"RunOfFourBecomesTwo", R"(a\\\\b)", R"(a\\b)"},
        CollapseCase{"RunOfFiveBecomesThree", R"(a\\\\\b)", R"(a\\\b)"},
        CollapseCase{"TrailingPair", R"(C:\x\\)", R"(C:\x\)"},
        CollapseCase{"OnlySeparators", R"(\\\\)", R"(\\)"},
        CollapseCase{"PairsAfterNetworkPrefix", R"(\\server\\share)", R"(\\server\share)"},
        CollapseCase{"Empty", "", ""}, CollapseCase{"NoSeparator", "file.txt", "file.txt"},
        CollapseCase{"SlashIsNoSeparatorHere", "C://x", "C://x"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Twins, LinuxFlavour,
    testing::Values(CollapseCase{"FolderFile", "/tmp//folder//file.txt", "/tmp/folder/file.txt"},
                    CollapseCase{"RootJoined", "//a.txt", "/a.txt"},
                    CollapseCase{"TwoLeadingBecomeOne", "//server/share/f.txt",
                                 "/server/share/f.txt"},
                    CollapseCase{"ThreeLeadingBecomeOne", "///server/x", "/server/x"},
                    CollapseCase{"OneLeadingStays", "/name", "/name"},
                    CollapseCase{"RunOfThreeBecomesTwo", "/a///b", "/a//b"},
                    CollapseCase{"RunOfFourBecomesTwo", "/a////b", "/a//b"},
                    CollapseCase{"TrailingPair", "/tmp/x//", "/tmp/x/"},
                    CollapseCase{"OnlySeparators", "////", "/"},
                    CollapseCase{"Relative", "x//y", "x/y"}, CollapseCase{"Empty", "", ""},
                    CollapseCase{"BytesKept", "/tmp//caf\xc3\xa9//\xc3\xb1.txt",
                                 "/tmp/caf\xc3\xa9/\xc3\xb1.txt"},
                    CollapseCase{"InvalidUtf8Kept", "/tmp//\xff\xfe", "/tmp/\xff\xfe"},
                    CollapseCase{"BackslashIsNoSeparatorHere", "/a\\\\b", "/a\\\\b"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CollapseBackslashes, UsesThePlatformSeparator) {
    EXPECT_EQ(CollapseBackslashes("//x//y"), CollapseSeparators("//x//y", kNativeFlavour));
}

}  // namespace
}  // namespace pellatrix
