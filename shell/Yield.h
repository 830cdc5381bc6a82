#pragma once

namespace pellatrix {

/// Lets the window handle its pending events (QCoreApplication::processEvents). Calls that come
/// less than yieldInterval() milliseconds after the last real one return at once, so loops that
/// yield per character stay cheap; the window still sees its events at least that often.
void YieldToEvents();

/// The skipping interval in milliseconds (0: every call processes events).
int yieldInterval();
void setYieldInterval(int milliseconds);

}  // namespace pellatrix
