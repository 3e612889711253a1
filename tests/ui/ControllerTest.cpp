#include "TempDir.h"
#include "app/D.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "feedback/qt/FeedbackActions.h"
#include "health/StartRecords.h"
#include "platform/AgentBackend.h"
#include "services/ServiceCheck.h"
#include "services/ServiceFolder.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

using namespace KestruneCore;
using Kestrune::D;
using KestruneTest::readAll;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

using Args = std::vector<std::string>;

// Records every agent call; kickstarts arrive from the thread pool.
struct LcRecorder {
    std::mutex mutex;
    std::vector<Args> calls;
    int printAnswer = 0;

    std::function<int(const Args&)> runner() {
        return [this](const Args& args) {
            std::lock_guard lock(mutex);
            calls.push_back(args);
            return !args.empty() && args[0] == "print" ? printAnswer : 0;
        };
    }
    std::vector<Args> taken() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    int count(const std::string& verb) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& c : calls)
            n += !c.empty() && c[0] == verb;
        return n;
    }
};

bool waitFor(const std::function<bool()>& done, int limitMs = 10000) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

QStringList menuTitles(QMenu* menu) {
    QStringList titles;
    for (QAction* a : menu->actions())
        titles << (a->isSeparator() ? QString("---") : a->text());
    return titles;
}

class Controller : public ::testing::Test {
protected:
    TempDir tmp;
    ScopedHome scopedHome{tmp.path()};
    LcRecorder lc;
    std::set<std::string> running;
    std::vector<QStringList> alerts; // message, informative, buttons...
    int alertAnswer = 1;
    std::vector<std::string> opened;
    std::vector<std::string> launched;
    int terminated = 0;
    int settingsOpened = 0;
    std::unique_ptr<D> d;

    void SetUp() override {
        makeFolders(logsFolder());
        makeFolders(stateFolder());
        d = std::make_unique<D>();
        d->setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
        d->lcRunner = lc.runner();
        d->isRunning = [this](const std::string& p) { return running.count(p) > 0; };
        d->launchApp = [this](const std::string& p) -> std::optional<std::string> {
            launched.push_back(p);
            return std::string("No such file");
        };
        d->openURL = [this](const std::string& url) { opened.push_back(url); };
        d->showAlert = [this](const QString& m, const QString& i, const QStringList& b,
                              std::function<void(int)> done) {
            alerts.push_back(QStringList{m, i} + b);
            if (done)
                done(alertAnswer);
        };
        d->terminate = [this] { ++terminated; };
        d->showSettingsWindow = [this] { ++settingsOpened; };
        d->arguments = {"kestrune"};
    }

    void TearDown() override {
        QThreadPool::globalInstance()->waitForDone();
        d.reset();
    }

    void writeApps(const std::string& text) { tmp.write(relative(dataPath()), text); }
    void writeProblems(const std::string& text) { tmp.write(relative(problemsPath()), text); }
    std::string relative(const std::string& path) { return path.substr(tmp.path().size() + 1); }
    std::string tooltip() { return d->item->toolTip().toStdString(); }
};

const std::string enabledApp = "1\tMail\t/Apps/Mail.app\tapp\n";

} // namespace

TEST_F(Controller, StartUpChecksTheAgentAndBootstrapsOnlyWhenNotLoaded) {
    writeApps(enabledApp);
    d->applicationDidFinishLaunching();
    auto calls = lc.taken();
    // ensureAgent's print, then the first refresh's print: no bootstrap.
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (Args{"print", serviceTarget()}));
    EXPECT_EQ(calls[1], (Args{"print", serviceTarget()}));
    EXPECT_EQ(tooltip(), "Kestrune: ON");
    EXPECT_EQ(d->renderer.state(), Kestrune::IconState::healthy);

    D second;
    second.setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
    second.lcRunner = lc.runner();
    second.arguments = {"kestrune", "--open-settings=1"};
    int opened = 0;
    second.showSettingsWindow = [&] { ++opened; };
    lc.printAnswer = 113;
    second.applicationDidFinishLaunching();
    calls = lc.taken();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], (Args{"bootstrap", domainTarget(), agentPlistPath()}));
    EXPECT_EQ(agentPlistPath(), tmp.path() + "/Library/LaunchAgents/org.velto.kestrune.plist");
    // Not loaded: off, whatever is enabled; an argument that merely starts with the
    // option does not open Settings.
    EXPECT_EQ(second.item->toolTip(), "Kestrune: OFF");
    EXPECT_EQ(opened, 0);

    d->arguments = {"kestrune", "--open-settings"};
    d->applicationDidFinishLaunching();
    EXPECT_EQ(settingsOpened, 1);
}

