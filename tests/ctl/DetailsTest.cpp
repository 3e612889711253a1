// `details`: the text of a service's details sheet, recent starts included.
#include "CtlHome.h"

#include "core/ActivityLog.h"

#include <gtest/gtest.h>

using namespace KestruneTest;

TEST(CtlDetails, ShowsCheckCauseNextStepAndRecentStarts) {
    CtlHome home;
    std::string web = home.makeService("web");
    home.writeWatchList("1\tweb\t" + web + "\tservice\tlaunch.sh\n");
    home.writeState("svc_web_.check",
                    "1700000000\thttp://127.0.0.1:8080/\tdown\tNothing answering on 8080\n");
    // The problem's detail wins over the check's cause.
    home.writeProblems("db\tretrying\tstuck\tx\tGot 500\n"
                       "web\tretrying\tstuck\tx\tPort 8080 is closed\n"
                       "web\tretrying\tstuck\tx\tGot 503\n");
    home.writeState("startup-times.tsv", "web\t09:00:00\t09:00:05\t5\tmanual\thealthy\n"
                                         "api\t09:00:00\t09:00:05\t1\tmanual\thealthy\n"
                                         "web\t09:10:00\t09:10:09\t9\tcrash\thealthy\n"
                                         "web\t09:20:00\t09:20:07\t7\tretry\tfailed\n");
    std::string checked = KestruneCore::timestamp(KestruneCore::Clock::from_time_t(1700000000));

    auto r = home.run({"details", "web"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "web\n\n"
                        "URL: http://127.0.0.1:8080/\n"
                        "Result: down\n"
                        "Checked: " +
                            checked +
                            "\n"
                            "Cause: Port 8080 is closed\n"
                            "Next step: Run scripts/launch.sh from the project folder.\n"
                            "\n"
                            "Recent starts (usually 7s, slowest 9s):\n"
                            "09:20:00  7s  retry  failed\n"
                            "09:10:00  9s  crash  healthy\n"
                            "09:00:00  5s  manual  healthy\n"
                            "\n"
                            "Service log: ~/.local/state/kestrune/kestrune-web.log\n");
}

TEST(CtlDetails, WithoutCheckOrStartsOnlySaysSo) {
    CtlHome home;
    std::string web = home.makeService("web/app");
    home.writeWatchList("1\tweb/app\t" + web + "\tservice\tlaunch.sh\n");
    auto r = home.run({"details", web});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "web/app\n\nNo check recorded yet.\n\n"
                        "Service log: ~/.local/state/kestrune/kestrune-web_app.log\n");
}

TEST(CtlDetails, SaysWhyTheDeclarationIsNotRead) {
    CtlHome home;
    const std::pair<std::string, std::string> cases[] = {
        {R"({"healthcheck": {"url": 5}})", "scripts/launch.json is malformed"},
        {"{" + std::string(1024 * 1024, ' ') + "}", "scripts/launch.json is larger than 1 MiB"},
    };
    for (const auto& [json, said] : cases) {
        std::string web = home.makeService("web", json);
        home.writeWatchList("1\tweb\t" + web + "\tservice\tlaunch.sh\n");
        auto r = home.run({"details", "web"});
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("No check recorded yet.\nConfiguration: " + said + "\n"),
                  std::string::npos)
            << r.output;
    }
}
