#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace pellatrix {

// The one loop of whole reads and writes: taken again after an interruption or a short transfer.
// Each answers 0 or the errno of the failure; EIO when a write moves nothing or a read ends
// early. A write that must notice a stop signal or a slow pipe has its own loop in the adapter.

/// Writes all of `bytes` to `fd`: at `at` when it is not negative, else at the file's offset.
int WriteFully(int fd, std::string_view bytes, off_t at = -1);
/// Reads exactly `length` bytes of `fd` from `at` into `into`.
int ReadFully(int fd, char* into, std::size_t length, off_t at);
/// Appends what `fd` holds from its offset to its end to `into`.
int ReadToEnd(int fd, std::string& into);

}  // namespace pellatrix
