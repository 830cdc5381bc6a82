#include "engine/fs/StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

namespace pellatrix {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_writing = 0;
volatile std::sig_atomic_t g_stopSignal = 0;

void restoreDefault(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
}

extern "C" void onStopSignal(int sig) {
    if (g_writing == 0) {
        // Nothing half done: end as the signal's default would. It stays blocked until this
        // handler returns, and is delivered then.
        restoreDefault(sig);
        ::raise(sig);
        return;
    }
    g_stopSignal = sig;
}

}  // namespace

void StopOnSignals() {
    for (int sig : kStopSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        for (int other : kStopSignals) {
            sigaddset(&action.sa_mask, other);
        }
        // No SA_RESTART: a write to a pipe or a wait for a reader returns, so the writer sees
        // the stop at once.
        action.sa_flags = 0;
        ::sigaction(sig, &action, nullptr);
    }
}

WriteSection::WriteSection() {
    g_writing = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

WriteSection::~WriteSection() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_writing = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (g_stopSignal != 0) {
        EndByStopSignal();
    }
}

bool WriteSection::stopRequested() const {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return g_stopSignal != 0;
}

void EndByStopSignal() {
    const int sig = g_stopSignal != 0 ? static_cast<int>(g_stopSignal) : SIGTERM;
    restoreDefault(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

}  // namespace pellatrix