TEST_F(Controller, SeedListFillsOnlyAnEmptyWatchList) {
    tmp.write(relative(seedPath()), "1\tSeed\t/Apps/Seed.app\tapp\n");
    writeApps("");
    d->applicationDidFinishLaunching();
    ASSERT_EQ(d->apps.size(), 1u);
    EXPECT_EQ(readAll(dataPath()), "1\tSeed\t/Apps/Seed.app\tapp\n");

    writeApps(enabledApp);
    D other;
    other.setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
    other.lcRunner = lc.runner();
    other.applicationDidFinishLaunching();
    ASSERT_EQ(other.apps.size(), 1u);
    EXPECT_EQ(other.apps[0].name, "Mail");
}

TEST_F(Controller, MasterOffRunsNoAgentCallsAndShowsOff) {
    writeApps(enabledApp);
    writeProblems("Mail\trelaunch-failed\tstuck\t0\tgone\n");
    tmp.write(relative(stateFolder() + "/svc_web_.next"), "1\n");
    saveMaster(false);
    d->applicationDidFinishLaunching();
    lc.taken(); // the start-up check of the agent runs regardless
    d->refresh();
    EXPECT_TRUE(lc.taken().empty());
    EXPECT_EQ(tooltip(), "Kestrune: OFF");
    EXPECT_EQ(d->renderer.state(), Kestrune::IconState::off);
    EXPECT_TRUE(d->kickedRetries.empty());
    EXPECT_EQ(menuTitles(d->statusMenu()).size(), 4);

    // Turning the master switch on again through the command saves, logs and
    // refreshes at once.
    d->masterToggled(true);
    EXPECT_EQ(readAll(masterPath()), "on\n");
    EXPECT_NE(readAll(logPath()).find("[Kestrune] keep apps alive: on (from settings)\n"),
              std::string::npos);
    EXPECT_EQ(tooltip(), "Kestrune: problems \u2013 Mail");
    d->masterToggled(false);
    EXPECT_EQ(readAll(masterPath()), "off\n");
    EXPECT_EQ(tooltip(), "Kestrune: OFF");
}

TEST_F(Controller, DueRetriesCauseOneKickstartPerRefresh) {
    writeApps(enabledApp);
    d->apps = load();
    tmp.write(relative(stateFolder() + "/svc_web_.next"), "100\n");
    tmp.write(relative(stateFolder() + "/svc_db_.next"), "200\n");
    d->refresh();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(lc.count("kickstart"), 1);
    EXPECT_EQ(d->kickedRetries,
              (std::map<std::string, std::int64_t>{{"svc_db_", 200}, {"svc_web_", 100}}));
    for (const auto& c : lc.taken()) {
        if (c[0] == "kickstart") {
            EXPECT_EQ(c, (Args{"kickstart", serviceTarget()}));
        }
    }

    d->refresh(); // nothing new
    tmp.write(relative(stateFolder() + "/svc_web_.next"), "300\n");
    d->refresh(); // a new deadline is handed over once more
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(lc.count("kickstart"), 1);
    EXPECT_EQ(d->kickedRetries["svc_web_"], 300);
}

