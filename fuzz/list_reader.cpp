// The list reader: however the bytes arrive, the same lines come out, and they are exactly the
// input with its breaks made one kind.
//
// Input: a chunking seed, a failure point, then the list file's bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/FsError.h"
#include "engine/lists/ListFile.h"
#include "fuzz/FuzzSupport.h"
#include "tests/engine/FakeFileSystem.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

namespace {

std::vector<std::string> splitInChunks(std::string_view text, std::uint32_t seed) {
    std::vector<std::string> lines;
    LineSplitter splitter([&](std::string_view line) { lines.emplace_back(line); });
    std::size_t at = 0;
    while (at < text.size()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t length = (seed >> 16) % 9;  // 0..8: empty chunks too
        splitter.feed(text.substr(at, length));
        at += length;
    }
    splitter.finish();
    return lines;
}

// Every break (CR LF, lone CR, lone LF) made one LF, and one break at the very end dropped.
std::string normalised(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) {
            out += '\n';
        }
        out += lines[i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t chunkSeed = input.byte();
    const std::uint8_t failAfter = input.byte();
    const std::string_view text = input.rest();

    // Whole, in one chunk, then byte by byte and in mixed chunks: the same lines.
    std::vector<std::string> whole;
    {
        LineSplitter splitter([&](std::string_view line) { whole.emplace_back(line); });
        splitter.feed(text);
        splitter.finish();
    }
    FUZZ_CHECK(!whole.empty(), "a list file always has a line");
    for (std::uint32_t seed : {0u, 1u + chunkSeed, 77u * chunkSeed + 5u}) {
        FUZZ_CHECK(splitInChunks(text, seed) == whole, "chunking seed " + std::to_string(seed));
    }
    {
        std::vector<std::string> single;
        LineSplitter splitter([&](std::string_view line) { single.emplace_back(line); });
        for (char c : text) {
            splitter.feed(std::string_view(&c, 1));
        }
        splitter.finish();
        FUZZ_CHECK(single == whole, "byte-by-byte reading of " + visible(text));
    }

    for (const std::string& line : whole) {
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "line " + visible(line));
        const ListLine parsed = SplitListLine(line);
        if (parsed.content) {
            FUZZ_CHECK(std::string(parsed.path) + ">" + std::string(*parsed.content) == line,
                       visible(line));
            FUZZ_CHECK(parsed.path.find('>') == std::string_view::npos, visible(line));
        } else {
            FUZZ_CHECK(parsed.path == line && line.find('>') == std::string::npos, visible(line));
        }
        FUZZ_CHECK(IsBlankLine(line) == (line.find_first_not_of(' ') == std::string::npos),
                   visible(line));
    }
    FUZZ_CHECK(joined(whole) == normalised(text), visible(text));

    // Through a file system whose chunks have another size: the same lines; and a read that
    // fails part-way lets only the file-system failure out, after whole lines only.
    test::FakeFileSystem fs;
    fs.addFile("/list", std::string(text));
    fs.setChunkSize(1 + chunkSeed % 64);
    FUZZ_CHECK(ReadListFile(fs, "/list") == whole, visible(text));

    fs.failReadAfter("/list", failAfter);
    std::vector<std::string> before;
    bool failed = false;
    try {
        ReadListFileLines(fs, "/list", [&](std::string_view line) { before.emplace_back(line); });
    } catch (const FsError& e) {
        failed = e.number() == kErrPathFileAccess;
    } catch (...) {
        FUZZ_CHECK(false, "something other than the file-system failure left the reader");
    }
    FUZZ_CHECK(failed, "a read that fails must fail with its own number");
    FUZZ_CHECK(
        before.size() <= whole.size() && std::equal(before.begin(), before.end(), whole.begin()),
        "lines before the failure must be whole lines of the file");
    return 0;
}
