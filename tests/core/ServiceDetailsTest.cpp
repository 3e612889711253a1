// The details text and the next step suggested for each cause.
#include "health/ServiceDetails.h"
#include "services/HealthCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace KestruneCore;

namespace {

// Runs the test in a fixed time zone and restores the user's afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

const AppEntry web{"web", "/srv/web", true, EntryType::service, "launch.sh"};

Problem problem(std::string detail) {
    return Problem{"web", "retrying", Severity::stuck, "2026-12-07 10:00:00", std::move(detail)};
}

} // namespace

TEST(NextStep, FirstMatchingRuleWinsAndMatchingIsExact) {
    const std::string proxy =
        "Restart the Zenthal proxy (it runs as root, so it may need your password).";
    const std::string hosts = "Check /etc/hosts has an entry for this name, or run the "
                              "project's ensure-local-domain script.";
    const std::string browser = "Open the site in a browser to see what it's doing; if it's "
                                "still starting, wait and check again.";
    const std::string launch = "Run scripts/launch.sh from the project folder.";
    const std::string failed =
        "Open the service log to see what failed, then run scripts/launch.sh again.";
    const std::string password =
        "Run scripts/launch.sh in Terminal and enter your password when asked.";
    const std::string log = "Open the service log for more detail.";

    EXPECT_EQ(nextStep("Got 502 from http://web.test/ via port 80"), proxy);
    EXPECT_EQ(nextStep("web.test doesn't resolve"), hosts);
    EXPECT_EQ(nextStep("web.test doesn't resolve."), log);
    EXPECT_EQ(nextStep("No reply within 5s"), browser);
    EXPECT_EQ(nextStep("Got 503 from http://127.0.0.1:3000/"), browser);
    EXPECT_EQ(nextStep("got 503"), log);
    EXPECT_EQ(nextStep("Port 3000 is not accepting connections"), launch);
    EXPECT_EQ(nextStep("Nothing answering at http://127.0.0.1:3000/"), launch);
    EXPECT_EQ(nextStep("launch.sh exited with status 1"), failed);
    EXPECT_EQ(nextStep("Needs your admin password"), password);
    EXPECT_EQ(nextStep(""), log);
    EXPECT_EQ(nextStep(" Port 3000"), log);

    // The causes the health check writes each lead to the step meant for them.
    auto causeOf = [](std::string url, std::vector<int> ports = {}) {
        ServiceConfig c;
        c.url = std::move(url);
        c.ports = std::move(ports);
        return checkHealth(c)->cause;
    };
    if (!portAcceptsConnections(80)) {
        EXPECT_EQ(nextStep(causeOf("http://127.0.0.1/")), proxy);
    }
    EXPECT_EQ(nextStep(causeOf("http://kestrune-test.invalid/")), hosts);
    ServiceConfig ports;
    ports.ports = {0};
    EXPECT_EQ(nextStep(checkHealth(ports)->cause), launch);
}

TEST(ServiceDetails, CheckProblemAndNextStepLines) {
    ScopedTimeZone zone("UTC");
    // 2026-12-07 15:30:00.75 UTC
    const ServiceCheck failing{Clock::from_time_t(1796657400) + std::chrono::milliseconds(750),
                               "http://127.0.0.1:3000/", "HTTP 503",
                               "Got 503 from http://127.0.0.1:3000/"};
    const std::string checkLines = "URL: http://127.0.0.1:3000/\nResult: HTTP 503\n"
                                   "Checked: 2026-12-07 15:30:00";

    EXPECT_EQ(serviceDetails(web, std::nullopt, std::nullopt), "No check recorded yet.");
    EXPECT_EQ(serviceDetails(web, failing, std::nullopt),
              checkLines + "\nCause: Got 503 from http://127.0.0.1:3000/\nNext step: Open the "
                           "site in a browser to see what it's doing; if it's still starting, "
                           "wait and check again.");
    // The problem's detail comes before the check's cause, unless it is empty.
    EXPECT_EQ(serviceDetails(web, failing, problem("Port 3000 is not accepting connections")),
              checkLines + "\nCause: Port 3000 is not accepting connections\n"
                           "Next step: Run scripts/launch.sh from the project folder.");
    EXPECT_EQ(serviceDetails(web, failing, problem("")),
              serviceDetails(web, failing, std::nullopt));
    EXPECT_EQ(serviceDetails(web, std::nullopt, problem("launch.sh exited with status 2")),
              "No check recorded yet.\nCause: launch.sh exited with status 2\nNext step: Open "
              "the service log to see what failed, then run scripts/launch.sh again.");
    EXPECT_EQ(serviceDetails(web, std::nullopt, problem("")), "No check recorded yet.");

    const ServiceCheck healthy{Clock::from_time_t(1796657400), "", "healthy (ports)", ""};
    EXPECT_EQ(serviceDetails(web, healthy, std::nullopt),
              "URL: (ports only)\nResult: healthy (ports)\nChecked: 2026-12-07 15:30:00\n"
              "Status: healthy");
    EXPECT_EQ(detailsButtons[0], "Open Service Log");
    EXPECT_EQ(detailsButtons[1], "OK");
}