TEST_F(Controller, TooltipsNameProblemsAndSlowStarts) {
    writeApps(enabledApp + "1\tweb\t" + tmp.path() + "/web\tservice\tlaunch.sh\n");
    writeProblems("Mail\tnot-running-relaunching\trestarting\t0\t\n"
                  "web\tretrying\tstuck\t0\tNo reply within 5s\n");
    d->applicationDidFinishLaunching();
    EXPECT_EQ(tooltip(), "Kestrune: problems \u2013 Mail, web");
    EXPECT_EQ(d->renderer.state(), Kestrune::IconState::orange);
    QStringList titles = menuTitles(d->statusMenu());
    ASSERT_EQ(titles.size(), 7);
    EXPECT_EQ(titles[0], QString::fromUtf8("Mail quit \u2013 restarting\u2026"));
    EXPECT_EQ(titles[1], QString::fromUtf8("web is down \u2013 No reply within 5s"));

    // A start marker long ago with the problem still present: red, naming the entry.
    logTo(logPath(), "web", "ACTION: not running -> open");
    std::string old = readAll(logPath());
    tmp.write(relative(logPath()), "2001-01-01 10:00:00" + old.substr(19));
    d->refresh();
    EXPECT_EQ(tooltip(), "Kestrune: taking longer than expected to start \u2013 web");
    EXPECT_EQ(d->renderer.state(), Kestrune::IconState::red);

    // A running app's restarting problem is stale and dropped.
    running.insert("/Apps/Mail.app");
    EXPECT_EQ(d->currentProblems().size(), 1u);
}

TEST_F(Controller, MenuIsNotChangedWhileOpenAndCatchesUpOnClose) {
    writeApps(enabledApp);
    d->apps = load();
    d->applicationDidFinishLaunching();
    QMenu* first = d->statusMenu();
    first->popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return first->isVisible(); }));
    EXPECT_TRUE(d->menuOpen);
    EXPECT_TRUE(d->renderer.highlighted());

    writeProblems("Mail\tnot-running-relaunching\trestarting\t0\t\n");
    d->refresh();
    EXPECT_EQ(d->statusMenu(), first);
    EXPECT_TRUE(d->problems.empty());
    EXPECT_EQ(tooltip(), "Kestrune: problems \u2013 Mail"); // the icon still catches up

    first->hide(); // closing refreshes at once and updates the one menu in place
    EXPECT_FALSE(d->menuOpen);
    ASSERT_EQ(d->statusMenu(), first);
    EXPECT_EQ(menuTitles(d->statusMenu()).size(), 6);
    EXPECT_EQ(d->problems.size(), 1u);
    EXPECT_EQ(d->item->contextMenu(), d->statusMenu());

    // A tray host that draws the menu itself reports the opening but never the closing:
    // the menu widget is not on screen, so the next refresh counts it as closed.
    QMenu* second = d->statusMenu();
    emit second->aboutToShow();
    EXPECT_TRUE(d->menuOpen);
    writeProblems("");
    d->refresh();
    EXPECT_FALSE(d->menuOpen);
    EXPECT_FALSE(d->renderer.highlighted());
    EXPECT_EQ(d->statusMenu(), second);
    EXPECT_EQ(menuTitles(d->statusMenu()).size(), 4);
}

TEST_F(Controller, MenuCommandsReachTheController) {
    d->applicationDidFinishLaunching();
    lc.taken();
    int feedback = 0;
    d->showFeedbackForm = [&] { ++feedback; };
    auto actions = d->statusMenu()->actions();
    ASSERT_EQ(actions.size(), 4);
    actions[0]->trigger();
    actions[1]->trigger();
    EXPECT_EQ(feedback, 1);
    EXPECT_EQ(settingsOpened, 1);
    KestruneCore::feedbackOpener(); // the Settings footer's way in
    EXPECT_EQ(feedback, 2);

    actions[3]->trigger(); // quit everything: the agent goes first
    EXPECT_EQ(lc.taken(), (std::vector<Args>{{"bootout", serviceTarget()}}));
    EXPECT_NE(readAll(logPath()).find("[Kestrune] stopped from menu\n"), std::string::npos);
    EXPECT_EQ(terminated, 1);
}

