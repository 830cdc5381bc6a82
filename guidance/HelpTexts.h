#pragma once

#include <array>
#include <string>

namespace pellatrix::help {

/// The eight pieces of the list-file help box, in order; the box joins them with nothing in
/// between and appends kFormatHelpClosing. Lines break with a lone CR.
std::array<std::string, 8> formatHelpPieces();
/// The last sentence of the list-file help box.
extern const char* const kFormatHelpClosing;
/// The question after the list-file help box.
extern const char* const kViewSampleQuestion;

/// The four pieces of the per-line content help box, in order.
std::array<std::string, 4> contentHelpPieces();

/// The question after the samples were loaded.
extern const char* const kOpenSamplesFolderQuestion;

}  // namespace pellatrix::help
