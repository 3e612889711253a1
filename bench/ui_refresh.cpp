// One whole refresh of the controller: 50 watched entries, 20 current problems and a
// 256 KiB activity log. Run through tests/support/with-user-manager it uses the real
// systemd agent beside a running stand-in engine unit; otherwise the agent calls are a
// no-op that says "loaded".
#include "StandInEngineUnit.h"
#include "TempDir.h"
#include "app/D.h"
#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"

#include <QApplication>
#include <QDBusConnection>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "platform/AgentBackend.h"
#include "platform/Process.h"

namespace {

using namespace KestruneCore;

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_ui_refresh";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication app(argc, argv);
    return app;
}

void fillHome(const KestruneTest::TempDir& tmp) {
    std::string apps, problems;
    for (int i = 0; i < 50; ++i) {
        std::string name = "entry" + std::to_string(i);
        if (i % 2 == 0)
            apps += "1\t" + name + "\t/Apps/" + name + ".app\tapp\n";
        else
            apps += "1\t" + name + "\t" + tmp.path() + "/p/" + name + "\tservice\tlaunch.sh\n";
        if (i < 20)
            problems += name + "\t" +
                        (i % 3 ? "not-running-relaunching\trestarting" : "retrying\tstuck") +
                        "\t2026-12-07 10:00:00\tdetail " + std::to_string(i) + "\n";
    }
    writeFileAtomically(dataPath(), apps);
    writeFileAtomically(problemsPath(), problems);
    std::string log;
    for (int i = 0; log.size() < 256 * 1024; ++i)
        log += logLine("entry" + std::to_string(i % 50),
                       i % 4 ? "started: healthy after 3s" : "ACTION: not running -> open");
    writeFileAtomically(logPath(), log);
}

void BM_Refresh(benchmark::State& state) {
    application();
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    makeFolders(stateFolder());
    makeFolders(logsFolder());
    fillHome(tmp);

    bool real = KestruneTest::underUserManager();
    if (real) {
        ::setenv("KESTRUNE_AGENT_BACKEND", "systemd", 1);
        if (!KestruneTest::installStandInEngineUnit() ||
            runProcess(
                {findInPath("systemctl").value_or(""), "--user", "start", std::string(engineUnit)})
                    .exitStatus != 0) {
            state.SkipWithError("the stand-in engine unit did not start");
            return;
        }
    }

    Kestrune::D d;
    d.setNotificationBus(QDBusConnection("bench-no-bus"));
    if (!real)
        d.lcRunner = [](const std::vector<std::string>&) { return 0; };
    d.arguments = {};
    d.applicationDidFinishLaunching();
    // Let the user manager's first answer arrive, as it does long before a user looks.
    for (int i = 0; i < 100 && real; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    if (real && !d.agentLoaded()) {
        state.SkipWithError("the engine unit is not seen running");
        return;
    }
    for (auto _ : state)
        d.refresh();
    benchmark::DoNotOptimize(d.problems.size());
    if (d.problems.size() != 20)
        state.SkipWithError("the problems were not read");
}
BENCHMARK(BM_Refresh)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace
