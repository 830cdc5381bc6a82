// A whole creation run over the test file system: two fuzzed list files (the second may fail
// part-way), optionally a third that cannot be read at all, and a fuzzed fixed text. The files
// written are the non-blank lines of the lists that were read whole, in order, at their cleaned
// paths, with the text the fixed-text or per-line rules give; every failure is one report; and
// no list file of the run is ever written, whatever alias a line uses for it.
//
// Input: flags, chunk size, failure point, fixed text and first list (length-prefixed), then
// the second list.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run/CreationRun.h"
#include "fuzz/FuzzSupport.h"
#include "tests/engine/FakeCreationUi.h"
#include "tests/engine/FakeFileSystem.h"

using namespace pellatrix;
using pellatrix::fuzz::visible;

namespace {

const std::string kListA = "/l/a";
const std::string kListB = "/l/b";
const std::string kListC = "/l/c";
// Other names of the lists: a link to the first, a hard link to the second.
const std::string kLinkA = "/t/la";
const std::string kLinkB = "/l/lb";

// The test file system, keeping a ledger of every write asked for and whether it succeeded.
class LedgerFileSystem : public test::FakeFileSystem {
public:
    struct Write {
        std::string path;
        std::string text;
        bool succeeded;
    };
    std::vector<Write> writes;

    void writeFile(const std::string& path, std::string_view text,
                   const WriteGuard& guard) override {
        writes.push_back({path, std::string(text), false});
        test::FakeFileSystem::writeFile(path, text, guard);
        writes.back().succeeded = true;
    }
};

// The name the file system gives a path: doubled and final separators do not count.
std::string tidy(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (!(c == '/' && !out.empty() && out.back() == '/')) {
            out += c;
        }
    }
    if (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

std::vector<std::string> linesOf(std::string_view text) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            if (i + 1 < text.size()) {
                lines.emplace_back();
            }
        } else {
            lines.back() += text[i];
        }
    }
    return lines;
}

std::string cleaned(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string out = path.substr(0, nameStart);
    for (char c : path.substr(nameStart)) {
        if (std::string_view("?*|<>;:[]\"/\\=").find(c) == std::string_view::npos) {
            out += c;
        }
    }
    return out;
}

struct Expected {
    std::string path;  // cleaned
    std::string text;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The home folder is the lists' folder, so "~/a" is one more name of a list.
    static const bool homeSet = ::setenv("HOME", "/l", 1) == 0;
    FUZZ_CHECK(homeSet, "HOME could not be set");
    fuzz::Input input(data, size);
    const std::uint8_t flags = input.byte();
    const std::size_t chunk = 1 + input.byte() % 32;
    const int failAfter = input.byte();
    const std::string fixedText(input.sized());
    const std::string listA(input.sized());
    const std::string listB(input.rest());
    const bool bFails = (flags & 1) != 0;
    const bool withC = (flags & 2) != 0;

    LedgerFileSystem fs;
    fs.addFolder("/l");
    fs.addFile(kListA, listA);
    fs.addFile(kListB, listB);
    fs.addFile(kListC, "/l/c-was-read\n");
    fs.failOn("read", kListC, kErrPermissionDenied);
    fs.addFolder("/t");
    fs.addAlias(kLinkA, kListA);
    fs.addAlias(kLinkB, kListB);
    fs.setChunkSize(chunk);
    if (bFails) {
        fs.failReadAfter(kListB, failAfter);
    }
    test::FakeCreationUi ui;
    ui.entries = {kListA, kListB};
    if (withC) {
        ui.entries.push_back(kListC);
    }
    ui.text = fixedText;
    ui.recordProgress = false;

