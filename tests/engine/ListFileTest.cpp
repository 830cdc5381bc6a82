#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/lists/Fields.h"
#include "engine/lists/ListFile.h"
#include "engine/posix/PosixFileSystem.h"
#include "tests/engine/FakeFileSystem.h"
#include "tests/engine/TempFolder.h"

namespace pellatrix {
namespace {

using Lines = std::vector<std::string>;

Lines split(const std::vector<std::string_view>& chunks) {
    Lines lines;
    LineSplitter splitter([&](std::string_view line) { lines.emplace_back(line); });
    for (std::string_view chunk : chunks) {
        splitter.feed(chunk);
    }
    splitter.finish();
    return lines;
}

struct SplitCase {
    const char* name;
    std::string bytes;
    Lines lines;
};

const std::vector<SplitCase>& splitCases() {
    using namespace std::string_literals;
    static const std::vector<SplitCase> cases = {
        {"empty file is one empty line", "", {""}},
        {"one line without break",
         "C:\\test\\newfolder1\\out.txt",
         {"C:\\test\\newfolder1\\out.txt"}},
        {"final CR LF adds no line", "a\r\n", {"a"}},
        {"final LF adds no line", "a\n", {"a"}},
        {"final CR adds no line", "a\r", {"a"}},
        {"a lone break is one empty line", "\r\n", {""}},
        {"empty line between two", "a\r\n\r\nb", {"a", "", "b"}},
        {"LF CR is two breaks", "a\n\rb", {"a", "", "b"}},
        {"CR CR LF is two breaks", "a\r\r\nb", {"a", "", "b"}},
        {"mixed breaks", "a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"two final breaks give one empty line", "a\r\n\r\n", {"a", ""}},
        {"nothing trimmed", "  a b \t\r\n\t", {"  a b \t", "\t"}},
        {"byte-order mark stays in the first line", "\xEF\xBB\xBFx\r\ny", {"\xEF\xBB\xBFx", "y"}},
        {"NUL bytes are ordinary bytes", "a\0b\r\n\0"s, {"a\0b"s, "\0"s}},
        {"binary junk", "\xff\xfe\x01\x7f\r\x80\n", {"\xff\xfe\x01\x7f", "\x80"}},
    };
    return cases;
}

TEST(LineSplitter, SplitsEveryBreakKindWhateverTheChunking) {
    for (const SplitCase& c : splitCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(split({c.bytes}), c.lines);
        // Every cut into two chunks, and one byte at a time, must give the same lines: a CR
        // that ends one chunk and the LF that starts the next are one break.
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            std::string_view all(c.bytes);
            EXPECT_EQ(split({all.substr(0, cut), all.substr(cut)}), c.lines) << "cut " << cut;
        }
        std::vector<std::string_view> bytes;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            bytes.push_back(std::string_view(c.bytes).substr(i, 1));
        }
        EXPECT_EQ(split(bytes), c.lines);
    }
}

TEST(LineSplitter, CanBeReusedAfterFinish) {
    Lines lines;
    LineSplitter splitter([&](std::string_view line) { lines.emplace_back(line); });
    splitter.feed("a\r");
    splitter.finish();
    splitter.feed("\nb");  // a new input: its LF is a break of its own, not the old CR's partner
    splitter.finish();
    EXPECT_EQ(lines, (Lines{"a", "", "b"}));
}

TEST(ListLine, BlankAndSplitRules) {
    struct Case {
        std::string line;
        bool blank;
        std::string path;
        bool hasContent;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"", true, "", false, ""},
        {"   ", true, "", false, ""},
        {"\t", false, "\t", false, ""},
        {" \t ", false, " \t ", false, ""},
        {"C:\\test\\newfolder1\\out.txt", false, "C:\\test\\newfolder1\\out.txt", false, ""},
        {"C:\\test\\newfolder1\\out.txt>first", false, "C:\\test\\newfolder1\\out.txt", true,
         "first"},
        {"/tmp/a.txt > b ", false, "/tmp/a.txt ", true, " b "},
        {">rest", false, "", true, "rest"},
        {"/tmp/a.txt>", false, "/tmp/a.txt", true, ""},
        {"/tmp/a.txt>a>b", false, "/tmp/a.txt", true, "a>b"},
        {"   >", false, "   ", true, ""},
        {" x ", false, " x ", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("line '" + c.line + "'");
        EXPECT_EQ(IsBlankLine(c.line), c.blank);
        if (c.blank) {
            continue;
        }
        ListLine parsed = SplitListLine(c.line);
        EXPECT_EQ(parsed.path, c.path);
        ASSERT_EQ(parsed.content.has_value(), c.hasContent);
        if (c.hasContent) {
            EXPECT_EQ(*parsed.content, c.content);
        }
    }
}

// Each field is filled from the file, braces doubled are one; what does not parse says what and
// where, and a text without fields is its own bytes, braces made single.
TEST(ListLine, FieldsAreFilledFromEachFileAndBadOnesNamed) {
    using namespace std::string_literals;
    const FieldText::Values values{"/home/me/out/report.tar.gz", 7, "lists/a.txt", 12,
                                   "2026-12-08T09:55:00+01:00"};
    struct Case {
        std::string text;
        std::string filled;  // empty with a problem
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"{name}|{stem}|{ext}", "report.tar.gz|report.tar|gz", ""},
        {"{folder}|{path}", "/home/me/out|/home/me/out/report.tar.gz", ""},
        {"{n} {n:3} {n:1} {list}:{line} {date}", "7 007 7 lists/a.txt:12 2026-12-08T09:55:00+01:00",
         ""},
        {"{{name}} }}{{ \xff\0>"s, "{name} }{ \xff\0>"s, ""},
        {"", "", ""},
        {"{Name}", "",
         "unknown field '{Name}' (known: {name} {stem} {ext} {folder} {path} {n} {n:WIDTH} "
         "{list} {line} {date}; '{{' for a brace)"},
        {"{n:0}", "", "unknown field '{n:0}'"},
        {"{n:21}", "", "unknown field '{n:21}'"},
        {"{n:}", "", "unknown field '{n:}'"},
        {"{}", "", "unknown field '{}'"},
        {"ab{name", "", "a '{' left open at byte 3 of the text (write '{{' for a brace)"},
        {"{na{me}", "", "a '{' left open at byte 1 of the text (write '{{' for a brace)"},
        {"a}b", "", "a '}' without its '{' at byte 2 of the text (write '}}' for a brace)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FieldText text;
        std::string problem;
        const bool parsed = text.parse(c.text, problem);
        EXPECT_EQ(parsed, c.problem.empty());
        if (!parsed) {
            EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem);
            continue;
        }
        std::string out = "left over";
        text.fill(values, out);
        EXPECT_EQ(out, c.filled);
    }
    // A name without a dot, or only a leading one, has no extension; a file at the root has "/"
    // for its folder.
    FieldText parts;
    std::string problem;
    ASSERT_TRUE(parts.parse("{stem}|{ext}|{folder}", problem));
    std::string out;
    parts.fill({"/.bashrc", 1, {}, 1, {}}, out);
    EXPECT_EQ(out, ".bashrc||/");
    parts.fill({"notes", 1, {}, 1, {}}, out);
    EXPECT_EQ(out, "notes||");
    EXPECT_TRUE(HoldsField("out/{n:2}.txt"));
    EXPECT_FALSE(HoldsField("out/{{n}}.txt{x}"));
}

