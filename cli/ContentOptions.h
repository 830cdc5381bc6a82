#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/StandardInput.h"
#include "engine/run/FileContent.h"

namespace pellatrix {

/// --size's value: a whole number of bytes, or of KiB, MiB or GiB with the suffix K, M or G (k, m,
/// g alike), from 1 byte up to the largest file length there is. False with `why` otherwise.
bool ParseSize(const char* text, std::uint64_t& size, std::string& why);

/// What the command line asked of the files' content.
struct ContentRequest {
    bool haveTextFile = false;
    std::string textFile;  // -f
    bool fields = false;   // --fields
    std::optional<std::uint64_t> size;
    bool nul = false;
    std::vector<std::string> lists;
};

/// How setting up the content ended: go on (0), a failure told on `errors` (1), or a usage
/// error whose text is `usage` (2).
struct ContentSetup {
    int status = 0;
    std::string usage;
};

/// Sets up the content of a run before it starts: -f of a regular file becomes the template
/// copied into each file (read as text, within FileContent::kFieldsTemplateMax, with --fields);
/// any other -f is read once into `text`. With --fields, the fixed text and every list line are
/// checked, each stream list kept to be read again by the run. Nothing is written.
ContentSetup PrepareContent(PipedFileSystem& fs, const ContentRequest& request, std::string& text,
                            FileContent& content, std::FILE* errors);

}  // namespace pellatrix
