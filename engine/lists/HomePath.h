#pragma once

#include <string>
#include <string_view>

namespace pellatrix {

/// The user's home folder: $HOME, or the password database's home of the user when HOME is
/// unset or empty; empty when neither knows one.
std::string UserHomeFolder();

/// True when `path` begins with "~/".
inline bool HasHomePrefix(std::string_view path) {
    return path.size() >= 2 && path[0] == '~' && path[1] == '/';
}

/// A path that begins with "~/" names a path in the home folder: the "~" becomes `home` and the
/// rest stays byte for byte. Any other path ("~user/x", "a/~/b", a lone "~") and any path when
/// `home` is empty come back unchanged.
std::string ExpandHomePrefix(std::string_view path, std::string_view home);

}  // namespace pellatrix
