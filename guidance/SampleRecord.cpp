#include "guidance/SampleRecord.h"

#include <utility>

#include "folderservices/FolderScan.h"

namespace pellatrix {

namespace {

constexpr char kRecordSeparator = '|';

// Both directions walk the text with the same cycling key position.
template <class Shift>
std::string transform(std::string_view text, std::string_view key,
                      const std::function<void()>& yield, Shift shift) {
    std::string result(text.size(), '\0');
    std::size_t keyPos = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (yield) {
            yield();
        }
        const int c = static_cast<unsigned char>(text[i]);
        int v = c;
        if (!key.empty()) {
            const int k = static_cast<unsigned char>(key[keyPos]);
            keyPos = (keyPos + 1) % key.size();
            v = shift(c, k);
        }
        result[i] = static_cast<char>(static_cast<unsigned char>(v));
    }
    return result;
}

}  // namespace

std::string ScrambleText(std::string_view text, std::string_view key,
                         const std::function<void()>& yield) {
    return transform(text, key, yield, [](int c, int k) {
        int v = c + k;
        if (v > 255) {
            v -= 255;
        }
        return v;
    });
}

std::string UnscrambleText(std::string_view text, std::string_view key,
                           const std::function<void()>& yield) {
    return transform(text, key, yield, [](int c, int k) {
        int v = c - k;
        if (v <= 0) {
            v += 255;
        }
        return v;
    });
}

std::function<void()> sparseYield(std::function<void()> yield, unsigned every) {
    if (!yield) {
        return {};
    }
    if (every == 0) {
        every = 1;
    }
    return [yield = std::move(yield), every, calls = 0u]() mutable {
        if (calls++ % every == 0) {
            yield();
        }
    };
}

std::string samplesFolder(const std::string& programFolder) {
    return programFolder + kFolderSeparator + "Samples";
}

std::string buildSampleRecord(FileSystem& fs, const std::string& programFolder) {
    const std::string folder = samplesFolder(programFolder);
    const std::vector<std::string> names = ListFilesInFolder(fs, folder, "*.*");
    std::string record;
    for (const std::string& name : names) {
        record += folder + kFolderSeparator + name + kRecordSeparator;
    }
    if (!record.empty()) {
        record.pop_back();
    }
    return record;
}

std::vector<std::string> splitSampleRecord(std::string_view record) {
    std::vector<std::string> parts;
    if (record.empty()) {
        return parts;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = record.find(kRecordSeparator, start);
        if (bar == std::string_view::npos) {
            parts.emplace_back(record.substr(start));
            return parts;
        }
        parts.emplace_back(record.substr(start, bar - start));
        start = bar + 1;
    }
}

}  // namespace pellatrix
