// The Settings window with 20 apps and 30 services (12 of them down, a 256 KiB activity
// log): opening it the first time (building every part), and each later
// reloadSections(), which rebuilds every row with its icon and subtitle. Each service
// has a 1024-pixel logo of its own, so the icons are real pictures, looked up through
// the icon cache. Pictures are made on workers: the first opening's main-thread time
// (its CPU time column) excludes them; BM_FirstOpen/1 waits for all of them.
#include "TempDir.h"
#include "app/D.h"
#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "icons/qt/IconPictures.h"
#include "settings/ListSection.h"

#include <QApplication>
#include <QColor>
#include <QDBusConnection>
#include <QImage>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace KestruneCore;

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_ui_settings";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

// Every service has a real icon to load and normalise: a square logo, as many
// projects keep at their top.
void writeLogo(const std::string& path, int hue) {
    QImage logo(1024, 1024, QImage::Format_ARGB32);
    logo.fill(QColor::fromHsv(hue % 360, 160, 220));
    logo.save(QString::fromStdString(path), "PNG");
}

void fillHome(const KestruneTest::TempDir& tmp) {
    std::string apps, problems;
    for (int i = 0; i < 20; ++i)
        apps += "1\tApp " + std::to_string(i) + "\t/Apps/App" + std::to_string(i) + ".app\tapp\n";
    for (int i = 0; i < 30; ++i) {
        std::string name = "svc" + std::to_string(i);
        std::string dir = tmp.path() + "/p/" + name;
        tmp.write("p/" + name + "/scripts/launch.sh", "#!/bin/sh\n", true);
        tmp.write("p/" + name + "/scripts/launch.json",
                  R"({"healthcheck": {"url": "http://127.0.0.1:9/health"}})");
        writeLogo(dir + "/icon.png", i * 12);
        apps += "1\t" + name + "\t" + dir + "\tservice\tlaunch.sh\n";
        if (i < 12)
            problems += name + "\tretrying\tstuck\t2026-12-07 10:00:00\tNo reply within 5s\n";
    }
    writeFileAtomically(dataPath(), apps);
    writeFileAtomically(problemsPath(), problems);
    std::string log;
    for (int i = 0; log.size() < 256 * 1024; ++i)
        log += logLine("App " + std::to_string(i % 20),
                       i % 4 ? "started: healthy after 3s" : "ACTION: not running -> open");
    writeFileAtomically(logPath(), log);
}

std::unique_ptr<Kestrune::D> controller() {
    auto d = std::make_unique<Kestrune::D>();
    d->setNotificationBus(QDBusConnection("bench-no-bus"));
    d->lcRunner = [](const std::vector<std::string>&) { return 0; };
    d->isRunning = [](const std::string&) { return false; };
    d->arguments = {};
    d->applicationDidFinishLaunching();
    return d;
}

struct Home {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    Home() {
        makeFolders(dataFolder()); // else the watch list is never written
        makeFolders(stateFolder());
        makeFolders(logsFolder());
        fillHome(tmp);
    }
};

// arg 0: until the window is shown (the pictures still being made on workers);
// arg 1: until every picture is in its row.
void BM_FirstOpen(benchmark::State& state) {
    application();
    Home home;
    const bool untilPictures = state.range(0) == 1;
    for (auto _ : state) {
        state.PauseTiming();
        auto d = controller();
        state.ResumeTiming();
        d->openSettings();
        QApplication::processEvents();
        while (untilPictures && d->svcSec().filePictures().busy())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.PauseTiming();
        if (d->svcSec().rows.size() != 30)
            state.SkipWithError("the services were not listed");
        d->svcSec().filePictures().waitForDone();
        d.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstOpen)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ReloadSections(benchmark::State& state) {
    application();
    Home home;
    auto d = controller();
    d->openSettings();
    QApplication::processEvents();
    for (auto _ : state) {
        d->reloadSections();
        // The replaced rows go, and the new ones are laid out, in the next turn of the
        // event loop; count that too.
        QApplication::processEvents();
    }
    if (d->appsSec().rows.size() != 20 || d->svcSec().rows.size() != 30)
        state.SkipWithError("the lists were not filled");
}
BENCHMARK(BM_ReloadSections)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace
