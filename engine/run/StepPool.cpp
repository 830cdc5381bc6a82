#include "engine/run/StepPool.h"

#include <utility>

#include "engine/fs/StopSignals.h"

namespace pellatrix {

namespace {

// The number of the step the calling worker runs.
thread_local std::size_t t_step = 0;

bool isStop(const std::exception_ptr& error) {
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const StepStopped&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

StepPool::StepPool(std::size_t workers, std::size_t window) : m_window(window < 1 ? 1 : window) {
    m_workers.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        m_workers.emplace_back([this](std::stop_token token) { workerLoop(token); });
    }
}

// The workers are asked to stop and joined by their own ends. A worker takes no step after a
// stop signal, and each step under way ends by itself (a write looks for the stop where it
// can still take back what it did), so every wait here ends with a step's end, not a look.
StepPool::~StepPool() = default;

void StepPool::workerLoop(std::stop_token token) {
    BecomeStepWorker();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_workReady.wait(lock, token,
                         [this] { return StopSignalNoted() || m_next < m_first + m_steps.size(); });
        // After a stop signal no step begins; the ones under way end first.
        if (token.stop_requested() || StopSignalNoted()) {
            return;
        }
        const std::size_t number = m_next++;
        Work work = std::move(m_steps[number - m_first].work);
        t_step = number;
        lock.unlock();
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        work = nullptr;
        lock.lock();
        Step& step = m_steps[number - m_first];
        step.error = std::move(error);
        step.finished = true;
        m_stepDone.notify_all();
    }
}

void StepPool::submit(std::string key, Work work, Done done) {
    while (handBackOldest(false)) {
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Every holder of a key is an earlier step: this one waits for them to be back.
            if (m_steps.size() < m_window && (key.empty() || m_keys.count(key) == 0)) {
                Step step{{}, std::move(work), std::move(done), nullptr, false};
                if (!key.empty()) {
                    m_keys.emplace(key, Holder{m_first + m_steps.size(), 1});
                    step.keys.push_back(std::move(key));
                }
                m_steps.push_back(std::move(step));
                break;
            }
        }
        handBackOldest(true);
    }
    m_workReady.notify_one();
}

void StepPool::finish() {
    while (handBackOldest(true)) {
    }
}

bool StepPool::handBackOldest(bool wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (StopSignalNoted() || (!m_steps.empty() && isStop(m_steps.front().error))) {
            lock.unlock();
            endByStop();
        }
        if (m_steps.empty()) {
            return false;
        }
        if (m_steps.front().finished) {
            break;
        }
        if (!wait) {
            return false;
        }
        m_stepDone.wait(lock);
    }
    Step step = std::move(m_steps.front());
    m_steps.pop_front();
    ++m_first;
    for (const std::string& key : step.keys) {
        if (auto known = m_keys.find(key); known != m_keys.end() && --known->second.count == 0) {
            m_keys.erase(known);
        }
    }
    lock.unlock();
    step.done(step.error);
    return true;
}

SameFileOrder::Turn StepPool::reach(const std::string& key) {
    const std::size_t mine = t_step;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        auto held = m_keys.find(key);
        if (held == m_keys.end()) {
            m_keys.emplace(key, Holder{mine, 1});
            m_steps[mine - m_first].keys.push_back(key);
            return Turn::Go;
        }
        Holder& holder = held->second;
        if (holder.step == mine) {
            return Turn::Go;
        }
        if (holder.step > mine) {
            return Turn::Superseded;
        }
        // An earlier step holds it: it runs (workers take steps in order) or has ended. Once
        // it has, what this step decided may be stale.
        if (holder.step < m_first || m_steps[holder.step - m_first].finished) {
            holder.step = mine;
            ++holder.count;
            m_steps[mine - m_first].keys.push_back(key);
            return Turn::Again;
        }
        if (StopSignalNoted()) {
            lock.unlock();
            EndByStopSignal();
        }
        m_stepDone.wait(lock);
    }
}

void StepPool::endByStop() {
    // Each worker ends its step: a write under way takes back what it did.
    m_workers.clear();
    // Everything done before the stop is told, in order: also a step that finished after one
    // the stop took back, whose file stands written. A step taken back or never begun is not.
    while (!m_steps.empty()) {
        Step step = std::move(m_steps.front());
        m_steps.pop_front();
        if (step.finished && !isStop(step.error)) {
            step.done(step.error);
        }
    }
    EndByStopSignal();
}

}  // namespace pellatrix
