#include "health/SlowStarts.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::TempDir;
using std::chrono::seconds;

namespace {

const Clock::time_point t0 = Clock::from_time_t(1765101600); // a whole local minute or so

AppEntry service(std::string name, bool enabled = true, std::string path = "/srv/x") {
    return {std::move(name), std::move(path), enabled, EntryType::service, "launch.sh"};
}
AppEntry app(std::string name, std::string path = "/a/X.app") {
    return {std::move(name), std::move(path), true, EntryType::app, ""};
}
Problem problem(std::string name, Severity s = Severity::restarting) {
    return {std::move(name), "not-running-relaunching", s, "", ""};
}
std::string line(Clock::time_point at, const std::string& name, const std::string& message) {
    return logLine(name, message, at);
}
ExpectedStartSeconds fixed(std::int64_t s) {
    return [s](const AppEntry&) { return s; };
}

} // namespace

TEST(SlowStarts, StartAndEndMarkers) {
    EXPECT_TRUE(isStartLine("ACTION: not running -> open"));
    EXPECT_TRUE(isStartLine("ACTION: not running -> opening again"));
    EXPECT_TRUE(isStartLine("ACTION: switched on in Settings -> launching now"));
    EXPECT_TRUE(isStartLine("ACTION: down 3 times -> starting with launch.sh"));
    EXPECT_FALSE(isStartLine("down -> starting with launch.sh"));
    EXPECT_FALSE(isStartLine("action: not running -> open"));
    EXPECT_FALSE(isStartLine(" ACTION: not running -> open"));

    for (auto end :
         {"started: running after 3s", "open failed: x", "launch.sh exited with status 1",
          "retry limit reached after 5 attempts", "keep-alive off (from settings)", "start failed"})
        EXPECT_TRUE(isStartEndLine(end)) << end;
    EXPECT_FALSE(isStartEndLine("started:x"));
    EXPECT_FALSE(isStartEndLine("Started: x"));
}

TEST(SlowStarts, PendingStartsFromTheLog) {
    auto web = service("web");
    std::string log = line(t0, "web", "ACTION: switched on in Settings -> launching now");
    std::vector<Problem> problems = {problem("web")};

    EXPECT_TRUE(slowStarts(log, {web}, problems, t0 + seconds(120), fixed(120)).empty());
    EXPECT_EQ(slowStarts(log, {web}, problems, t0 + seconds(121), fixed(120)),
              std::vector<std::string>{"web"});
    EXPECT_EQ(
        slowStarts(log, {web}, {problem("web", Severity::stuck)}, t0 + seconds(121), fixed(120)),
        std::vector<std::string>{"web"});
    // Fractions of a second count.
    EXPECT_EQ(
        slowStarts(log, {web}, problems, t0 + std::chrono::milliseconds(120001), fixed(120)).size(),
        1u);
    // No problem for it, switched off, or ended: never slow.
    EXPECT_TRUE(slowStarts(log, {web}, {problem("db")}, t0 + seconds(999), fixed(1)).empty());
    EXPECT_TRUE(
        slowStarts(log, {service("web", false)}, problems, t0 + seconds(999), fixed(1)).empty());
    std::string ended = log + line(t0 + seconds(5), "web", "keep-alive off (from settings)");
    EXPECT_TRUE(slowStarts(ended, {web}, problems, t0 + seconds(999), fixed(1)).empty());

    // A later start replaces an earlier one; an unparseable time stamp does not.
    std::string twice = log + line(t0 + seconds(100), "web", "ACTION: not running -> open") +
                        "2026-13-01 10:00:00 [web] ACTION: not running -> open\n";
    EXPECT_TRUE(slowStarts(twice, {web}, problems, t0 + seconds(200), fixed(120)).empty());
    EXPECT_EQ(slowStarts(twice, {web}, problems, t0 + seconds(221), fixed(120)).size(), 1u);

    // Time stamps far from now are no trouble for the arithmetic.
    for (auto stamp : {"9999-12-31 23:59:59", "0001-01-01 00:00:00", "1677-09-21 00:12:44"}) {
        std::string far = std::string(stamp) + " [web] ACTION: not running -> open\n";
        EXPECT_LE(slowStarts(far, {web}, problems, t0, fixed(120)).size(), 1u) << stamp;
    }

    // Watch-list order, once per entry; `expected` is asked only for candidates.
    int asked = 0;
    auto counting = [&](const AppEntry&) {
        ++asked;
        return std::int64_t{10};
    };
    std::string both = log + line(t0, "Mail", "ACTION: not running -> open");
    auto slow =
        slowStarts(both, {app("Mail"), app("Idle"), web, app("Mail")},
                   {problem("web"), problem("Mail"), problem("Idle")}, t0 + seconds(60), counting);
    EXPECT_EQ(slow, (std::vector<std::string>{"Mail", "web", "Mail"}));
    EXPECT_EQ(asked, 3);
}