    // What the run must do, from the rules alone.
    std::vector<std::string> lines = linesOf(listA);
    if (!bFails) {
        const std::vector<std::string> more = linesOf(listB);
        lines.insert(lines.end(), more.begin(), more.end());
    }
    bool perLine = false;
    for (const std::string& line : lines) {
        perLine = perLine || line.find('>') != std::string::npos;
    }
    std::vector<Expected> expected;
    bool contentSeen = false;
    for (const std::string& line : lines) {
        if (line.find_first_not_of(' ') == std::string::npos) {
            continue;
        }
        const std::size_t gt = line.find('>');
        std::string path = line.substr(0, gt);
        if (path.starts_with("~/")) {  // a path in the home folder
            path = "/l" + path.substr(1);
        }
        std::string text = fixedText;
        if (perLine) {
            if (gt != std::string::npos) {
                contentSeen = true;
                text = line.substr(gt + 1);
            } else if (contentSeen) {
                text.clear();
            }
        }
        expected.push_back({cleaned(path), text});
    }

    CreationRun run(fs, ui);
    run.createFiles();

    const auto isListFile = [&](const std::string& path) {
        const std::string t = tidy(path);
        return t == kListA || t == kListB || t == kLinkA || t == kLinkB || (withC && t == kListC);
    };

    // No list file was written, under any name, and each is as it was.
    FUZZ_CHECK(fs.file(kListA) == listA, "list a was written");
    FUZZ_CHECK(fs.file(kListB) == listB, "list b was written");
    FUZZ_CHECK(!withC || fs.file(kListC) == "/l/c-was-read\n", "list c was written");
    std::size_t written = 0;
    std::vector<LedgerFileSystem::Write> attempts;
    for (const LedgerFileSystem::Write& w : fs.writes) {
        FUZZ_CHECK(!(w.succeeded && isListFile(w.path)),
                   "a list file was written as " + visible(w.path));
        written += w.succeeded ? 1 : 0;
        if (!isListFile(w.path)) {
            attempts.push_back(w);
        }
    }

    // The files are written in entry order, at their cleaned paths, with their texts.
    std::vector<Expected> expectedAttempts;
    std::size_t refused = 0;
    for (const Expected& e : expected) {
        if (isListFile(e.path)) {
            ++refused;
        } else {
            expectedAttempts.push_back(e);
        }
    }
    FUZZ_CHECK(attempts.size() == expectedAttempts.size(),
               std::to_string(attempts.size()) + " writes, " +
                   std::to_string(expectedAttempts.size()) + " expected");
    std::map<std::string, std::string> finalText;
    for (std::size_t k = 0; k < attempts.size(); ++k) {
        FUZZ_CHECK(attempts[k].path == expectedAttempts[k].path,
                   "write " + std::to_string(k) + " at " + visible(attempts[k].path) + " not " +
                       visible(expectedAttempts[k].path));
        FUZZ_CHECK(attempts[k].text == expectedAttempts[k].text,
                   visible(attempts[k].path) + " got " + visible(attempts[k].text) + " not " +
                       visible(expectedAttempts[k].text));
        if (attempts[k].succeeded) {
            finalText[tidy(attempts[k].path)] = attempts[k].text;
        }
    }
    for (const auto& [path, text] : finalText) {
        FUZZ_CHECK(fs.file(path) == text, visible(path));
    }

    // Every failure is one report: the unreadable lists at 124, each entry not written at its
    // write step, nothing else.
    const int writeLine = perLine ? 216 : 212;
    std::size_t readReports = 0;
    std::size_t writeReports = 0;
    for (const test::FakeCreationUi::Report& r : ui.reports) {
        FUZZ_CHECK(r.line == 124 || r.line == writeLine,
                   "report at line " + std::to_string(r.line) + ": " + r.description);
        (r.line == 124 ? readReports : writeReports)++;
    }
    FUZZ_CHECK(readReports == (bFails ? 1u : 0u) + (withC ? 1u : 0u), "read reports");
    FUZZ_CHECK(written + writeReports == expected.size(), "written + reported");
    FUZZ_CHECK(writeReports >= refused, "each refused list file is reported");
    FUZZ_CHECK(run.lastSummary().filesWritten == written, "summary of files");
    FUZZ_CHECK(run.lastSummary().failures == ui.reports.size(), "summary of failures");
    FUZZ_CHECK(!ui.events.empty() && ui.events.back() == "message Done.", "the run ends Done.");
    return 0;
}
