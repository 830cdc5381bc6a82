#include "engine/run/StepPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellatrix {
namespace {

// Outcomes come back on the calling thread in the order given, whatever order the workers end
// in; no more steps are in flight than the window, no more run than the workers; a step whose
// key is in flight begins only after it; what a step throws reaches its own outcome. A key met
// only on the worker (reach) is acted on by one step at a time, in list order, and the last
// step of each key acts last: the others wait, are superseded, or go again.
TEST(StepPool, OutcomesInOrderWithinTheWindowAndKeysOneAtATime) {
    struct Case {
        std::size_t workers;
        std::size_t window;
        std::size_t steps;
        std::size_t keys;      // step i has key i % keys (0: no keys)
        bool reached = false;  // the key is met on the worker, not given
    };
    const std::vector<Case> cases = {
        {1, 1, 50, 0},    {4, 16, 400, 0},        {16, 64, 400, 0},      {8, 8, 300, 3},
        {16, 64, 300, 1}, {16, 64, 300, 1, true}, {8, 32, 300, 5, true}, {1, 4, 50, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("workers " + std::to_string(c.workers) + ", window " +
                     std::to_string(c.window) + ", keys " + std::to_string(c.keys) +
                     (c.reached ? " reached" : ""));
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<std::size_t> running{0};
        std::atomic<std::size_t> mostRunning{0};
        std::atomic<std::size_t> handedBack{0};
        std::atomic<bool> tooMany{false};
        std::vector<std::atomic<int>> keyBusy(c.keys == 0 ? 1 : c.keys);
        std::vector<std::size_t> lastOfKey(c.keys == 0 ? 1 : c.keys, 0);
        std::vector<std::size_t> order;
        std::atomic<bool> overlap{false};
        std::atomic<bool> keyOrder{true};
        {
            StepPool pool(c.workers, c.window);
            for (std::size_t i = 1; i <= c.steps; ++i) {
                const std::size_t key = c.keys == 0 ? 0 : i % c.keys;
                pool.submit(
                    c.keys == 0 || c.reached ? std::string() : "k" + std::to_string(key),
                    [&, i, key] {
                        // Later steps often come to their key first.
                        std::this_thread::sleep_for(std::chrono::microseconds((i * 104729) % 200));
                        SameFileOrder::Turn turn = SameFileOrder::Turn::Again;
                        while (c.reached && turn == SameFileOrder::Turn::Again) {
                            turn = pool.reach("k" + std::to_string(key));
                        }
                        // A superseded step leaves the key to a later one.
                        if (turn != SameFileOrder::Turn::Superseded) {
                            // Step i is in flight: at most the window since the oldest not back.
                            if (i - handedBack.load() > c.window) {
                                tooMany = true;
                            }
                            const std::size_t now = ++running;
                            for (std::size_t m = mostRunning; now > m;) {
                                mostRunning.compare_exchange_weak(m, now);
                            }
                            if (c.keys != 0 && keyBusy[key]++ != 0) {
                                overlap = true;
                            }
                            // Later steps often end first.
                            std::this_thread::sleep_for(
                                std::chrono::microseconds((i * 7919) % 300));
                            if (c.keys != 0) {
                                if (lastOfKey[key] >= i) {
                                    keyOrder = false;
                                }
                                lastOfKey[key] = i;
                                --keyBusy[key];
                            }
                            --running;
                        }
                        if (i % 10 == 0) {
                            throw std::runtime_error("step " + std::to_string(i));
                        }
                    },
                    [&, i](std::exception_ptr error) {
                        EXPECT_EQ(std::this_thread::get_id(), caller);
                        ++handedBack;
                        order.push_back(i);
                        std::string what;
                        try {
                            if (error) {
                                std::rethrow_exception(error);
                            }
                        } catch (const std::runtime_error& e) {
                            what = e.what();
                        }
                        EXPECT_EQ(what, i % 10 == 0 ? "step " + std::to_string(i) : "");
                    });
            }
            pool.finish();
        }
        ASSERT_EQ(order.size(), c.steps);
        for (std::size_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(order[i], i + 1);
        }
        EXPECT_LE(mostRunning.load(), c.workers);
        EXPECT_FALSE(tooMany);
        EXPECT_FALSE(overlap);
        EXPECT_TRUE(keyOrder);
        for (std::size_t key = 0; key < c.keys; ++key) {
            // The last step given with each key acted last.
            EXPECT_EQ(lastOfKey[key], c.steps - (c.steps - key) % c.keys) << "key " << key;
        }
    }
}

}  // namespace
}  // namespace pellatrix