TEST_F(Controller, AddingAppsAndServices) {
    writeApps(enabledApp);
    d->apps = load();
    int reloads = 0;
    d->sectionsReloader = [&] { ++reloads; };
    d->chooseApps = [] {
        return QStringList{"/Apps/Notes.app", "/Apps/Mail.app",
                           "/usr/share/applications/x.desktop"};
    };
    d->addApp();
    ASSERT_EQ(d->apps.size(), 3u);
    EXPECT_EQ(d->apps[1].name, "Notes");
    EXPECT_EQ(d->apps[2].name, "x");
    EXPECT_EQ(load().size(), 3u);
    EXPECT_EQ(reloads, 1); // changed() once
    std::string logText = readAll(logPath());
    EXPECT_NE(logText.find("[Notes] added to keep-alive list"), std::string::npos);
    EXPECT_EQ(logText.find("[Mail] added"), std::string::npos);

    std::string folder = tmp.mkdir("shop");
    d->chooseServiceFolder = [&] { return QString::fromStdString(folder); };
    d->addService();
    ASSERT_EQ(d->apps.size(), 4u);
    EXPECT_EQ(d->apps[3].method, "unknown");
    EXPECT_NE(readAll(logPath()).find("[shop] service added to keep-alive list (start method: "
                                      "unknown)"),
              std::string::npos);
    ASSERT_EQ(alerts.size(), 1u);
    auto [message, informative] = unknownMethodSheet("shop");
    EXPECT_EQ(alerts[0], (QStringList{QString::fromStdString(message),
                                      QString::fromStdString(informative), "OK"}));

    d->addService(); // already listed: nothing added, nothing said
    EXPECT_EQ(d->apps.size(), 4u);
    EXPECT_EQ(alerts.size(), 1u);
}

TEST_F(Controller, SwitchingOnLaunchesOrKicksOffTheMainThread) {
    writeApps("1\tNotes\t/Apps/Notes.app\tapp\n1\tweb\t" + tmp.path() +
              "/web\tservice\tlaunch.sh\n");
    d->apps = load();
    d->refresh();
    lc.taken();

    // Already running: nothing to start, no mark.
    running.insert("/Apps/Notes.app");
    d->switchedOn(d->apps[0]);
    EXPECT_TRUE(launched.empty());
    EXPECT_TRUE(d->startingSince.empty());

    running.clear();
    d->switchedOn(d->apps[0]);
    EXPECT_TRUE(d->starting(d->apps[0]));
    ASSERT_TRUE(
        waitFor([&] { return readAll(logPath()).find("launch failed") != std::string::npos; }));
    EXPECT_EQ(launched, (std::vector<std::string>{"/Apps/Notes.app"}));
    EXPECT_NE(readAll(logPath()).find("[Notes] ACTION: switched on in Settings -> launching now\n"),
              std::string::npos);
    EXPECT_NE(readAll(logPath()).find("[Notes] launch failed: No such file\n"), std::string::npos);
    running.insert("/Apps/Notes.app");
    EXPECT_FALSE(d->starting(d->apps[0])); // healthy now: the mark goes
    EXPECT_EQ(d->startingSince.count("/Apps/Notes.app"), 0u);

    d->switchedOn(d->apps[1]);
    ASSERT_TRUE(waitFor([&] { return lc.count("kickstart") == 1; }));
    EXPECT_TRUE(fileExists(stateFolder() + "/svc_web_.toggled"));
    // The follow-up refresh three seconds later asks the agent again.
    lc.taken();
    ASSERT_TRUE(waitFor([&] { return lc.count("print") > 0; }));
}

