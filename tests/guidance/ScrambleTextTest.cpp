#include <gtest/gtest.h>

#include <string>

#include "guidance/SampleRecord.h"

namespace pellatrix {
namespace {

std::string allCodes() {
    std::string text;
    for (int c = 1; c <= 255; ++c) {
        text += static_cast<char>(c);
    }
    return text;
}

int code(char c) {
    return static_cast<unsigned char>(c);
}

TEST(ScrambleText, RecordKeyIsEightLowerCaseLetters) {
    ASSERT_EQ(SampleRecordKey.size(), 8u);
    for (char c : SampleRecordKey) {
        EXPECT_TRUE(c >= 'a' && c <= 'z') << c;
    }
}

// Every code meets every key letter: the text is rotated once per key position.
TEST(ScrambleText, EveryCodeRoundTripsAtEveryKeyPosition) {
    const std::string codes = allCodes();
    for (std::size_t offset = 0; offset < SampleRecordKey.size(); ++offset) {
        const std::string text = codes.substr(offset) + codes.substr(0, offset);
        const std::string scrambled = ScrambleText(text, SampleRecordKey);
        ASSERT_EQ(scrambled.size(), text.size());
        for (char c : scrambled) {
            EXPECT_NE(c, '\0') << "scrambled codes stay within 1..255";
        }
        EXPECT_NE(scrambled, text);
        EXPECT_EQ(UnscrambleText(scrambled, SampleRecordKey), text) << "offset " << offset;
    }
}

TEST(ScrambleText, SumsWrapAt255) {
    struct Case {
        int c;
        char k;
        int stored;
    };
    const Case cases[] = {
        {158, 'a', 255},  // 158 + 97 is exactly 255: stored unchanged
        {159, 'a', 1},    // 256 wraps to 1, never to 0
        {255, 'z', 122},  // the largest sum, 377
        {1, 'a', 98},     // the smallest sum, no wrap
        {133, 'z', 255},  // exactly 255 with another key letter
        {134, 'z', 1},
    };
    for (const Case& t : cases) {
        const std::string plain(1, static_cast<char>(t.c));
        const std::string key(1, t.k);
        const std::string scrambled = ScrambleText(plain, key);
        ASSERT_EQ(scrambled.size(), 1u);
        EXPECT_EQ(code(scrambled[0]), t.stored) << t.c << " + " << t.k;
        EXPECT_EQ(UnscrambleText(scrambled, key), plain) << t.c << " + " << t.k;
    }
}

TEST(ScrambleText, KeyCyclesAndLengthIsKept) {
    const std::string key = "abc";
    // The same byte under positions 1, 2, 3, then 1 again.
    const std::string scrambled = ScrambleText(std::string(4, 'A'), key);
    ASSERT_EQ(scrambled.size(), 4u);
    EXPECT_EQ(code(scrambled[0]), 65 + 97);
    EXPECT_EQ(code(scrambled[1]), 65 + 98);
    EXPECT_EQ(code(scrambled[2]), 65 + 99);
    EXPECT_EQ(code(scrambled[3]), 65 + 97);

    EXPECT_EQ(ScrambleText("", SampleRecordKey), "");
    EXPECT_EQ(UnscrambleText("", SampleRecordKey), "");
    // A key without letters must not divide by zero: the text passes unchanged.
    EXPECT_EQ(ScrambleText("abc", ""), "abc");
    EXPECT_EQ(UnscrambleText("abc", ""), "abc");
}

TEST(ScrambleText, YieldsOncePerByte) {
    int calls = 0;
    const auto yield = [&] { ++calls; };
    const std::string scrambled = ScrambleText("hello|world", SampleRecordKey, yield);
    EXPECT_EQ(calls, 11);
    calls = 0;
    UnscrambleText(scrambled, SampleRecordKey, yield);
    EXPECT_EQ(calls, 11);
    calls = 0;
    ScrambleText("", SampleRecordKey, yield);
    EXPECT_EQ(calls, 0);
}

TEST(SparseYield, PassesOneCallInEvery) {
    struct Case {
        unsigned every;
        int calls;
        int passed;
    };
    const Case cases[] = {
        {64, 1, 1},   // the first call gets through at once
        {64, 64, 1},  // then one in 64
        {64, 65, 2}, {64, 1000, 16},
        {1, 5, 5},   {0, 5, 5},  // a zero step must not divide by zero: every call passes
    };
    for (const Case& t : cases) {
        int passed = 0;
        const std::function<void()> yield = sparseYield([&] { ++passed; }, t.every);
        for (int i = 0; i < t.calls; ++i) {
            yield();
        }
        EXPECT_EQ(passed, t.passed) << t.every << " / " << t.calls;
    }
    EXPECT_FALSE(sparseYield({})) << "no yield stays no yield";
}

// A record past the 16-bit count of the original platform is neither cut nor refused.
TEST(ScrambleText, LongRecordRoundTrips) {
    std::string record;
    while (record.size() <= 100000) {
        record += "/opt/some/long/program/folder/Samples/sample" + std::to_string(record.size()) +
                  ".txt|";
    }
    record.pop_back();
    ASSERT_GT(record.size(), 32767u);
    const std::string scrambled = ScrambleText(record, SampleRecordKey);
    EXPECT_EQ(scrambled.size(), record.size());
    EXPECT_EQ(UnscrambleText(scrambled, SampleRecordKey), record);
}

// The word False, which a missing record reads as, never unscrambles into a path.
TEST(ScrambleText, MissingRecordWordNamesNoFile) {
    const std::string plain = UnscrambleText("False", SampleRecordKey);
    EXPECT_EQ(plain.size(), 5u);
    EXPECT_EQ(plain.find('/'), std::string::npos);
}

}  // namespace
}  // namespace pellatrix
