#include "health/StartRecords.h"
#include "TempDir.h"
#include "core/Paths.h"

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

StartRecord record(std::int64_t duration, std::string outcome = "healthy") {
    return {"web", "10:00", "10:01", duration, "retry", std::move(outcome)};
}

std::vector<StartRecord> healthy(std::initializer_list<std::int64_t> durations) {
    std::vector<StartRecord> out;
    for (auto d : durations)
        out.push_back(record(d));
    return out;
}

const AppEntry app{"Mail", "/a/Mail.app", true, EntryType::app, ""};
const AppEntry svc{"web", "/srv/web", true, EntryType::service, "launch.sh"};

} // namespace

TEST(StartRecords, FileLinesOfOneEntry) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    EXPECT_EQ(startupTimesPath(), stateFolder() + "/startup-times.tsv");
    EXPECT_TRUE(startRecords("web").empty());

    auto path = tmp.write("t.tsv", "web\ta\tb\t12\tswitched on\thealthy\n"
                                   "web \ta\tb\t1\tx\thealthy\n"  // trailing space in the name
                                   "web\ta\tb\t5\tx\n"            // 5 fields
                                   "web\ta\tb\t7s\tx\thealthy\n"  // letters after digits
                                   "web\ta\tb\t\tx\thealthy\n"    // empty duration
                                   "web\ta\tb\t 7\tx\thealthy\n"  // blank before digits
                                   "webby\ta\tb\t3\tx\thealthy\n" // another entry
                                   "web\ta\tb\t-3\tx\tfailed\textra\tmore\r\n"
                                   "web\ta\tb\t99999999999999999999\tx\thealthy\n"
                                   "web\ta\tb\t+4\tretry\thea"); // cut mid-line
    auto records = startRecords("web", path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], (StartRecord{"web", "a", "b", 12, "switched on", "healthy"}));
    EXPECT_TRUE(records[0].ok());
    EXPECT_EQ(records[1], (StartRecord{"web", "a", "b", -3, "x", "failed"}));
    EXPECT_FALSE(records[1].ok());
    EXPECT_EQ(records[2].duration, 4);
    EXPECT_FALSE(records[2].ok()); // "hea" is not "healthy"

    // NUL bytes are ordinary characters; bytes that are not UTF-8 make the file unreadable.
    auto nul = tmp.write("nul.tsv", std::string("web\ta\0b\tc\t3\tx\thealthy\n", 23));
    EXPECT_EQ(startRecords("web", nul).at(0).startedAt, std::string("a\0b", 3));
    EXPECT_TRUE(
        startRecords("web", tmp.write("bad.tsv", "web\ta\tb\t3\tx\thealthy\xff\n")).empty());
    EXPECT_TRUE(startRecords("web", tmp.path()).empty());
}

