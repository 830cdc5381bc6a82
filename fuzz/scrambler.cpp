// The sample record's scrambler and its record form: scrambling keeps the length and the byte
// range 1..255 and unscrambling gives the text back, for any key; a record split at "|" and
// joined again is the record, and a record built from a samples folder splits into its paths.
//
// Input: the key (length-prefixed), then the text; the text's lines also name sample files.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "folderservices/FolderScan.h"
#include "fuzz/FuzzSupport.h"
#include "guidance/SampleRecord.h"
#include "tests/engine/FakeFileSystem.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::string key(input.take(input.byte() % 32));
    std::string text(input.rest());
    for (char& c : text) {  // the scrambler's domain: bytes 1..255
        if (c == '\0') {
            c = '\x01';
        }
    }

    std::size_t yields = 0;
    const std::string scrambled = ScrambleText(text, key, [&] { ++yields; });
    FUZZ_CHECK(scrambled.size() == text.size(), visible(text));
    FUZZ_CHECK(yields == text.size(), "one yield per byte");
    FUZZ_CHECK(scrambled.find('\0') == std::string::npos, visible(text) + " key " + visible(key));
    for (std::size_t i = 0; i < text.size() && !key.empty(); ++i) {
        // Each byte moves up by its key letter, round the ring of the 255 values 1..255.
        const int c = static_cast<unsigned char>(text[i]);
        const int k = static_cast<unsigned char>(key[i % key.size()]);
        FUZZ_CHECK(static_cast<unsigned char>(scrambled[i]) == (c - 1 + k) % 255 + 1,
                   "byte " + std::to_string(i) + " of " + visible(text) + " key " + visible(key));
    }
    FUZZ_CHECK(UnscrambleText(scrambled, key) == text, visible(text) + " key " + visible(key));

    // The record form.
    const std::vector<std::string> parts = splitSampleRecord(text);
    FUZZ_CHECK(parts.empty() == text.empty(), visible(text));
    std::string rejoined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        FUZZ_CHECK(parts[i].find('|') == std::string::npos, visible(text));
        rejoined += (i == 0 ? "" : "|") + parts[i];
    }
    FUZZ_CHECK(rejoined == text, visible(text));

    // A samples folder whose files are the text's lines: the record names each, in listing order.
    test::FakeFileSystem fs;
    fs.addFolder("/prog/Samples");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string name = text.substr(start, end - start);
        if (!name.empty() && name.find_first_of("/|") == std::string::npos) {
            fs.addFile("/prog/Samples/" + name, "");
        }
        start = end + 1;
    }
    const std::string record = buildSampleRecord(fs, "/prog");
    std::vector<std::string> expected;
    for (const std::string& name : ListFilesInFolder(fs, "/prog/Samples", "*.*")) {
        expected.push_back("/prog/Samples/" + name);
    }
    FUZZ_CHECK(expected.size() == fs.fileNames("/prog/Samples").size(), "every sample listed");
    FUZZ_CHECK(splitSampleRecord(record) == expected, visible(record));
    FUZZ_CHECK(UnscrambleText(ScrambleText(record, SampleRecordKey), SampleRecordKey) == record,
               visible(record));
    return 0;
}
