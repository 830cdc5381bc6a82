#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guidance/HelpTexts.h"

namespace pellatrix::help {
namespace {

std::vector<std::string> linesAtCr(const std::string& text) {
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\r') {
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

TEST(HelpTexts, FormatHelpPiecesAreExact) {
    const auto pieces = formatHelpPieces();
    const std::string expected[] = {
        "The *contents* of your text files should look like:\r\r",
        "/tmp/test/newfolder1/out.txt\r",
        "/tmp/test/newfolder2/this.txt\r",
        "/tmp/test/newfolder3/junk.jnk\r\r",
        "They should not look like:\r",
        "out.txt\r",
        "this.txt\r",
        "junk.jnk\r\r",
    };
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_EQ(pieces[i], expected[i]) << "piece " << i + 1;
    }
    EXPECT_STREQ(kFormatHelpClosing,
                 "Make sure each entry is separated by an enter (carriage return). Open text "
                 "file(s) in Notepad to confirm this.");
    EXPECT_STREQ(kViewSampleQuestion, "Would you like to view a sample file?");
}

TEST(HelpTexts, FormatHelpBoxLinesAndEmptyLines) {
    std::string box;
    for (const std::string& piece : formatHelpPieces()) {
        box += piece;
    }
    box += kFormatHelpClosing;
    EXPECT_EQ(box.find('\n'), std::string::npos) << "lines break with a lone CR";
    const std::vector<std::string> expected = {
        "The *contents* of your text files should look like:",
        "",
        "/tmp/test/newfolder1/out.txt",
        "/tmp/test/newfolder2/this.txt",
        "/tmp/test/newfolder3/junk.jnk",
        "",
        "They should not look like:",
        "out.txt",
        "this.txt",
        "junk.jnk",
        "",
        kFormatHelpClosing,
    };
    EXPECT_EQ(linesAtCr(box), expected);
}

TEST(HelpTexts, ContentHelpPiecesAreExact) {
    const auto pieces = contentHelpPieces();
    EXPECT_EQ(pieces[0],
              "If you would like to create files and put different text in each file you can "
              "create a text file that looks like this:\r\r");
    EXPECT_EQ(pieces[1], "/tmp/test/newfolder1/out.txt>first\r");
    EXPECT_EQ(pieces[2], "/tmp/test/newfolder2/this.txt>second\r");
    EXPECT_EQ(pieces[3], "/tmp/test/newfolder3/junk.jnk>third") << "no break after the last";
    EXPECT_STREQ(kOpenSamplesFolderQuestion,
                 "Would you like this software to open the folder where these sample files are "
                 "stored (so that you can view them before working with them)?");
}

}  // namespace
}  // namespace pellatrix::help
