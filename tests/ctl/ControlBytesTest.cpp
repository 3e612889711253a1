// Names, addresses, causes and log lines come from files anyone may have written; no
// command may pass their control characters on to the terminal.
#include "CtlHome.h"

#include "core/FileIO.h"
#include "services/ServiceCheck.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace KestruneTest;

namespace {

// Sets the window title, rings, clears the screen; then C1 CSI, DEL and a stray byte.
const std::string hostile = "\x1b]0;owned\x07\x1b[2J\xc2\x9b\x7f";

// The first byte a terminal would act on, or none.
std::optional<std::size_t> controlAt(const std::string& out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        bool c1 = c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0;
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F || c1)
            return i;
    }
    if (!KestruneCore::isValidUtf8(out))
        return out.size();
    return std::nullopt;
}

} // namespace

TEST(CtlControlBytes, NoCommandPassesThemOnPlainOrJson) {
    CtlHome home;
    home.markEngineServing(true);
    std::string url = "http://127.0.0.1:9/" + hostile;
    std::string dir =
        home.makeService("svc", R"({"healthcheck": {"url": )" + nlohmann::json(url).dump() + "}}");
    home.dir().write("svc/README.md", "# web" + hostile + "\n");
    std::string name = "web" + hostile;
    KestruneCore::writeFileAtomically(KestruneCore::serviceCheckPath(name, home.stateFolder()),
                                      "1700000000\t" + url + "\tdown\tNothing answering at " + url +
                                          "\n");
    home.writeProblems(name + "\tretrying\tstuck\tx\tGot 500 from " + url + "\n");
    home.writeLog("2025-03-14 09:26:53 [" + name + "] start failed: \x9b" + hostile + "\n");

    for (const auto& args : std::vector<std::vector<std::string>>{{"add-service", dir},
                                                                  {"status"},
                                                                  {"status", "--no-probe"},
                                                                  {"details", dir},
                                                                  {"log"},
                                                                  {"off", dir},
                                                                  {"on", dir},
                                                                  {"details", name},
                                                                  {"remove", name + "x"},
                                                                  {"remove", dir}}) {
        auto r = home.run(args);
        EXPECT_LT(r.status, 2) << args[0] << r.output;
        EXPECT_EQ(controlAt(r.output), std::nullopt) << args[0] << "\n" << r.output;
        EXPECT_NE(r.output.find("web\xEF\xBF\xBD]0;owned"), std::string::npos) << args[0] << "\n"
                                                                               << r.output;
        if (args[0] == "add-service") {
            // The JSON form escapes them instead, so the name reads back whole.
            auto j = home.run({"status", "--json", "--no-probe"});
            EXPECT_EQ(controlAt(j.output), std::nullopt) << j.output;
            EXPECT_NE(j.output.find("\\u001b]0;owned\\u0007\\u001b[2J\\u009b\\u007f"),
                      std::string::npos)
                << j.output;
            auto parsed = nlohmann::json::parse(j.output);
            EXPECT_EQ(parsed["entries"][0]["name"], name);
            EXPECT_EQ(parsed["problems"][0]["detail"], "Got 500 from " + url);
        }
    }
}
