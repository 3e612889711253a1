// Service row subtitles and the "since" phrase, compared as exact texts.
#include "health/ServiceSubtitle.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace KestruneCore;
using namespace std::chrono_literals;

namespace {

// A UTC wall-clock moment.
Clock::time_point utc(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return Clock::from_time_t(timegm(&tm));
}

AppEntry service(std::string method = "launch.sh", bool enabled = true) {
    return AppEntry{"web", "/srv/web", enabled, EntryType::service, std::move(method)};
}

ServiceConfig withUrl(std::string url) {
    ServiceConfig c;
    c.url = std::move(url);
    return c;
}

ServiceConfig withPorts(std::vector<int> ports) {
    ServiceConfig c;
    c.ports = std::move(ports);
    return c;
}

Problem problem(std::string kind, Severity severity, std::string detail, std::string name = "web") {
    return Problem{std::move(name), std::move(kind), severity, "2026-12-07 10:00:00",
                   std::move(detail)};
}

} // namespace

TEST(SincePhrase, ClockDayWeekdayOrDateInEnglishAndGerman) {
    const auto now = utc(2026, 12, 7, 15, 30); // a Monday
    struct Case {
        Clock::time_point date;
        const char* english;
        const char* german;
    };
    const Case cases[] = {
        {utc(2026, 12, 7, 9, 5), "9:05 AM", "09:05"},
        {utc(2026, 12, 7, 14, 0), "2 PM", "14 Uhr"},
        {utc(2026, 12, 7, 0, 0), "12 AM", "00 Uhr"},
        {utc(2026, 12, 6, 23, 59), "yesterday 11:59 PM", "yesterday 23:59"},
        {utc(2026, 12, 6, 0, 0), "yesterday 12 AM", "yesterday 00 Uhr"},
        {utc(2026, 12, 5, 9, 0), "Sat 9 AM", "Sa 09 Uhr"},
        {utc(2026, 12, 1, 15, 31), "Tue 3:31 PM", "Di 15:31"},        // just under six days
        {utc(2026, 12, 1, 15, 30), "Dec 1 3:30 PM", "1. Dez. 15:30"}, // exactly six
        {utc(2026, 11, 29, 9, 0), "Nov 29 9 AM", "29. Nov. 09 Uhr"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sincePhrase(c.date, now, "UTC", "en_US"), c.english);
        EXPECT_EQ(sincePhrase(c.date, now, "UTC", "de_DE"), c.german);
    }
}

TEST(SincePhrase, DaysAreCalendarDaysInTheGivenTimeZone) {
    // 00:30 UTC is the previous evening in New York.
    const auto now = utc(2026, 12, 7, 15, 30);
    EXPECT_EQ(sincePhrase(utc(2026, 12, 7, 0, 30), now, "UTC", "en_US"), "12:30 AM");
    EXPECT_EQ(sincePhrase(utc(2026, 12, 7, 0, 30), now, "America/New_York", "en_US"),
              "yesterday 7:30 PM");
    // Across the spring change in Berlin the day before is not 24 hours back: just
    // after midnight on 30 March, 00:10 on 29 March is yesterday although more than a
    // day of clock time has passed.
    const auto afterChange = utc(2026, 3, 29, 22, 30); // 00:30 CEST on the 30th
    EXPECT_EQ(sincePhrase(utc(2026, 3, 28, 23, 10), afterChange, "Europe/Berlin", "en_US"),
              "yesterday 12:10 AM");
}

TEST(UnwatchedSubtitle, ObservedHealthWithOffMarker) {
    auto url = withUrl("http://127.0.0.1:3000/health");
    EXPECT_EQ(unwatchedSubtitle(service(), url, std::nullopt), "Checking…");
    EXPECT_EQ(unwatchedSubtitle(service(), withPorts({5432}), std::nullopt), "Checking…");
    EXPECT_EQ(unwatchedSubtitle(service(), ServiceConfig{}, std::nullopt), "Health unknown");
    EXPECT_EQ(unwatchedSubtitle(service(), std::nullopt, std::nullopt), "Health unknown");
    EXPECT_EQ(unwatchedSubtitle(service("launch.sh", false), url, std::nullopt), "Off");

    EXPECT_EQ(unwatchedSubtitle(service(), url, false), "Down – not answering");
    EXPECT_EQ(unwatchedSubtitle(service("launch.sh", false), url, false),
              "Down – not answering · Off");

    EXPECT_EQ(unwatchedSubtitle(service("pnpm dev"), url, true), "Healthy · 127.0.0.1 · pnpm dev");
    EXPECT_EQ(unwatchedSubtitle(service("unknown", false), url, true), "Healthy · 127.0.0.1 · Off");
    EXPECT_EQ(unwatchedSubtitle(service(""), withUrl("https://[::1]:8443/"), true),
              "Healthy · ::1");
    EXPECT_EQ(unwatchedSubtitle(service(), withPorts({3000, 3001}), true),
              "Healthy · port 3000, 3001 · launch.sh");
    // An address without a host falls back to the ports, then to plain "Running".
    ServiceConfig hostless = withUrl("localhost:3000");
    hostless.ports = {3000};
    EXPECT_EQ(unwatchedSubtitle(service(), hostless, true), "Healthy · port 3000 · launch.sh");
    EXPECT_EQ(unwatchedSubtitle(service(), withUrl("http://"), true), "Running · launch.sh");
    EXPECT_EQ(unwatchedSubtitle(service("launch.sh", false), std::nullopt, true),
              "Running · launch.sh · Off");
}