TEST_F(Controller, DetailsOfferTheServiceLog) {
    AppEntry web{"web", tmp.path() + "/web", true, EntryType::service, "launch.sh"};
    alertAnswer = 0;
    d->showDetails(web);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], (QStringList{"web", "No check recorded yet.", "Open Service Log", "OK"}));
    EXPECT_EQ(opened, (std::vector<std::string>{fileURL(serviceLogPath("web"))}));

    tmp.write(relative(startupTimesPath()),
              "web\ta\tb\t5\tuser\thealthy\nweb\tc\td\t9\tuser\thealthy\n");
    alertAnswer = 1;
    d->showDetails(web);
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1][1].toStdString(),
              "No check recorded yet.\n\nRecent starts (usually 7s, "
              "slowest 9s):\nc  9s  user  healthy\na  5s  user  healthy");
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(Controller, AppSubtitleUsesTheLastActionLine) {
    AppEntry mail{"Mail", "/Apps/Mail.app", true, EntryType::app, ""};
    tmp.write(relative(logPath()), "2025-03-14 09:26:53 [Mail] ACTION: not running -> open\n"
                                   "2025-03-14 10:01:00 [Mail] started: ok\n");
    EXPECT_EQ(d->subtitle(mail), "Not running \u00b7 Last relaunched 09:26");
    running.insert("/Apps/Mail.app");
    mail.enabled = false;
    EXPECT_EQ(d->subtitle(mail), "Running \u00b7 Last relaunched 09:26 \u00b7 Off");
}

TEST_F(Controller, QuittingWhileAKickstartRunsEndsCleanly) {
    writeApps("1\tweb\t" + tmp.path() + "/web\tservice\tlaunch.sh\n");
    tmp.write(relative(stateFolder() + "/svc_web_.next"), "1\n");
    std::atomic<bool> kicked{false};
    auto record = lc.runner();
    d->lcRunner = [&, record](const Args& args) {
        if (args[0] == "kickstart") {
            QThread::msleep(200); // still running when the program quits
            kicked = true;
        }
        return record(args);
    };
    d->applicationDidFinishLaunching();
    d->switchedOn(d->apps[0]); // a second background job with a follow-up timer
    d->quitAll();
    EXPECT_EQ(terminated, 1);
    d.reset(); // waits for the background work; nothing hops back to a dead controller
    EXPECT_TRUE(kicked);
    QCoreApplication::processEvents();
}

TEST_F(Controller, ShortcutsActWhileTheStatusMenuIsOpen) {
    d->applicationDidFinishLaunching();
    struct Case {
        Qt::Key key;
        int settings, quits;
    };
    for (auto [key, settings, quits] : {Case{Qt::Key_Comma, 1, 0}, Case{Qt::Key_Q, 1, 1}}) {
        QMenu* menu = d->statusMenu();
        menu->popup(QPoint(10, 10));
        ASSERT_TRUE(waitFor([&] { return menu->isVisible() && menu->windowHandle(); }));
        // Key presses as the window system delivers them, through the shortcut map.
        QTest::keyClick(menu->windowHandle(), key, Qt::ControlModifier);
        ASSERT_TRUE(waitFor([&] { return !menu->isVisible(); }));
        EXPECT_EQ(settingsOpened, settings);
        EXPECT_EQ(terminated, quits);
    }
    EXPECT_EQ(lc.count("bootout"), 1);
}

// With no tray some time after start, Settings opens once with the notice, which
// goes when a tray comes up.
TEST_F(Controller, NoTrayOpensSettingsOnceWithTheNotice) {
    bool tray = false;
    d->trayAvailable = [&] { return tray; };
    d->showSettingsWindow = nullptr;
    d->applicationDidFinishLaunching();
    d->checkTray();
    ASSERT_TRUE(d->settingsVisible());
    auto* notice = d->win->findChild<QLabel*>("trayNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->isVisibleTo(d->win));
    EXPECT_TRUE(notice->text().contains("AppIndicator"));

    d->win->close();
    d->checkTray();
    EXPECT_FALSE(d->settingsVisible());

    tray = true;
    d->refresh();
    d->openSettings();
    EXPECT_FALSE(notice->isVisibleTo(d->win));
}
