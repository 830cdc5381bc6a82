#pragma once

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/run/CreationUi.h"

namespace pellatrix::test {

/// A window stand-in that records what the run shows, in order, and can act during a yield.
class FakeCreationUi : public CreationUi {
public:
    struct Report {
        std::string description;
        std::string location;
        int line;
    };

    std::vector<std::string> entries;
    std::string text;
    std::vector<std::string> events;  // everything shown, in order
    std::vector<Report> reports;
    std::function<void()> onYield;  // runs inside every yield
    int fixedTextReads = 0;
    bool recordProgress = true;

    int entryCount() override { return static_cast<int>(entries.size()); }
    std::string entryText(int position) override {
        if (position < 1 || position > entryCount()) {
            throw std::out_of_range("Entry " + std::to_string(position) + " is gone");
        }
        return entries[static_cast<std::size_t>(position - 1)];
    }
    std::string fixedText() override {
        ++fixedTextReads;
        return text;
    }
    void showBusyPointer() override { events.push_back("busy"); }
    void showDefaultPointer() override { events.push_back("default"); }
    void setProgressValue(double percent) override {
        if (recordProgress) {
            std::ostringstream out;
            out << "progress " << percent;
            events.push_back(out.str());
        }
    }
    void setProgressText(const std::string& t) override { events.push_back("bar text " + t); }
    void showMessage(const std::string& t) override { events.push_back("message " + t); }
    void yield() override {
        if (onYield) {
            onYield();
        }
    }
    void journalProblem(const std::string& t) override { events.push_back("journal " + t); }
    void reportError(const std::string& description, const std::string& location,
                     int line) override {
        events.push_back("report " + std::to_string(line));
        reports.push_back({description, location, line});
    }

    std::vector<int> reportLines() const {
        std::vector<int> lines;
        for (const Report& r : reports) {
            lines.push_back(r.line);
        }
        return lines;
    }
};

}  // namespace pellatrix::test
