#include "core/ActivityLog.h"
#include "core/LogSubtitle.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

// Runs a test body in a fixed time zone and restores the old one afterwards.
class FixedZone {
public:
    explicit FixedZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            old_ = old, had_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~FixedZone() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST(ActivityLog, TimestampIsLocal24HourAsciiWhateverTheLocale) {
    FixedZone zone("UTC+2");                 // POSIX sign: two hours behind UTC
    auto t = Clock::from_time_t(1741944413); // 2025-03-14 09:26:53 UTC
    EXPECT_EQ(timestamp(t), "2025-03-14 07:26:53");
    std::setlocale(LC_ALL, "ar_EG.UTF-8"); // may not exist; C stays then
    EXPECT_EQ(timestamp(t + std::chrono::hours(10)), "2025-03-14 17:26:53");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(parseTimestamp("2025-03-14 07:26:53"), t);
    EXPECT_FALSE(parseTimestamp("2025-03-14 7:26:53"));
    EXPECT_FALSE(parseTimestamp("2025-13-14 07:26:53"));
    EXPECT_FALSE(parseTimestamp("9999-12-31 23:59:59")); // past what the clock holds
    EXPECT_FALSE(parseTimestamp("0001-01-01 00:00:00"));
    EXPECT_FALSE(parseTimestamp("２025-03-14 07:26:53"));
}

TEST(ActivityLog, AppendsWholeLinesAndNeverCreatesTheFolder) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    log("Mail", "added to keep-alive list"); // no logs folder: the line is lost
    EXPECT_FALSE(fileExists(logsFolder()));

    makeFolders(logsFolder());
    EXPECT_EQ(logPath(), tmp / ".local/state/kestrune/kestrune.log");
    log("My [odd] App", "first");
    log("Kestrune", "second\nforged line");
    auto lines = splitLines(readAll(logPath()));
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_GE(lines[0].size(), 19u);
    EXPECT_TRUE(parseTimestamp(lines[0].substr(0, 19))) << lines[0];
    EXPECT_EQ(lines[0].substr(19), " [My [odd] App] first");
    // A line break in a message must not forge a second record.
    EXPECT_EQ(lines[1].substr(19), " [Kestrune] second forged line");
}

TEST(ActivityLog, ConcurrentWritersKeepEveryLineWhole) {
    TempDir tmp;
    std::string file = tmp / "kestrune.log";
    const std::string payload(300, 'x');
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 200; ++i)
                logTo(file, "w" + std::to_string(w), payload);
        });
    for (auto& t : writers)
        t.join();
    auto lines = splitLines(readAll(file));
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& l : lines)
        ASSERT_EQ(l.size(), 19u + 6u + payload.size()) << l;
}

TEST(ActivityLog, SubtitleShowsLastEntryOrTheAbbreviatedPath) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    std::string file = tmp / ".local/state/kestrune/kestrune.log";
    EXPECT_EQ(logSubtitle(file), "~/.local/state/kestrune/kestrune.log");
    tmp.write(".local/state/kestrune/kestrune.log", "\n  \n\n");
    EXPECT_EQ(logSubtitle(file), "~/.local/state/kestrune/kestrune.log");
    tmp.write(".local/state/kestrune/kestrune.log", "2025-03-14 09:26:53 [A] one\nlonely\n");
    EXPECT_EQ(logSubtitle(file), "~/.local/state/kestrune/kestrune.log");
    tmp.write(".local/state/kestrune/kestrune.log",
              "2025-03-14 09:26:53 [A] one\n\n  2025-03-15   10:01:02 [B] two\n\n");
    EXPECT_EQ(logSubtitle(file), "Last entry 2025-03-15 10:01");
    // A log far larger than the tail read still gives its last line.
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "2025-03-14 09:26:53 [\xc3\xa9t\xc3\xa9] line\n";
    big += "2026-01-02 03:04:05 [Z] last\n";
    tmp.write(".local/state/kestrune/kestrune.log", big);
    EXPECT_EQ(logSubtitle(file), "Last entry 2026-01-02 03:04");
    // A single line exactly as long as the tail read, and a tail that starts right
    // after a line feed: neither loses a whole line.
    std::string one = "2026-02-03 04:05:06 [Z] " + std::string(64 * 1024 - 25, 'x') + "\n";
    ASSERT_EQ(one.size(), 64u * 1024u);
    tmp.write(".local/state/kestrune/kestrune.log", one);
    EXPECT_EQ(logSubtitle(file), "Last entry 2026-02-03 04:05");
    tmp.write(".local/state/kestrune/kestrune.log", "2024-01-01 00:00:00 [Y] old\n" + one);
    EXPECT_EQ(logSubtitle(file), "Last entry 2026-02-03 04:05");
    tmp.write(".local/state/kestrune/kestrune.log", "2025-03-14 09:26:53 [A] \xff\n");
    EXPECT_EQ(logSubtitle(file), "~/.local/state/kestrune/kestrune.log");
    EXPECT_EQ(logSubtitle("/elsewhere/x.log"), "/elsewhere/x.log");
}

TEST(ActivityLog, FileUrlIsPercentEncoded) {
    TempDir tmp;
    ScopedHome h("/home/some one");
    EXPECT_EQ(openLogURL(), "file:///home/some%20one/.local/state/kestrune/kestrune.log");
    EXPECT_EQ(fileURL("/a/#b?c%"), "file:///a/%23b%3Fc%25");
}