TEST(StartRecords, TypicalStartupAndWindows) {
    EXPECT_EQ(typicalStartup(healthy({5, 9, 7})), (TypicalStartup{7, 9}));
    EXPECT_EQ(typicalStartup(healthy({4, 7})), (TypicalStartup{6, 7}));
    EXPECT_EQ(typicalStartup(healthy({4, 6})), (TypicalStartup{5, 6}));
    EXPECT_EQ(typicalStartup(healthy({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})),
              (TypicalStartup{8, 12}));
    // Only successes count, and only the last ten of them.
    auto mixed = healthy({100, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    mixed.push_back(record(500, "failed"));
    EXPECT_EQ(typicalStartup(mixed), (TypicalStartup{6, 10}));
    EXPECT_EQ(typicalStartup({record(3, "Healthy"), record(4, "failed")}), std::nullopt);
    EXPECT_EQ(typicalStartup({}), std::nullopt);

    EXPECT_EQ(expectedWindow({8, 12}), 18);
    EXPECT_EQ(expectedWindow({5, 6}), 15);
    EXPECT_EQ(expectedWindow({20, 40}), 60);
    EXPECT_EQ(expectedWindow({INT64_MAX, INT64_MAX}), INT64_MAX); // damaged figures

    auto failures = std::vector<StartRecord>{record(3, "failed")};
    ServiceConfig grace30;
    grace30.grace = 30;
    EXPECT_EQ(expectedStartSeconds(app, failures, std::nullopt), 60);
    EXPECT_EQ(expectedStartSeconds(svc, failures, grace30), 30);
    EXPECT_EQ(expectedStartSeconds(svc, failures, std::nullopt), 120);
    EXPECT_EQ(expectedStartSeconds(svc, healthy({20, 40}), grace30), 60);
    EXPECT_EQ(expectedStartSeconds(app, healthy({5, 5, 6}), std::nullopt), 15);
    EXPECT_EQ(expectedStartSeconds(app, healthy({5, 5, 6}), grace30), 15);
}

TEST(StartRecords, ShortTexts) {
    EXPECT_EQ(approx(0), "~1s");
    EXPECT_EQ(approx(-20), "~1s");
    EXPECT_EQ(approx(1), "~1s");
    EXPECT_EQ(approx(45), "~45s");
    EXPECT_EQ(approx(89), "~89s");
    EXPECT_EQ(approx(90), "~2min");
    EXPECT_EQ(approx(149), "~2min");
    EXPECT_EQ(approx(150), "~3min");

    std::vector<StartRecord> records = {{"web", "09:00", "", 3, "down", "healthy"},
                                        {"web", "10:00", "", 40, "retry", "failed"},
                                        {"web", "11:00", "", 5, "switched on", "healthy"}};
    EXPECT_EQ(startHistory(records, 10), "11:00  5s  switched on  healthy\n"
                                         "10:00  40s  retry  failed\n"
                                         "09:00  3s  down  healthy");
    EXPECT_EQ(startHistory(records, 1), "11:00  5s  switched on  healthy");
    EXPECT_EQ(startHistory(records, 0), "");
    EXPECT_EQ(startHistory({}), "");
}

TEST(StartRecords, TrimKeepsWhatTheFiguresNeed) {
    // "busy" restarts often, failing now and then; "rare" started twice long ago.
    std::string text = "rare\ta\tb\t40\tdown\thealthy\nrare\ta\tb\t41\tdown\thealthy\nbad line\n";
    for (int i = 0; i < 30; ++i)
        text +=
            "busy\ta\tb\t" + std::to_string(i) + "\tdown\t" + (i % 3 ? "healthy" : "failed") + "\n";
    std::string trimmed = trimmedStartRecords(text);
    auto busy = parseStartRecords("busy", trimmed);
    auto rare = parseStartRecords("rare", trimmed);
    EXPECT_EQ(rare.size(), 2u);
    EXPECT_EQ(startHistory(busy), startHistory(parseStartRecords("busy", text)));
    EXPECT_EQ(typicalStartup(busy), typicalStartup(parseStartRecords("busy", text)));
    EXPECT_EQ(trimmed.find("bad line"), std::string::npos);
    EXPECT_EQ(trimmedStartRecords(trimmed), trimmed);

    // Entries beyond the limit, those started longest ago, fall out.
    std::string many;
    for (std::size_t i = 0; i <= keptStartEntries; ++i)
        many += "e" + std::to_string(i) + "\ta\tb\t1\tdown\thealthy\n";
    EXPECT_TRUE(parseStartRecords("e0", trimmedStartRecords(many)).empty());
    EXPECT_EQ(parseStartRecords("e1", trimmedStartRecords(many)).size(), 1u);
}

TEST(StartRecords, AppendTrimsAndReadersStayBounded) {
    TempDir tmp;
    std::string path = tmp / "startup-times.tsv";
    // A file grown by an earlier version, ending in stray bytes that are not UTF-8.
    std::string old;
    while (old.size() <= startRecordsReadBytes)
        old += "web\t2026-01-01 10:00:00\t2026-01-01 10:00:03\t3\tdown\thealthy\n";
    tmp.write("startup-times.tsv", old + "web\ta\tb\t1\tx\thealthy\xff\n");
    // Too big to read whole; the tail is read from a whole line, and it is not UTF-8.
    EXPECT_TRUE(startRecords("web", path).empty());

    ASSERT_TRUE(appendStartRecord({"web", "s", "e", 7, "restart", "healthy"}, path));
    auto records = startRecords("web", path);
    ASSERT_EQ(records.size(), keptStartsPerEntry);
    EXPECT_EQ(records.back(), (StartRecord{"web", "s", "e", 7, "restart", "healthy"}));
    EXPECT_EQ(typicalStartup(records), (TypicalStartup{3, 7}));

    // A small file is appended to, not rewritten.
    ASSERT_TRUE(appendStartRecord({"api", "s", "e", 2, "down", "healthy"}, path));
    EXPECT_EQ(startRecords("web", path).size(), keptStartsPerEntry);
    EXPECT_EQ(startRecords("api", path).size(), 1u);
}
