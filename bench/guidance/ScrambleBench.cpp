// How much the per-character yield costs the sample scrambler. Prints the time of scrambling and
// unscrambling one long record without any yield (the baseline), with the window's throttled
// yield, with that yield passed one call in 64 (as the handlers do), and with an event-loop pass
// for every character, each as a ratio to the baseline. Usage: guidance_scramble_bench [record
// length, default 1000000]
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "guidance/SampleRecord.h"
#include "shell/Yield.h"

namespace {

double secondsFor(const std::string& record, const std::function<void()>& yield) {
    const auto start = std::chrono::steady_clock::now();
    const std::string scrambled =
        pellatrix::ScrambleText(record, pellatrix::SampleRecordKey, yield);
    const std::string back =
        pellatrix::UnscrambleText(scrambled, pellatrix::SampleRecordKey, yield);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (back != record) {
        std::fprintf(stderr, "round trip failed\n");
        std::exit(1);
    }
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::size_t length = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    std::string record;
    while (record.size() < length) {
        record += "/usr/share/pellatrix/Samples/sample" + std::to_string(record.size()) + ".txt|";
    }
    record.resize(length);

    // The best of three runs each, so a busy moment of the machine does not count.
    auto best = [&](const std::function<void()>& yield) {
        double result = secondsFor(record, yield);
        for (int i = 0; i < 2; ++i) {
            result = std::min(result, secondsFor(record, yield));
        }
        return result;
    };
    const double baseline = best({});
    const double throttled = best([] { pellatrix::YieldToEvents(); });
    const double everyChar = best([] { QCoreApplication::processEvents(); });
    const double sparse = best(pellatrix::sparseYield([] { pellatrix::YieldToEvents(); }));

    std::printf("record of %zu bytes, scrambled and unscrambled\n", length);
    std::printf("no yield (baseline)      %9.4f s  1.00x\n", baseline);
    std::printf("window's throttled yield %9.4f s  %.2fx\n", throttled, throttled / baseline);
    std::printf("event pass per character %9.4f s  %.2fx\n", everyChar, everyChar / baseline);
    std::printf("sparse + throttled yield %9.4f s  %.2fx  (what the handlers use)\n", sparse,
                sparse / baseline);
    return 0;
}
