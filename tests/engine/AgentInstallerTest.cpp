// The agent definition `install` writes and the commands it and `uninstall` run.
#include "engine/AgentInstaller.h"
#include "TempDir.h"
#include "core/FileIO.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace KestruneEngine;
using Calls = std::vector<std::vector<std::string>>;

namespace {

struct Recorder {
    Calls calls;
    int status = 0;
    CommandRunner runner() {
        return [this](const std::vector<std::string>& argv) {
            calls.push_back(argv);
            return status;
        };
    }
};

} // namespace

TEST(AgentInstaller, SystemdUnitIsWrittenEnabledAndRemoved) {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    Recorder rec;
    const std::string engine = "/opt/odd dir/$HOME%i/kestrune-engine";
    ASSERT_EQ(installSystemdAgent(engine, std::nullopt, rec.runner()), 0);
    ASSERT_EQ(installSystemdAgent(engine, std::nullopt, rec.runner()), 0); // idempotent
    auto unit = KestruneTest::readAll(agentFiles().systemdUnitPath);
    EXPECT_EQ(agentFiles().systemdUnitPath,
              tmp.path() + "/.config/systemd/user/kestrune-engine.service");
    // The manager would expand "$" and "%" and split at blanks: all are escaped.
    EXPECT_NE(unit.find("ExecStart=\"/opt/odd dir/$$HOME%%i/kestrune-engine\" serve\n"),
              std::string::npos)
        << unit;
    for (auto line : {"Restart=always\n", "RestartSec=2\n", "WantedBy=default.target\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    Calls expected{{"systemctl", "--user", "daemon-reload"},
                   {"systemctl", "--user", "enable", "--now", "kestrune-engine.service"}};
    EXPECT_EQ(rec.calls, (Calls{expected[0], expected[1], expected[0], expected[1]}));

    EXPECT_NE(systemdUnitText(engine, std::string("/home/x y")).find("serve --home \"/home/x y\""),
              std::string::npos);

    rec.calls.clear();
    EXPECT_EQ(uninstallSystemdAgent(rec.runner()), 0);
    EXPECT_FALSE(KestruneCore::fileExists(agentFiles().systemdUnitPath));
    EXPECT_EQ(rec.calls,
              (Calls{{"systemctl", "--user", "disable", "--now", "kestrune-engine.service"},
                     {"systemctl", "--user", "daemon-reload"}}));

    // A failing manager is reported through the exit status.
    rec.status = 1;
    EXPECT_EQ(installSystemdAgent(engine, std::nullopt, rec.runner()), 1);
}

TEST(AgentInstaller, LaunchAgentPropertyListKeepsTheEngineRunning) {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    Recorder rec;
    ASSERT_EQ(installLaunchAgent("/Applications/Kestrune.app/kestrune-engine", std::nullopt,
                                 rec.runner()),
              0);
    auto path = agentFiles().launchAgentPath;
    EXPECT_EQ(path, tmp.path() + "/Library/LaunchAgents/org.velto.kestrune.plist");
    auto xml = KestruneTest::readAll(path);
    plist_t dict = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &dict);
    ASSERT_TRUE(dict);
    auto text = [](plist_t node) {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        std::string out = s ? s : "";
        std::free(s);
        return out;
    };
    auto flag = [](plist_t node) {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    };
    EXPECT_EQ(text(plist_dict_get_item(dict, "Label")), "org.velto.kestrune");
    plist_t args = plist_dict_get_item(dict, "ProgramArguments");
    ASSERT_EQ(plist_array_get_size(args), 2u);
    EXPECT_EQ(text(plist_array_get_item(args, 0)), "/Applications/Kestrune.app/kestrune-engine");
    EXPECT_EQ(text(plist_array_get_item(args, 1)), "serve");
    EXPECT_TRUE(flag(plist_dict_get_item(dict, "KeepAlive")));
    EXPECT_TRUE(flag(plist_dict_get_item(dict, "RunAtLoad")));
    plist_free(dict);

    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[1][1], "bootstrap");
    EXPECT_EQ(rec.calls[1][3], path);
    EXPECT_EQ(rec.calls[1][2].rfind("gui/", 0), 0u);

    rec.calls.clear();
    uninstallLaunchAgent(rec.runner());
    EXPECT_FALSE(KestruneCore::fileExists(path));
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0][1], "bootout");
}
