// The start runner's exit record as the engine reads it back: its own notation of
// seconds, read without a floating-point parser, and the refusal a unit host adds.
#include "engine/EntryState.h"

#include <gtest/gtest.h>

using KestruneEngine::ExitRecord;
using KestruneEngine::exitRecordText;
using KestruneEngine::parseExitRecord;

TEST(ExitRecord, ReadsWhatIsWrittenAndNothingElse) {
    struct Case {
        const char* text;
        std::optional<double> time; // none: not a record
        std::optional<double> began = std::nullopt;
    };
    const Case cases[] = {
        {"0\t1796731405.823\n", 1796731405.823},
        {"137\t1796731405\t1796731400.5\n", 1796731405, 1796731400.5},
        {"1\t-0.250", -0.25},
        {"1\t+12.000000000000000000001", 12},
        {"1\t12.", std::nullopt},
        {"1\t.5", std::nullopt},
        {"1\t1e3", std::nullopt},
        {"1\t0x10", std::nullopt},
        {"1\tinf", std::nullopt},
        {"1\t12.5.1", std::nullopt},
        {"1\t99999999999999999999.5", std::nullopt},
        {"x\t12", std::nullopt},
    };
    for (const auto& c : cases) {
        auto record = parseExitRecord(c.text);
        ASSERT_EQ(record.has_value(), c.time.has_value()) << c.text;
        if (!record)
            continue;
        EXPECT_EQ(record->time, *c.time) << c.text;
        EXPECT_EQ(record->began, c.began) << c.text;
        EXPECT_EQ(record->cause, "");
    }

    // Written and read back, with and without a start and a refusal.
    for (const ExitRecord& written :
         {ExitRecord{127, 1796731405.823, 1796731400.125, "could not start: Unit\tfull\nnow"},
          ExitRecord{127, 1796731405.5, std::nullopt, "could not start: refused"},
          ExitRecord{3, 1796731405.5, 1796731400.001}}) {
        auto read = parseExitRecord(exitRecordText(written));
        ASSERT_TRUE(read) << exitRecordText(written);
        EXPECT_EQ(read->status, written.status);
        EXPECT_EQ(read->time, written.time);
        EXPECT_EQ(read->began, written.began);
        EXPECT_EQ(read->cause.find_first_of("\t\n"), std::string::npos);
        EXPECT_EQ(read->cause.empty(), written.cause.empty());
    }
}