TEST(ServiceSubtitle, ProblemsDecideFirst) {
    const auto now = Clock::now();
    const auto trying = now - 2min;
    const std::string since = " – trying since " + sincePhrase(trying, now);
    auto sub = [&](std::vector<Problem> problems, std::optional<Clock::time_point> t,
                   std::string method = "launch.sh",
                   std::optional<TypicalStartup> startup = std::nullopt) {
        return serviceSubtitle(service(method), withUrl("http://127.0.0.1:3000/"), problems, true,
                               t, now, startup, std::nullopt);
    };
    const auto stuck = Severity::stuck;
    const auto restarting = Severity::restarting;

    EXPECT_EQ(
        sub({problem("retrying", stuck, "No reply within 5s"), problem("unknown-start", stuck, "")},
            trying),
        "Down – Kestrune doesn't know how to start it");
    EXPECT_EQ(sub({problem("retrying", stuck, "No reply within 5s")}, trying),
              "No reply within 5s" + since);
    EXPECT_EQ(sub({problem("watch-only-down", stuck, "No reply within 5s")}, trying),
              "Down – No reply within 5s");
    EXPECT_EQ(sub({problem("retrying", stuck, "No reply within 5s")}, std::nullopt),
              "Down – No reply within 5s");
    EXPECT_EQ(sub({problem("retry-limit", stuck, "")}, std::nullopt), "Down – needs you");
    EXPECT_EQ(sub({problem("retry-limit", stuck, "")}, trying), "Down" + since);
    // The first stuck problem of this entry counts, wherever it stands.
    EXPECT_EQ(sub({problem("retrying", stuck, "Other", "api"),
                   problem("hung-restarting", restarting, "starting with launch.sh"),
                   problem("needs-admin", stuck, "Needs your admin password"),
                   problem("retrying", stuck, "Later")},
                  std::nullopt),
              "Down – Needs your admin password");

    EXPECT_EQ(sub({}, std::nullopt, "unknown"), "Don't know how to start this");
    EXPECT_EQ(sub({problem("retry-limit", stuck, "x")}, std::nullopt, "unknown"), "Down – x");

    EXPECT_EQ(sub({problem("not-running-relaunching", restarting, "starting with launch.sh")},
                  trying, "launch.sh", TypicalStartup{40, 90}),
              "Starting… usually takes ~40s · launch.sh");
    EXPECT_EQ(sub({problem("hung-restarting", restarting, "unhealthy")}, trying),
              "Trying since " + sincePhrase(trying, now) + " · launch.sh");
    EXPECT_EQ(sub({problem("hung-restarting", restarting, "unhealthy")}, std::nullopt, ""),
              "Starting…");
}

TEST(ServiceSubtitle, WithoutProblemsTellsWhereItIsHealthy) {
    const auto now = Clock::now();
    auto sub = [&](std::optional<ServiceConfig> config, std::string method = "launch.sh",
                   std::optional<TypicalStartup> startup = std::nullopt) {
        return serviceSubtitle(service(method), config,
                               {problem("retrying", Severity::stuck, "x", "other")}, true,
                               std::nullopt, now, startup, false);
    };
    EXPECT_EQ(sub(std::nullopt), "Running, health unknown · launch.sh");
    EXPECT_EQ(sub(ServiceConfig{}, ""), "Running, health unknown");
    EXPECT_EQ(sub(withUrl("http://127.0.0.1:3000/"), "pnpm dev", TypicalStartup{40, 90}),
              "Healthy · 127.0.0.1 · pnpm dev · usually starts in ~40s");
    EXPECT_EQ(sub(withPorts({3000, 3001}), ""), "Healthy · port 3000, 3001");
    EXPECT_EQ(sub(withPorts({3000}), "launch.sh", TypicalStartup{150, 200}),
              "Healthy · port 3000 · launch.sh · usually starts in ~3min");
    EXPECT_EQ(sub(withUrl("no host here"), "launch.sh", TypicalStartup{0, 0}),
              "Healthy · port  · launch.sh · usually starts in ~1s");
}

TEST(ServiceSubtitle, SwitchedOffOrMasterOffShowsTheProbe) {
    const auto now = Clock::now();
    auto url = withUrl("http://127.0.0.1:3000/");
    std::vector<Problem> problems = {problem("retrying", Severity::stuck, "No reply within 5s")};
    EXPECT_EQ(
        serviceSubtitle(service(), url, problems, false, now, now, std::nullopt, std::nullopt),
        "Checking…");
    EXPECT_EQ(serviceSubtitle(service("launch.sh", false), url, problems, true, now, now,
                              std::nullopt, false),
              "Down – not answering · Off");
}
