#include "engine/fs/StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

namespace pellatrix {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Write sections open on all threads; lock-free, so the handler may read it.
std::atomic<int> g_writing{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> g_stopSignal{0};
thread_local bool t_worker = false;
// Written once by the handler that notes a stop, and never read empty: every wait on its read
// end ends from then on. -1 until StopOnSignals.
int g_stopPipe[2] = {-1, -1};

void restoreDefault(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
}

extern "C" void onStopSignal(int sig) {
    if (g_writing.load() == 0) {
        // Nothing half done: end as the signal's default would. It stays blocked until this
        // handler returns, and is delivered then.
        restoreDefault(sig);
        ::raise(sig);
        return;
    }
    g_stopSignal.store(sig);
    if (g_stopPipe[1] >= 0) {
        const int saved = errno;
        [[maybe_unused]] const ssize_t put = ::write(g_stopPipe[1], "", 1);
        errno = saved;
    }
}

}  // namespace

void StopOnSignals() {
    if (g_stopPipe[0] < 0 && ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_stopPipe[0] = g_stopPipe[1] = -1;  // a wait then ends only when asked
    }
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
    g_writing.fetch_add(1);
}

WriteSection::~WriteSection() {
    g_writing.fetch_sub(1);
    // A worker's finished step stands; the thread that runs the workers ends the process.
    if (g_stopSignal.load() != 0 && !t_worker) {
        EndByStopSignal();
    }
}

bool WriteSection::stopRequested() const {
    return g_stopSignal.load() != 0;
}

void BecomeStepWorker() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals) {
        sigaddset(&set, sig);
    }
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    t_worker = true;
}

bool OnStepWorker() {
    return t_worker;
}

bool StopSignalNoted() {
    return g_stopSignal.load() != 0;
}

namespace {

// Polls the stop pipe for at most `timeoutMs`.
void pollStop(int timeoutMs) {
    pollfd stop{g_stopPipe[0], POLLIN, 0};
    while (::poll(&stop, 1, timeoutMs) < 0 && errno == EINTR && !StopSignalNoted()) {
    }
}

}  // namespace

int StopSignalFd() {
    return g_stopPipe[0];
}

bool WaitForStopSignalFor(std::chrono::milliseconds most) {
    if (!StopSignalNoted()) {
        pollStop(static_cast<int>(most.count()));
    }
    return StopSignalNoted();
}

namespace {
std::atomic<void (*)(const std::string&)> g_tellLockWait{nullptr};
}  // namespace

void TellLockWaitsTo(void (*tell)(const std::string& path)) {
    g_tellLockWait = tell;
}

void TellLockWait(const std::string& path) {
    if (void (*tell)(const std::string&) = g_tellLockWait.load()) {
        tell(path);
    }
}

void EndByStopSignal() {
    if (t_worker) {
        throw StepStopped{};
    }
    // What the front end told of the finished steps is still in its buffers: written out
    // first, or a script reading the output loses the lines of files that were written.
    std::fflush(nullptr);
    const int sig = g_stopSignal.load() != 0 ? g_stopSignal.load() : SIGTERM;
    restoreDefault(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

}  // namespace pellatrix
