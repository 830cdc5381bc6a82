#pragma once

namespace pellatrix {

/// Lets a write beyond the process's file-size limit (ulimit -f) fail with EFBIG, reported as
/// disk full like any other failed write, instead of the signal ending the whole process.
/// Called once at start-up by every program that writes files.
void IgnoreFileSizeSignal();

}  // namespace pellatrix
