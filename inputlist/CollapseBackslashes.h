#pragma once

#include <string>
#include <string_view>

#include "engine/lists/PathRules.h"

namespace pellatrix {

/// The platform's path separator: '/' here, '\' on Windows.
inline constexpr char kPathSeparator = SeparatorOf(kNativeFlavour);

/// Tidies a path built by joining a folder and a name: each pair of consecutive separators
/// becomes one, scanning left to right (a run of four becomes two). A leading run of separators
/// becomes exactly two with '\' (a network path keeps its prefix) and exactly one with '/'.
std::string CollapseSeparators(std::string_view path, PathFlavour flavour);

/// CollapseSeparators with the platform's flavour.
std::string CollapseBackslashes(std::string_view path);

}  // namespace pellatrix
