#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "engine/fs/FsError.h"

namespace pellatrix {

/// Receives one failure: its description, the procedure's location text and the line number.
using ErrorReporter =
    std::function<void(const std::string& description, const std::string& location, int line)>;
/// The same, with the failure's number (0 for a failure that carries none) for front ends that
/// show it.
using NumberedErrorReporter = std::function<void(int number, const std::string& description,
                                                 const std::string& location, int line)>;

/// The trap of one activation of a reporting procedure. Each numbered statement runs through
/// step() or test(); a failure is reported with that line's number and execution goes on with
/// the next statement, so a handler reads as its numbered steps and never hand-rolls a catch.
class Trap {
public:
    Trap(std::string location, ErrorReporter report)
        : m_location(std::move(location)), m_report(std::move(report)) {}
    Trap(std::string location, NumberedErrorReporter report)
        : m_location(std::move(location)), m_numberedReport(std::move(report)) {}

    /// Gives failures numbered `number` to `handler` instead of the report; the procedure then
    /// ends: every later step() and test() does nothing and ended() is true.
    void onNumber(int number, std::function<void()> handler) {
        m_specialNumber = number;
        m_special = std::move(handler);
    }

    /// Runs one statement. True when it ran without failure; false when it failed (and was
    /// reported) or when the procedure has ended.
    template <class F>
    bool step(int line, F&& statement) {
        if (m_ended) {
            return false;
        }
        try {
            std::forward<F>(statement)();
            return true;
        } catch (const FsError& e) {
            fail(e.number(), e.what(), line);
        } catch (const std::exception& e) {
            fail(0, e.what(), line);
        }
        return false;
    }

    /// Evaluates the test of an if-statement. A failing test is reported and counts as held, so
    /// the then-branch runs. After the procedure ended it answers false.
    template <class F>
    bool test(int line, F&& condition) {
        if (m_ended) {
            return false;
        }
        bool held = true;
        step(line, [&] { held = static_cast<bool>(std::forward<F>(condition)()); });
        return m_ended ? false : held;
    }

    bool ended() const { return m_ended; }
    const std::string& location() const { return m_location; }

private:
    void fail(int number, const std::string& description, int line) {
        if (m_special && number == m_specialNumber) {
            m_ended = true;
            m_special();
            return;
        }
        if (m_numberedReport) {
            m_numberedReport(number, description, m_location, line);
        } else if (m_report) {
            m_report(description, m_location, line);
        }
    }

    std::string m_location;
    ErrorReporter m_report;
    NumberedErrorReporter m_numberedReport;
    int m_specialNumber = 0;
    std::function<void()> m_special;
    bool m_ended = false;
};

}  // namespace pellatrix
