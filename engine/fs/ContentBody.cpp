#include "engine/fs/ContentBody.h"

#include <algorithm>

#include "engine/fs/FileSystem.h"
#include "engine/fs/FsError.h"

namespace pellatrix {

std::unique_ptr<TemplateFile> RunFileSystem::openTemplate(const std::string& path) {
    auto file = std::make_unique<TemplateFile>();
    file->path = path;
    readFile(path, [&](std::string_view chunk) { file->bytes.append(chunk); });
    file->size = file->bytes.size();
    return file;
}

void RunFileSystem::writeFileFrom(const std::string& path, const ContentBody& body,
                                  const WriteGuard& guard) {
    const std::string_view unit = body.source != nullptr ? body.source->bytes : body.text;
    if (!body.sized) {
        writeFile(path, unit, guard);
        return;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(body.size));
    while (bytes.size() < body.size) {
        if (unit.empty()) {
            bytes.resize(static_cast<std::size_t>(body.size), '\0');
            break;
        }
        bytes.append(
            unit.substr(0, std::min<std::uint64_t>(unit.size(), body.size - bytes.size())));
    }
    writeFile(path, bytes, guard);
}

}  // namespace pellatrix
