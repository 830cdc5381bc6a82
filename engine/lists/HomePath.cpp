#include "engine/lists/HomePath.h"

#include <cstdlib>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace pellatrix {

std::string UserHomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
#ifndef _WIN32
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
#endif
    return {};
}

std::string ExpandHomePrefix(std::string_view path, std::string_view home) {
    if (home.empty() || !HasHomePrefix(path)) {
        return std::string(path);
    }
    std::string out(home);
    out.append(path.substr(1));
    return out;
}

}  // namespace pellatrix
