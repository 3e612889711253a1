// The tray program beside a real systemd user manager (run through
// tests/support/with-user-manager; skipped elsewhere): the engine unit's state followed
// over the bus, and the session's display handed to the manager before the engine
// starts.
#include "platform/qt/UserManager.h"
#include "SessionBus.h"
#include "StandInEngineUnit.h"
#include "TempDir.h"
#include "platform/AgentBackend.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace KestruneCore;
using KestruneTest::waitFor;

ProcessResult systemctl(std::vector<std::string> args) {
    args.insert(args.begin(), {findInPath("systemctl").value_or(""), "--user"});
    return runProcess(args);
}

class UserManager : public ::testing::Test {
protected:
    void SetUp() override {
        if (!KestruneTest::underUserManager())
            GTEST_SKIP() << "needs tests/support/with-user-manager";
        ASSERT_TRUE(KestruneTest::installStandInEngineUnit());
    }
    void TearDown() override {
        if (KestruneTest::underUserManager())
            systemctl({"stop", std::string(engineUnit)});
    }
};

TEST_F(UserManager, EngineUnitStateFollowsItsStartsAndStops) {
    Kestrune::UnitActiveState unit(QString::fromUtf8(engineUnit));
    ASSERT_TRUE(waitFor([&] { return unit.state() == "inactive"; })) << unit.state().toStdString();
    int changes = 0;
    QObject::connect(&unit, &Kestrune::UnitActiveState::changed, [&] { ++changes; });

    ASSERT_EQ(systemctl({"start", std::string(engineUnit)}).exitStatus, 0);
    EXPECT_TRUE(waitFor([&] { return unit.active(); })) << unit.state().toStdString();
    ASSERT_EQ(systemctl({"stop", std::string(engineUnit)}).exitStatus, 0);
    EXPECT_TRUE(waitFor([&] { return unit.state() == "inactive"; }));
    EXPECT_GE(changes, 2);
}

// The engine started by the tray program finds the session's display in the manager.
TEST_F(UserManager, TrayProgramHandsTheSessionToTheManagerBeforeStartingTheEngine) {
    KestruneTest::TempDir tmp;
    systemctl({"unset-environment", "DISPLAY", "XDG_CURRENT_DESKTOP"});
    QProcess kestrune;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(tmp.mkdir("home")));
    env.insert("DISPLAY", ":73");
    env.insert("XDG_CURRENT_DESKTOP", "XFCE");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KESTRUNE_AGENT_BACKEND", "systemd");
    kestrune.setProcessEnvironment(env);
    kestrune.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    kestrune.start(KESTRUNE_PATH, {});
    ASSERT_TRUE(kestrune.waitForStarted(10000));

    EXPECT_TRUE(waitFor([&] {
        return systemctl({"is-active", "--quiet", std::string(engineUnit)}).exitStatus == 0;
    })) << "the tray program did not start the engine unit";
    std::string shown = "\n" + systemctl({"show-environment"}).output;
    EXPECT_NE(shown.find("\nDISPLAY=:73\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\nXDG_CURRENT_DESKTOP=XFCE\n"), std::string::npos) << shown;

    kestrune.terminate();
    if (!kestrune.waitForFinished(5000))
        kestrune.kill();
    kestrune.waitForFinished(5000);
}

} // namespace
