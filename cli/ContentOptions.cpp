#include "cli/ContentOptions.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <limits>

#include "cli/CliUi.h"
#include "engine/fs/FsError.h"
#include "engine/lists/ShownText.h"

namespace pellatrix {

namespace {

// The longest file a 64-bit offset can hold.
constexpr std::uint64_t kLongestFile =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

std::string shown(const std::string& path) {
    return ShownOnTerminal(QuotedPath(path));
}

}  // namespace

bool ParseSize(const char* text, std::uint64_t& size, std::string& why) {
    const std::string given = text == nullptr ? std::string() : std::string(text);
    why = "invalid size: '" + ShownOnTerminal(given) +
          "' (give a whole number of bytes, or of KiB, MiB or GiB with K, M or G: --size=1M)";
    if (given.empty() || given[0] < '0' || given[0] > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(given.c_str(), &end, 10);
    unsigned shift = 0;
    switch (*end) {
        case '\0':
            break;
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        default:
            return false;
    }
    if (*end != '\0' && end[1] != '\0') {
        return false;
    }
    if (errno == ERANGE || value > (kLongestFile >> shift)) {
        why = "size '" + ShownOnTerminal(given) + "' is beyond the longest file there can be (" +
              std::to_string(kLongestFile) + " bytes)";
        return false;
    }
    if (value == 0) {
        why =
            "a size of 0 makes only empty files: give --size=1 or more (an empty text makes "
            "empty files already)";
        return false;
    }
    size = static_cast<std::uint64_t>(value) << shift;
    return true;
}

ContentSetup PrepareContent(PipedFileSystem& fs, const ContentRequest& request, std::string& text,
                            FileContent& content, std::FILE* errors) {
    content.fillFields(request.fields);
    content.makeSize(request.size);
    const bool standardInput = request.textFile == kStandardInputName;
    if (request.haveTextFile && !standardInput) {
        // Read first and written into after would be no template: refused before anything.
        try {
            const FileIdentity file = fs.fileIdentity(request.textFile);
            for (const std::string& list : request.lists) {
                if (list != kStandardInputName && fs.fileIdentity(list) == file) {
                    return {2, "the text file " + shown(request.textFile) +
                                   " is one of the run's list files"};
                }
            }
        } catch (const std::exception&) {
            // Not there, or a list that is not: each is told where it is read.
        }
    }
    std::unique_ptr<TemplateFile> templateFile;
    if (request.haveTextFile && !standardInput) {
        try {
            templateFile = fs.openTemplate(request.textFile);
        } catch (const std::exception&) {
            // Told in the words of the read below, as any text file that cannot be read.
        }
    }
    if (templateFile && request.fields && templateFile->size > FileContent::kFieldsTemplateMax) {
        return {2, "the text file " + shown(request.textFile) +
                       " is too large to fill fields in (" + std::to_string(templateFile->size) +
                       " bytes; --fields takes at most " +
                       std::to_string(FileContent::kFieldsTemplateMax >> 20) +
                       " MiB); give it without --fields to copy it"};
    }
    if (templateFile && !request.fields) {
        content.useTemplate(std::move(templateFile));
    } else if (request.haveTextFile) {
        const std::string tooLarge = "the text file " + shown(request.textFile) +
                                     " is too large to fill fields in (--fields takes at most " +
                                     std::to_string(FileContent::kFieldsTemplateMax >> 20) +
                                     " MiB)";
        bool overLimit = false;
        try {
            fs.readFile(request.textFile, [&](std::string_view chunk) {
                if (request.fields &&
                    text.size() + chunk.size() > FileContent::kFieldsTemplateMax) {
                    overLimit = true;
                    throw FsError(0, tooLarge);
                }
                text.append(chunk);
            });
        } catch (const std::exception& e) {
            if (overLimit) {
                return {2, tooLarge};
            }
            const auto* error = dynamic_cast<const FsError*>(&e);
            std::fputs(
                FailureLine(&request.textFile, 0, error ? error->number() : 0, e.what(), 0).c_str(),
                errors);
            return {1, {}};
        }
    }
    std::string problem;
    if (!content.prepare(text, problem)) {
        return {2,
                (request.haveTextFile ? ShownOnTerminal(request.textFile) : std::string("--text")) +
                    ": " + problem};
    }
    if (request.fields) {
        fs.keepStreams();  // read here and again by the run
        if (const auto bad = FileContent::CheckLists(fs, request.lists, request.nul)) {
            return {2, ShownOnTerminal(request.lists[bad->list - 1]) + ":" +
                           std::to_string(bad->line) + ": " + bad->why};
        }
    }
    return {};
}

}  // namespace pellatrix
