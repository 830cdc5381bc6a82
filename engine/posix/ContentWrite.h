#pragma once

#include <cerrno>
#include <string_view>

#include "engine/fs/ContentBody.h"
#include "engine/fs/StopSignals.h"

namespace pellatrix {

/// What a write answers when a stop signal came (the adapter's own value for it).
inline constexpr int kWriteStopped = -1;
/// What WriteBody answers when the template changed while it was copied.
inline constexpr int kTemplateChanged = ESTALE;

/// The body that the write under way on this thread puts into its file instead of its text (set
/// by writeFileFrom for the length of one write); nullptr for a plain text.
const ContentBody*& BodyOnThisThread();

/// Writes a chunk of bytes at the file's position: 0, an errno, or kWriteStopped.
using WriteText = int (*)(int fd, std::string_view text, const WriteSection& section);

/// Puts `body` into the empty file `fd`: a template by reference (FICLONE) where the file system
/// shares blocks, else by the kernel (copy_file_range), else through a buffer; zeros as a sparse
/// length on a regular file. Answers 0, an errno, kWriteStopped, or kTemplateChanged.
int WriteBody(int fd, const ContentBody& body, const WriteSection& section, WriteText writeText);

}  // namespace pellatrix
