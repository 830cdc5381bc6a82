#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/fs/FileSystem.h"

namespace pellatrix {

/// Runs a run's steps on a few worker threads, with a bounded number in flight, and hands each
/// outcome back on the calling thread in the order the steps were given: a front end sees the
/// run as if it went one step at a time. A step that names a key still in flight (one file
/// twice) waits for that one first, so the later step acts last. A step that meets a key only on
/// its worker (reach: a file behind a link) waits for an earlier holder, or leaves the file to a
/// later one; a key is held until its step is handed back, and steps are handed back in order,
/// so a later holder is still known to every earlier step that could meet it.
///
/// Stop signals are blocked on the workers. When one came, no further step starts; every worker
/// ends its step (a write takes back what it did), all are joined, the outcomes of every step
/// that finished are handed back in order, and the process ends by the signal.
class StepPool : public SameFileOrder {
public:
    /// Runs on a worker; what it throws is the step's outcome.
    using Work = std::function<void()>;
    /// Runs on the calling thread, in order, with what the work threw (none: nullptr).
    using Done = std::function<void(std::exception_ptr)>;

    StepPool(std::size_t workers, std::size_t window);
    ~StepPool() override;
    StepPool(const StepPool&) = delete;
    StepPool& operator=(const StepPool&) = delete;

    /// Gives one step. Hands back finished outcomes first, and waits while the window is full
    /// or a step of the same `key` (when not empty) is in flight.
    void submit(std::string key, Work work, Done done);
    /// Waits for every step given and hands back the outcomes.
    void finish();
    /// On a worker, for the step it runs: `key` is held from now on by that step.
    Turn reach(const std::string& key) override;

private:
    struct Step {
        std::vector<std::string> keys;  // given with it, then reached on its worker
        Work work;
        Done done;
        std::exception_ptr error;
        bool finished = false;
    };
    void workerLoop(std::stop_token token);
    // Hands back the oldest step once finished; waits for it when `wait`. False when it is
    // not finished (and `wait` is false) or nothing is in flight.
    bool handBackOldest(bool wait);
    [[noreturn]] void endByStop();

    std::mutex m_mutex;
    std::condition_variable_any m_workReady;  // a step to take, or the end
    std::condition_variable m_stepDone;       // a step finished
    std::deque<Step> m_steps;                 // in flight, oldest first
    std::size_t m_first = 0;                  // the number of m_steps.front()
    std::size_t m_next = 0;                   // the number of the next step to start
    struct Holder {
        std::size_t step;   // the latest step that holds it
        std::size_t count;  // how many steps in flight hold it
    };
    std::unordered_map<std::string, Holder> m_keys;  // keys in flight
    std::size_t m_window;
    // Last: stopped and joined first, while what they use still stands.
    std::vector<std::jthread> m_workers;
};

/// The steps in flight for `jobs` workers: enough that none waits for the next one.
inline std::size_t StepWindow(std::size_t jobs) {
    return jobs * 4;
}

}  // namespace pellatrix