TEST(SlowStarts, LinePositionsCountCharacters) {
    std::string stamp = timestamp(t0);
    auto slowFor = [&](const std::string& log, const std::string& name) {
        return slowStarts(log + "\n", {service(name)}, {problem(name)}, t0 + seconds(60), fixed(1));
    };
    const std::string open = "] ACTION: not running -> open";
    EXPECT_EQ(slowFor(stamp + " [my web" + open, "my web").size(), 1u);
    EXPECT_EQ(slowFor(stamp + " [a]b" + open, "a]b").size(), 1u);
    EXPECT_EQ(slowFor(stamp + " [W\xC3\xA9" + open, "W\xC3\xA9").size(), 1u);
    EXPECT_TRUE(slowFor(stamp + "  [web" + open, "web").empty());
    EXPECT_TRUE(slowFor(stamp + " (web" + open, "web").empty());
    // "[" followed by a combining mark is another character than "[".
    EXPECT_TRUE(slowFor(stamp + " [\xCC\x81web" + open, "\xCC\x81web").empty());
    EXPECT_TRUE(slowFor(stamp + " [web ACTION: not running -> open", "web").empty());

    // A line of 22 characters is too short even for an empty message.
    std::string log = stamp + " [web" + open + "\n" + stamp + " [w]\n" + stamp + " [w] \n";
    EXPECT_EQ(
        slowStarts(log, {service("web")}, {problem("web")}, t0 + seconds(60), fixed(1)).size(), 1u);

    // The end marker's line needs no valid time stamp: a stamp of 19 other characters
    // (here with two-byte letters) still ends the start.
    std::string odd = std::string("\xC3\xA9", 2) + stamp.substr(1);
    std::string ended = stamp + " [web" + open + "\n" + odd + " [web] started: 1s\n";
    EXPECT_TRUE(
        slowStarts(ended, {service("web")}, {problem("web")}, t0 + seconds(60), fixed(1)).empty());
}

TEST(SlowStarts, ReadsTheLogTailWithRecordsAndConfiguration) {
    TempDir tmp;
    std::string logFile = tmp / "kestrune.log";
    std::string times = tmp / "startup-times.tsv";
    std::string folder = tmp.mkdir("web");
    tmp.write("web/scripts/launch.json", "{\"start_grace_seconds\": 300}");
    std::vector<AppEntry> apps = {service("web", true, folder), app("Mail")};
    std::vector<Problem> problems = {problem("web"), problem("Mail")};

    EXPECT_TRUE(slowStarts(apps, problems, t0, logFile, times).empty()); // no log

    // Invalid bytes and a half-written last line do no harm.
    tmp.write("kestrune.log", "\xff\xfe garbage\n" +
                                  line(t0, "web", "ACTION: not running -> open") +
                                  line(t0, "Mail", "ACTION: not running -> open") +
                                  line(t0, "web", "started: ok").substr(0, 25));
    // web: grace 300 from its folder; Mail: 60 by default, then 15 from its records.
    EXPECT_EQ(slowStarts(apps, problems, t0 + seconds(200), logFile, times),
              std::vector<std::string>{"Mail"});
    EXPECT_EQ(slowStarts(apps, problems, t0 + seconds(301), logFile, times),
              (std::vector<std::string>{"web", "Mail"}));
    EXPECT_TRUE(slowStarts(apps, problems, t0 + seconds(30), logFile, times).empty());
    tmp.write("startup-times.tsv", "Mail\ta\tb\t5\tx\thealthy\nMail\ta\tb\t5\tx\thealthy\n"
                                   "Mail\ta\tb\t6\tx\thealthy\n");
    EXPECT_EQ(slowStarts(apps, problems, t0 + seconds(16), logFile, times),
              std::vector<std::string>{"Mail"});
    EXPECT_TRUE(slowStarts(apps, {}, t0 + seconds(999), logFile, times).empty());
    // With a usual window of 24 seconds web still gets its longer grace of 300.
    tmp.write("startup-times.tsv", "web\ta\tb\t14\tx\thealthy\n");
    EXPECT_TRUE(slowStarts(apps, {problem("web")}, t0 + seconds(200), logFile, times).empty());
    EXPECT_EQ(slowStarts(apps, {problem("web")}, t0 + seconds(301), logFile, times).size(), 1u);
    tmp.write("web/scripts/launch.json", "{\"start_grace_seconds\": 5}");
    EXPECT_TRUE(slowStarts(apps, {problem("web")}, t0 + seconds(24), logFile, times).empty());
    EXPECT_EQ(slowStarts(apps, {problem("web")}, t0 + seconds(25), logFile, times).size(), 1u);

    // Only the last 256 KiB are read: a start further back is forgotten. The cut falls
    // inside a two-byte character.
    std::string old = line(t0, "web", "ACTION: not running -> open");
    std::string filler = std::string(slowStartLogTailBytes, 'x');
    filler[filler.size() - 100] = '\xC3';
    filler[filler.size() - 99] = '\xA9';
    std::string recent = line(t0, "Mail", "ACTION: not running -> open");
    tmp.write("kestrune.log",
              old + filler.substr(0, filler.size() - recent.size() - 1) + "\n" + recent);
    EXPECT_EQ(slowStarts(apps, problems, t0 + seconds(999), logFile, times),
              std::vector<std::string>{"Mail"});
}
