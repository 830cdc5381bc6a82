#pragma once

#include <string>
#include <string_view>

namespace pellatrix {

/// The platform's path separator: '/' here, '\' on Windows.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

/// Tidies a path built by joining a folder and a name: each pair of consecutive separators
/// becomes one, scanning left to right (a run of four becomes two). A leading run of separators
/// becomes exactly two with '\' (a network path keeps its prefix) and exactly one with '/'.
std::string CollapseSeparators(std::string_view path, char separator);

/// CollapseSeparators with the platform's separator.
std::string CollapseBackslashes(std::string_view path);

}  // namespace pellatrix
