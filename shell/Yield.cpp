#include "shell/Yield.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace pellatrix {

namespace {

int g_intervalMs = 5;

QElapsedTimer& lastYield() {
    static QElapsedTimer timer;
    return timer;
}

}  // namespace

void YieldToEvents() {
    QElapsedTimer& last = lastYield();
    if (g_intervalMs > 0 && last.isValid() && last.elapsed() < g_intervalMs) {
        return;
    }
    QCoreApplication::processEvents();
    last.start();
}

int yieldInterval() {
    return g_intervalMs;
}

void setYieldInterval(int milliseconds) {
    g_intervalMs = milliseconds < 0 ? 0 : milliseconds;
}

}  // namespace pellatrix
