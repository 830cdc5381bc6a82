#pragma once

#include <string>

namespace pellatrix {

/// Removes the old runs set aside in `runsFolder` in a process of its own, at the lowest
/// priority, so the companion ends as soon as the run's result is told; one such process at a
/// time per runs folder. Nothing is started when nothing is set aside.
void RemoveOldRunsInBackground(const std::string& runsFolder);

}  // namespace pellatrix