TEST(ReadListFile, ReadsThroughTheFileSystemAndPassesFailuresOn) {
    test::FakeFileSystem fs;
    fs.addFile("/lists/two.txt", "a\r\n\r\nb\r\n");
    fs.setChunkSize(3);
    EXPECT_EQ(ReadListFile(fs, "/lists/two.txt"), (Lines{"a", "", "b"}));

    try {
        ReadListFile(fs, "/lists/missing.txt");
        ADD_FAILURE() << "a missing list file must fail";
    } catch (const FsError& e) {
        EXPECT_EQ(e.number(), kErrFileNotFound);
    }

    fs.failReadAfter("/lists/two.txt", 1);
    EXPECT_THROW(ReadListFile(fs, "/lists/two.txt"), FsError);
}

}  // namespace
}  // namespace pellatrix

namespace pellatrix {
namespace {

TEST(ReadListFile, BreakAcrossTheRealReadChunkIsOneBreak) {
    // The POSIX reader hands out 1 MiB chunks; put a CR LF across and around that edge.
    test::TempFolder tmp;
    PosixFileSystem fs;
    const std::size_t chunk = 1 << 20;
    for (std::size_t before : {chunk - 1, chunk - 2, chunk}) {
        std::string first(before, 'a');
        test::writeBytes(tmp / "list.txt", first + "\r\nb\r\n");
        EXPECT_EQ(ReadListFile(fs, tmp / "list.txt"), (Lines{first, "b"})) << before;
    }
}

}  // namespace
}  // namespace pellatrix
