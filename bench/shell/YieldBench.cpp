// Cost of the yield in a loop that yields once per item (the sample scrambler yields per
// character, the creation run per file): processEvents on every call, against YieldToEvents
// skipping calls that come within its interval, against doing nothing. Also the longest time
// the window went without handling events while the skipping yield was in use.
//
//   QT_QPA_PLATFORM=offscreen build/bin/shell_yield_bench [calls]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "shell/Yield.h"

namespace {

double seconds(const std::function<void()>& body) {
    QElapsedTimer timer;
    timer.start();
    body();
    return timer.nsecsElapsed() / 1e9;
}

volatile unsigned g_sink = 0;

// A small piece of work per item, as a loop body would do.
void work(unsigned i) {
    for (unsigned k = 0; k < 50; ++k) {
        g_sink = g_sink * 31u + i + k;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const long calls = argc > 1 ? std::atol(argv[1]) : 300000;
    QWidget window;
    window.resize(536, 483);
    window.show();
    QApplication::processEvents();

    const double none = seconds([&] {
        for (long i = 0; i < calls; ++i) {
            work(static_cast<unsigned>(i));
        }
    });
    const double every = seconds([&] {
        for (long i = 0; i < calls; ++i) {
            work(static_cast<unsigned>(i));
            QCoreApplication::processEvents();
        }
    });

    // A timer that fires every millisecond measures how long events waited.
    qint64 maxGapNs = 0;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        maxGapNs = std::max(maxGapNs, sinceTick.nsecsElapsed());
        sinceTick.start();
    });
    pellatrix::setYieldInterval(5);
    tick.start();
    sinceTick.start();
    const double skipping = seconds([&] {
        for (long i = 0; i < calls; ++i) {
            work(static_cast<unsigned>(i));
            pellatrix::YieldToEvents();
        }
    });
    tick.stop();

    std::printf("calls: %ld\n", calls);
    std::printf("no yield:                 %.3f s (baseline)\n", none);
    std::printf("processEvents every call: %.3f s (%.1fx baseline)\n", every, every / none);
    std::printf("YieldToEvents, 5 ms skip: %.3f s (%.2fx baseline, %.1fx faster than every call)\n",
                skipping, skipping / none, every / skipping);
    std::printf("longest wait of a 1 ms timer during the skipping loop: %.1f ms\n", maxGapNs / 1e6);
    return 0;
}
