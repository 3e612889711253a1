// `status --json` against prepared homes: each icon state, the problems as the menu
// words them, and the subtitles the Settings rows would show.
#include "CtlHome.h"
#include "HttpTestServer.h"

#include "core/ActivityLog.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace KestruneTest;
using nlohmann::json;
using namespace std::string_literals;

namespace {

json statusJson(const CtlHome& home, bool probe = false) {
    std::vector<std::string> args = {"status", "--json"};
    if (!probe)
        args.push_back("--no-probe");
    auto r = home.run(args);
    EXPECT_EQ(r.status, 0) << r.output;
    auto j = json::parse(r.output, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.output;
    return j;
}

// name → subtitle of every entry, in watch-list order.
std::vector<std::pair<std::string, std::string>> subtitles(const json& status) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : status["entries"])
        out.emplace_back(e["name"], e["subtitle"]);
    return out;
}

std::string minutesAgo(int minutes) {
    return KestruneCore::timestamp(KestruneCore::Clock::now() - std::chrono::minutes(minutes));
}

} // namespace

TEST(CtlStatus, OffWhileMasterOffAgentNotLoadedOrNothingEnabled) {
    CtlHome home;
    std::string web = home.makeService("web", R"({"healthcheck": {"url": "http://127.0.0.1:9/"}})");
    home.writeWatchList("1\tweb\t" + web +
                        "\tservice\tlaunch.sh\n0\tMail\t/nowhere/Mail.app\tapp\n");
    home.writeProblems("web\tretrying\tstuck\t2025-03-14 09:00\tNothing answering on port 3000\n");

    // Master off: no problems, the agent is not even asked.
    home.useFakeSystemctl(0);
    home.writeMaster("off\n");
    json s = statusJson(home);
    EXPECT_EQ(s["master"], false);
    EXPECT_EQ(s["agentLoaded"], false);
    EXPECT_EQ(s["iconState"], "off");
    EXPECT_EQ(s["tooltip"], "Kestrune: OFF");
    EXPECT_EQ(s["problems"], json::array());
    EXPECT_EQ(s["slowStarts"], json::array());
    EXPECT_EQ(subtitles(s), (std::vector<std::pair<std::string, std::string>>{
                                {"web", "Checking…"}, {"Mail", "Not running · Off"}}));
    EXPECT_EQ(s["entries"][0], json({{"name", "web"},
                                     {"path", web},
                                     {"type", "service"},
                                     {"enabled", true},
                                     {"method", "launch.sh"},
                                     {"subtitle", "Checking…"}}));
    EXPECT_EQ(home.systemctlCalls(), "");

    // Master on but the engine not serving: off, though the problems are current.
    // Whether it serves is learned from its lock, without asking systemctl.
    home.useFakeSystemctl(3);
    home.writeMaster("on\n");
    s = statusJson(home);
    EXPECT_EQ(s["master"], true);
    EXPECT_EQ(s["agentLoaded"], false);
    EXPECT_EQ(s["iconState"], "off");
    EXPECT_EQ(s["tooltip"], "Kestrune: OFF");
    ASSERT_EQ(s["problems"].size(), 1u);
    EXPECT_EQ(s["problems"][0]["line"], "web is down – Nothing answering on port 3000");
    EXPECT_EQ(subtitles(s)[0].second, "Down – Nothing answering on port 3000");
    EXPECT_EQ(home.systemctlCalls(), "");

    // Agent loaded but nothing switched on: still off.
    home.useFakeSystemctl(0);
    home.markEngineServing(true);
    home.writeWatchList("0\tweb\t" + web + "\tservice\tlaunch.sh\n");
    s = statusJson(home);
    EXPECT_EQ(s["agentLoaded"], true);
    EXPECT_EQ(s["iconState"], "off");
    EXPECT_EQ(subtitles(s)[0].second, "Off");
}

TEST(CtlStatus, OrangeListsProblemsInMenuOrderWithTheirLines) {
    CtlHome home;
    home.useFakeSystemctl(0);
    home.markEngineServing(true);
    std::string web = home.makeService("web");
    std::string tools = home.dir().mkdir("tools");
    home.writeWatchList("1\tweb\t" + web + "\tservice\tlaunch.sh\n" +
                        "1\tMail\t/nowhere/Mail.app\tapp\n" + "1\ttools\t" + tools +
                        "\tservice\tunknown\n");
    home.writeProblems("web\tretrying\tstuck\t1700000000\t\n"
                       "short\tretrying\n"
                       "Mail\thung-restarting\t\t2025-03-14\tno answer\n"
                       "bad\tnonsense\tSTUCK\tx\n"
                       "tools\tunknown-start\trestarting\tx\tignored\textra\n"
                       "ghost\tnot-running-relaunching\trestarting\tx\tgone\n");
    json s = statusJson(home);
    EXPECT_EQ(s["iconState"], "orange");
    EXPECT_EQ(s["tooltip"], "Kestrune: problems – web, Mail, tools, ghost");
    EXPECT_EQ(s["problems"], json::parse(R"([
        {"name":"web","kind":"retrying","severity":"stuck","since":"1700000000","detail":"",
         "line":"web is down – needs you"},
        {"name":"Mail","kind":"hung-restarting","severity":"restarting","since":"2025-03-14",
         "detail":"no answer","line":"Mail isn't responding – restarting…"},
        {"name":"tools","kind":"unknown-start","severity":"restarting","since":"x",
         "detail":"ignored","line":"tools is down – Kestrune doesn't know how to start it"},
        {"name":"ghost","kind":"not-running-relaunching","severity":"restarting","since":"x",
         "detail":"gone","line":"ghost quit – restarting…"}])"));
    EXPECT_EQ(subtitles(s), (std::vector<std::pair<std::string, std::string>>{
                                {"web", "Down – needs you"},
                                {"Mail", "Restarting…"},
                                {"tools", "Down – Kestrune doesn't know how to start it"}}));
}

TEST(CtlStatus, RedNamesStartsThatTakeLongerThanUsual) {
    CtlHome home;
    home.useFakeSystemctl(0);
    home.markEngineServing(true);
    std::string web = home.makeService("web", R"({"start_grace_seconds": 30})");
    std::string api = home.makeService("api", R"({"start_grace_seconds": 30})");
    home.writeWatchList("1\tweb\t" + web + "\tservice\tlaunch.sh\n1\tapi\t" + api +
                        "\tservice\tlaunch.sh\n");
    home.writeProblems("web\tnot-running-relaunching\trestarting\tx\tstarting up\n"
                       "api\tnot-running-relaunching\trestarting\tx\tstarting up\n");
    // web's start is ten minutes old; api's start has ended.
    home.writeLog(minutesAgo(10) + " [web] ACTION: switched on in Settings -> launching now\n" +
                  minutesAgo(10) + " [api] ACTION: retry -> starting with launch.sh\n" +
                  minutesAgo(9) + " [api] started: healthy after 40s\n");
    json s = statusJson(home);
    EXPECT_EQ(s["iconState"], "red");
    EXPECT_EQ(s["slowStarts"], json::array({"web"}));
    EXPECT_EQ(s["tooltip"], "Kestrune: taking longer than expected to start – web");
    EXPECT_EQ(subtitles(s)[0].second, "Starting… · launch.sh");

    // Within the grace period the same start is only a problem.
    home.writeLog(minutesAgo(0) + " [web] ACTION: switched on in Settings -> launching now\n");
    s = statusJson(home);
    EXPECT_EQ(s["iconState"], "orange");
    EXPECT_EQ(s["slowStarts"], json::array());
}

TEST(CtlStatus, HealthyRowsAndProbesOfServicesNotKeptAlive) {
    CtlHome home;
    home.useFakeSystemctl(0);
    home.markEngineServing(true);
    HttpTestServer server;
    std::string site =
        home.makeService("site", R"({"healthcheck": {"url": ")" + server.url() + R"("}})");
    std::string multi = home.makeService("multi", R"({"ports": [3000, 3001]})");
    std::string idle =
        home.makeService("idle", R"({"healthcheck": {"url": ")" + server.url() + R"("}})");
    std::string dead = home.makeService("dead", R"({"ports": [1]})");
    std::string self = std::filesystem::canonical("/proc/self/exe").string();
    home.writeWatchList("1\tsite\t" + site + "\tservice\tlaunch.sh\n" + "1\tmulti\t" + multi +
                        "\tservice\tlaunch.sh\n" + "0\tidle\t" + idle + "\tservice\tlaunch.sh\n" +
                        "0\tdead\t" + dead + "\tservice\tlaunch.sh\n" + "1\tself\t" + self +
                        "\tapp\n" + "1\tMail\t/nowhere/Mail.app\tapp\n");
    home.writeState("startup-times.tsv", "site\ta\tb\t35\tmanual\thealthy\n"
                                         "site\ta\tb\t45\tretry\thealthy\n"
                                         "site\ta\tb\t400\tretry\tfailed\n");
    home.writeLog("2025-03-14 09:26:53 [self] ACTION: not running -> open\n"
                  "2025-03-14 09:30:00 [self] started: running\n");

    json s = statusJson(home, true);
    EXPECT_EQ(s["iconState"], "healthy");
    EXPECT_EQ(s["tooltip"], "Kestrune: ON");
    EXPECT_EQ(s["problems"], json::array());
    EXPECT_EQ(subtitles(s),
              (std::vector<std::pair<std::string, std::string>>{
                  {"site", "Healthy · 127.0.0.1 · launch.sh · usually starts in ~40s"},
                  {"multi", "Healthy · port 3000, 3001 · launch.sh"},
                  {"idle", "Healthy · 127.0.0.1 · launch.sh · Off"},
                  {"dead", "Down – not answering · Off"},
                  {"self", "Running · Last relaunched 09:26"},
                  {"Mail", "Not running"}}));

    // Without probing, services nobody keeps alive are just off.
    s = statusJson(home, false);
    EXPECT_EQ(subtitles(s)[2].second, "Off");
    EXPECT_EQ(subtitles(s)[3].second, "Off");

    // The readable table carries the same facts.
    auto text = home.run({"status", "--no-probe"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.output.find("Tooltip:     Kestrune: ON\n"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("  site   service  on   Healthy · 127.0.0.1"), std::string::npos)
        << text.output;
}

TEST(CtlStatus, NeverFailsOnDamagedFiles) {
    CtlHome home;
    home.useFakeSystemctl(0);
    home.markEngineServing(true);
    std::string web = home.makeService("web", "{\"healthcheck\": [1, 2");
    home.writeWatchList("1\tweb\t" + web + "\tservice\n\n1\n1\tx\n1\t\t\t\t\t\t\n");
    home.writeProblems("web\tretrying\tstuck\t\xff\xfe\t\x01\n\0\0\t"s);
    home.writeLog(std::string(50, '\0') + "\n\xff[web] ACTION: x -> starting with y\n");
    home.writeState("startup-times.tsv", "web\ta\tb\t99999999999999999999\tx\thealthy\n");
    home.writeState("svc_web_.trying", "not a number");
    json s = statusJson(home, true);
    EXPECT_EQ(s["iconState"], "healthy");
    EXPECT_EQ(s["entries"].size(), 2u);
    EXPECT_EQ(s["entries"][0]["subtitle"], "Running, health unknown · launch.sh");
}
