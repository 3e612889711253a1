#include "platform/AgentBackend.h"
#include "TempDir.h"
#include "core/FileIO.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace KestruneCore;
using KestruneTest::TempDir;

namespace {

struct Recorder {
    std::vector<std::vector<std::string>> calls;
    int answer = 0;
    CommandRunner runner() {
        return [this](const std::vector<std::string>& argv) {
            calls.push_back(argv);
            return answer;
        };
    }
};

using Args = std::vector<std::string>;

} // namespace

TEST(AgentBackend, TargetsUseTheRealUserId) {
    std::string uid = std::to_string(::getuid());
    EXPECT_EQ(domainTarget(), "gui/" + uid);
    EXPECT_EQ(serviceTarget(), "gui/" + uid + "/org.velto.kestrune");
}

TEST(AgentBackend, LaunchdPassesArgumentsUnchanged) {
    Recorder rec;
    rec.answer = 3;
    AgentBackend b(AgentBackendKind::launchd, rec.runner());
    EXPECT_EQ(b.lc({"print", serviceTarget()}), 3);
    EXPECT_EQ(b.lc({"bootstrap", domainTarget(), "/x/org.velto.kestrune.plist"}), 3);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0], (Args{"/bin/launchctl", "print", serviceTarget()}));
    EXPECT_EQ(rec.calls[1],
              (Args{"/bin/launchctl", "bootstrap", domainTarget(), "/x/org.velto.kestrune.plist"}));
}

TEST(AgentBackend, SystemdMapsEachVerbOntoTheEngineUnit) {
    Recorder rec;
    AgentBackend b(AgentBackendKind::systemd, rec.runner(), "/usr/bin/systemctl");
    std::string lab = serviceTarget();
    EXPECT_EQ(b.lc({"print", lab}), 0);
    b.lc({"bootstrap", domainTarget(), agentPlistPath()});
    b.lc({"kickstart", lab});
    b.lc({"bootout", lab});
    const std::string sc = "/usr/bin/systemctl";
    ASSERT_EQ(rec.calls.size(), 4u);
    EXPECT_EQ(rec.calls[0],
              (Args{sc, "--user", "is-active", "--quiet", "kestrune-engine.service"}));
    EXPECT_EQ(rec.calls[1], (Args{sc, "--user", "enable", "--now", "kestrune-engine.service"}));
    EXPECT_EQ(rec.calls[2], (Args{sc, "--user", "start", "--no-block", "kestrune-engine.service"}));
    EXPECT_EQ(rec.calls[3], (Args{sc, "--user", "stop", "kestrune-engine.service"}));

    // The former name's agent, unknown verbs and missing targets have no unit: -1,
    // nothing run.
    rec.calls.clear();
    EXPECT_EQ(b.lc({"bootout", domainTarget() + "/org.velto.tolvane"}), -1);
    EXPECT_EQ(b.lc({"print"}), -1);
    EXPECT_EQ(b.lc({"enable", lab}), -1);
    EXPECT_EQ(b.lc({}), -1);
    EXPECT_TRUE(rec.calls.empty());

    AgentBackend noSystemctl(AgentBackendKind::systemd, rec.runner(), "");
    EXPECT_EQ(noSystemctl.lc({"print", lab}), -1);
    EXPECT_TRUE(rec.calls.empty());
}

TEST(AgentBackend, NoneAnswersMinusOneWithoutRunning) {
    Recorder rec;
    AgentBackend b(AgentBackendKind::none, rec.runner());
    EXPECT_EQ(b.lc({"print", serviceTarget()}), -1);
    EXPECT_EQ(b.lc({"kickstart", serviceTarget()}), -1);
    EXPECT_TRUE(rec.calls.empty());
}

TEST(AgentBackend, ChoosingByName) {
    Recorder rec;
    EXPECT_EQ(AgentBackend::named("none", rec.runner())->kind(), AgentBackendKind::none);
    EXPECT_EQ(AgentBackend::named("launchd", rec.runner())->kind(), AgentBackendKind::launchd);
    EXPECT_EQ(AgentBackend::named("systemd", rec.runner())->kind(), AgentBackendKind::systemd);
    EXPECT_FALSE(AgentBackend::named("upstart", rec.runner()));
    EXPECT_TRUE(rec.calls.empty());

    // "auto" without /bin/launchctl asks the user manager once; a manager that does
    // not answer leaves none. A fake systemctl on PATH stands in for the real one.
    if (isExecutableFile("/bin/launchctl"))
        GTEST_SKIP() << "this machine has launchctl";
    TempDir tmp;
    std::string fake = tmp.write("bin/systemctl", "#!/bin/sh\nexit 0\n", true);
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (tmp.path() + "/bin").c_str(), 1);
    rec.answer = 1;
    auto silent = AgentBackend::named("auto", rec.runner());
    rec.answer = 0;
    auto answering = AgentBackend::named("auto", rec.runner());
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(silent->kind(), AgentBackendKind::none);
    EXPECT_EQ(answering->kind(), AgentBackendKind::systemd);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0], (Args{fake, "--user", "show-environment"}));
    answering->lc({"kickstart", serviceTarget()});
    EXPECT_EQ(rec.calls.back()[0], fake);
}

TEST(AgentBackend, DefaultRunnerReportsExitStatusAndStartFailure) {
    TempDir tmp;
    std::string script = tmp.write("s", "#!/bin/sh\necho noise; echo more >&2; exit 7\n", true);
    EXPECT_EQ(runQuietly({script}), 7);
    EXPECT_EQ(runQuietly({tmp / "missing"}), -1);
    EXPECT_EQ(runQuietly({}), -1);
}
