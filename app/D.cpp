#include "app/D.h"

#include "core/FileIO.h"
#include "discovery/Discovery.h"
#include "feedback/qt/FeedbackActions.h"
#include "feedback/qt/FeedbackWindow.h"
#include "health/AppLiveness.h"
#include "health/Backoff.h"
#include "health/ServiceDetails.h"
#include "health/SlowStarts.h"
#include "health/StartRecords.h"
#include "health/StatusSummary.h"
#include "health/StemClash.h"
#include "icons/qt/ServiceIcon.h"
#include "platform/AgentBackend.h"
#include "platform/AppLauncher.h"
#include "platform/BundleInfo.h"
#include "platform/InstalledApps.h"
#include "platform/RunningApps.h"
#include "platform/qt/UserManager.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"
#include "services/ServiceConfig.h"
#include "services/ServiceFolder.h"
#include "settings/AppPicker.h"
#include "settings/ListSection.h"
#include "settings/SettingsContent.h"
#include "statusitem/DesktopNotifications.h"
#include "statusitem/PanelAppearance.h"
#include "statusitem/StatusIconTheme.h"
#include "statusitem/StatusMenu.h"
#include "statusitem/StatusNotifierItem.h"
#include "statusitem/TrayHost.h"
#include "statusitem/TrayHostTraits.h"
#include "ui/Threads.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QEvent>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QUrl>

#include <algorithm>
#include <set>

namespace Kestrune {

using namespace KestruneCore;

namespace {

constexpr int refreshIntervalMs = 10'000;
constexpr int switchOnFollowUpMs = 3'000;
// How long a tray host may take to come up with the session before we speak up.
constexpr int noTrayGraceMs = 5'000;

// The real agent call. Under the user manager a starting engine inherits the manager's
// environment, not ours: hand it the session's display and bus first, or every app
// the engine opens fails to reach the display.
int agentCall(const std::vector<std::string>& args) {
    if (!args.empty() && (args[0] == "bootstrap" || args[0] == "kickstart") &&
        agentBackend().kind() == AgentBackendKind::systemd)
        setManagerEnvironment(QDBusConnection::sessionBus(),
                              sessionAssignments(QProcessEnvironment::systemEnvironment()));
    return KestruneCore::lc(args);
}

std::int64_t epochSeconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Where a tray host can still come up after start (an X or Wayland session); on
// other platforms the icon has nothing to wait for.
bool hostCanComeLater() {
    QString platform = QGuiApplication::platformName();
    return platform == "xcb" || platform.startsWith("wayland");
}

QString defaultChooseServiceFolder() {
    QFileDialog dialog(nullptr,
                       "Choose a project folder (scripts/launch.sh or package.json is used "
                       "to start it)");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, "Add Service");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

} // namespace

D::D(QObject* parent) : QObject(parent) {
    trayHost_ = std::make_unique<TrayHost>();
    // Where no tray host can come up (no X or Wayland session) the toolkit's icon is
    // all there is. Elsewhere the icon waits for a host (see placeIcon).
    if (!hostCanComeLater())
        makeItem();
    master = loadMaster();
    found = Discovery::loadCache();

    lcRunner = agentCall;
    launchApp = [](const std::string& path) -> std::optional<std::string> {
        SpawnResult started = openApplication(path);
        if (started)
            return std::nullopt;
        return started.error.empty() ? std::string("could not be opened") : started.error;
    };
    openURL = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    };
    chooseApps = [this] {
        AppPicker picker(installedApps(), win);
        return picker.exec() == QDialog::Accepted ? picker.chosen() : QStringList();
    };
    chooseServiceFolder = defaultChooseServiceFolder;
    showAlert = [this](const QString& message, const QString& informative,
                       const QStringList& buttons, std::function<void(int)> done) {
        auto* box = new QMessageBox(win ? win.data() : nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setText(message);
        box->setInformativeText(informative);
        QList<QAbstractButton*> made;
        for (int i = 0; i < buttons.size(); ++i) {
            auto* b = box->addButton(buttons[i],
                                     i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
            if (i == 0)
                box->setDefaultButton(b);
            made.push_back(b);
        }
        QObject::connect(box, &QMessageBox::finished, box, [box, made, done](int) {
            if (done)
                done(int(made.indexOf(box->clickedButton())));
        });
        if (win) {
            // A sheet on the Settings window.
            box->setWindowModality(Qt::WindowModal);
            box->open();
        } else {
            box->exec();
        }
    };
    terminate = [] { QCoreApplication::quit(); };
    menuStillShown = [this] { return menu_ && menu_->isVisible(); };
    trayAvailable = [this] { return trayHost_->present(); };
    arguments = QCoreApplication::arguments();

    timer_.setInterval(refreshIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &D::refresh);
}

D::~D() {
    // Kickstarts and probes still running hop back to us; let them finish first.
    QThreadPool::globalInstance()->waitForDone();
    if (item)
        item->setContextMenu(nullptr);
    statusItem_.reset();
    delete menu_;
    // The window holds the page, the sections' cards and the master switch.
    delete win.data();
    if (masterSw_ && !masterSw_->parent())
        delete masterSw_.data();
}

Notifier& D::notifier() {
    if (!notifier_) {
        QPointer<D> self(this);
        notifier_ = std::make_unique<Notifier>([self](const std::string& t, const std::string& b) {
            if (self)
                self->notify(t, b);
        });
    }
    return *notifier_;
}

std::string D::lab() const {
    return serviceTarget();
}

int D::lc(const std::vector<std::string>& args) const {
    return lcRunner ? lcRunner(args) : -1;
}

bool D::usesRealAgent() const {
    auto* call = lcRunner.target<int (*)(const std::vector<std::string>&)>();
    return call && *call == agentCall;
}

bool D::agentLoaded() const {
    // The user manager's last word, when it has spoken; "print" only where it cannot
    // be reached over the bus.
    if (engineState_ && !engineState_->state().isEmpty())
        return engineState_->active();
    return lc({"print", lab()}) == 0;
}

void D::ensureAgent() {
    if (lc({"print", lab()}) == 0)
        return;
    lc({"bootstrap", domainTarget(), agentPlistPath()});
}

bool D::settingsVisible() const {
    return win && win->isVisible();
}

void D::applicationDidFinishLaunching() {
    KestruneCore::liveIconDir = liveIconFolder();
    KestruneCore::feedbackOpener = [self = QPointer<D>(this)] {
        if (self)
            self->openFeedback();
    };
    if (!mainMenu_)
        mainMenu_.reset(makeMainMenu());

    apps = load(dataPath());
    if (apps.empty()) {
        WatchList seed = load(seedPath());
        editApps([&seed](const WatchList& fresh) -> std::optional<WatchList> {
            WatchList seeded = seededIfEmpty(fresh, seed);
            if (seeded == fresh)
                return std::nullopt;
            return seeded;
        });
    }
    watchListFiles();

    installMenu(buildMenu(this, {}, {}));

    renderer.setOnDraw([this](const std::optional<StatusPicture>& p) { showPicture(p); });
    connect(trayHost_.get(), &TrayHost::appeared, this, &D::refresh);
    connect(trayHost_.get(), &TrayHost::statusNotifierWatcherChanged, this, [this] {
        // A watcher that took the name from another has not heard of the item.
        if (statusItem_ && trayHost_->statusNotifierWatcher())
            statusItem_->registerWithWatcher();
        placeIcon();
    });
    qApp->installEventFilter(this);
    panel_ = std::make_unique<PanelAppearance>();
    connect(panel_.get(), &PanelAppearance::changed, this,
            [this] { renderer.appearanceDidChange(panelAppearance()); });
    connect(trayHost_.get(), &TrayHost::programChanged, this, [this] {
        // The host tells its stock panel's look and whether it takes our icon names.
        panel_->setTrayHost(trayHost_->program());
        renderer.draw();
    });
    panel_->setTrayHost(trayHost_->program());
    renderer.appearanceDidChange(panelAppearance());
    placeIcon();
    if (item && !statusItem_)
        item->show();

    setupNotifications();
    if (usesRealAgent() && agentBackend().kind() == AgentBackendKind::systemd) {
        engineState_ = std::make_unique<UnitActiveState>(QString::fromUtf8(engineUnit));
        connect(engineState_.get(), &UnitActiveState::changed, this, &D::refresh);
    }
    ensureAgent();
    refresh();
    discovery().start();
    if (arguments.contains("--open-settings"))
        openSettings();
    timer_.start();
    QTimer::singleShot(noTrayGraceMs, this, &D::checkTray);
}

bool D::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        renderer.appearanceDidChange(panelAppearance());
    return QObject::eventFilter(watched, event);
}

void D::showPicture(const std::optional<StatusPicture>& picture) {
    // The tray slot is square and of the panel's size: the same state drawn for it, so
    // nothing is scaled and the paw stays put when the badge comes and goes.
    QIcon icon = picture ? trayIcon(renderer.state(), renderer.lastAppearance()) : QIcon();
    if (item)
        item->setIcon(icon);
    if (statusItem_) {
        // Hosts that recolour themed icons take the name and draw it in their panel's
        // colours; the rest are given no name, so they draw the pictures, which follow
        // the panel's look as far as it is known.
        bool named = picture && hostRecoloursSymbolicIcons(trayHost_->program());
        statusItem_->setIcon(named ? statusIconName(renderer.state()) : QString(), icon);
    }
}

Appearance D::panelAppearance() const {
    return panel_ ? panel_->current() : appearanceOf(qApp->palette());
}

void D::installMenu(QMenu* menu) {
    QMenu* old = menu_;
    menu_ = menu;
    connect(menu, &QMenu::aboutToShow, this, &D::menuWillOpen);
    connect(menu, &QMenu::aboutToHide, this, [this, menu] {
        // A menu replaced while it was on screen says nothing about the current one.
        if (menu == menu_)
            menuDidClose();
    });
    if (item)
        item->setContextMenu(menu);
    if (statusItem_) {
        // The exported menu follows one menu for its whole life.
        statusItem_.reset();
        placeIcon();
    }
    if (old)
        old->deleteLater();
}

void D::makeItem() {
    if (item)
        return;
    item = new QSystemTrayIcon(this);
    connect(item, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        // A left click opens the menu too, as on panels where the icon is a button.
        if (r == QSystemTrayIcon::Trigger)
            showMenuAt({});
    });
    if (!menu_)
        return; // launching sets up the rest
    // The one menu, exported as it is, so the host draws what the program shows.
    item->setContextMenu(menu_);
    item->setToolTip(toolTip_);
    renderer.draw();
    item->show();
}

void D::placeIcon() {
    if (!menu_ || !hostCanComeLater())
        return;
    if (trayHost_->statusNotifierWatcher()) {
        if (!statusItem_) {
            statusItem_ = std::make_unique<StatusNotifierItem>(menu_, statusIconThemePath());
            connect(statusItem_.get(), &StatusNotifierItem::menuRequested, this, &D::showMenuAt);
            statusItem_->setToolTip(toolTip_, {});
            renderer.draw();
        }
        // The embedding tray's icon, if it was first, gives way to ours.
        if (item)
            item->hide();
        return;
    }
    statusItem_.reset();
    if (trayHost_->xembedManager()) {
        // The toolkit asked with no watcher there, so its icon embeds for good.
        makeItem();
        item->show();
    }
}

void D::showMenuAt(QPoint at) {
    // Wayland tells a client neither the pointer's place nor lets it place a popup on
    // its own, so there a click opens Settings and the host shows the menu.
    if (QGuiApplication::platformName().startsWith("wayland")) {
        openSettings();
        return;
    }
    if (menu_ && !menu_->isVisible())
        menu_->popup(at.isNull() ? QCursor::pos() : at);
}

void D::checkTray() {
    if (trayChecked_)
        return;
    trayChecked_ = true;
    trayMissing_ = trayAvailable && !trayAvailable();
    if (trayMissing_)
        openSettings();
}

void D::menuWillOpen() {
    menuOpen = true;
    renderer.setHighlighted(true);
}

void D::menuDidClose() {
    menuOpen = false;
    renderer.setHighlighted(false);
    refresh();
}

std::function<bool(const std::string&)> D::runningPredicate() const {
    if (isRunning)
        return isRunning;
    auto snapshot = std::make_shared<std::optional<std::vector<RunningApp>>>();
    return [snapshot](const std::string& path) {
        // A .desktop entry also runs as the program of its Exec line, which only the
        // full lookup knows.
        if (isDesktopFile(path))
            return appIsRunning(path);
        if (!*snapshot)
            *snapshot = runningApplications();
        for (const auto& app : **snapshot)
            for (const auto& bundle : app.bundlePaths)
                if (bundle == path)
                    return true;
        return false;
    };
}

std::vector<Problem> D::currentProblems() const {
    return liveProblems(loadProblems(problemsPath()), apps, runningPredicate());
}

void D::refresh() {
    if (menuOpen && !(menuStillShown && menuStillShown())) {
        // The host never reported the menu closing; it is not on screen any more.
        menuOpen = false;
        renderer.setHighlighted(false);
    }

    master = loadMaster();
    auto now = Clock::now();

    if (master) {
        auto due = dueRetries(stateFolder(), epochSeconds(now), kickedRetries);
        if (!due.empty()) {
            for (const auto& [key, deadline] : due)
                kickedRetries[key] = deadline;
            auto runner = lcRunner;
            std::vector<std::string> args{"kickstart", lab()};
            runInBackground([runner, args] {
                if (runner)
                    runner(args);
            });
        }
    }

    std::vector<Problem> current = master ? currentProblems() : std::vector<Problem>{};
    std::vector<std::string> slow =
        master ? slowStarts(apps, current, now) : std::vector<std::string>{};
    bool loaded = master && agentLoaded();
    bool anyEnabled = false;
    for (const auto& e : apps)
        anyEnabled = anyEnabled || e.enabled;

    IconState state = iconState(current, loaded, anyEnabled, slow);
    renderer.setState(state);
    Appearance appearance = panelAppearance();
    if (appearance != renderer.lastAppearance())
        renderer.appearanceDidChange(appearance);

    bool differ = current != problems;
    if (differ && !menuOpen) {
        std::set<std::string> services;
        for (const auto& e : apps)
            if (e.type == EntryType::service)
                services.insert(e.name);
        showProblems(menu_, current, services);
    }
    notifier().update(current);
    if (differ && settingsVisible())
        reloadSections();
    probeUnwatched();
    if (!menuOpen)
        problems = current;

    toolTip_ = QString::fromStdString(statusTooltip(state, current, slow));
    if (item)
        item->setToolTip(toolTip_);
    if (statusItem_)
        statusItem_->setToolTip(toolTip_, {});
    // A tray that came up later gets the icon now; the notice goes.
    if (((!item && !statusItem_) || trayMissing_) && trayAvailable && trayAvailable()) {
        if (hostCanComeLater())
            placeIcon();
        else
            makeItem();
        trayMissing_ = false;
        if (content_)
            content_->trayNotice->hide();
    }
}

void D::setupNotifications() {
    if (!notifications_)
        notifications_ = std::make_unique<DesktopNotifications>();
    QPointer<D> self(this);
    notifications_->requestAuthorization([self](AuthorizationStatus status) {
        writePermissionMarker(permissionWord(status));
        if (self)
            self->notifyAllowed = status == AuthorizationStatus::authorized ||
                                  status == AuthorizationStatus::provisional;
    });
}

void D::setNotificationBus(const QDBusConnection& bus) {
    notifications_ = std::make_unique<DesktopNotifications>(bus);
}

void D::notify(const std::string& title, const std::string& body) {
    if (!notifyAllowed || !notifications_)
        return;
    notifications_->post(title, body);
}

// Every edit has already been saved through editApps(), on the freshest copy of the
// file; what is left is to show it.
void D::changed() {
    reloadSections();
    refresh();
}

KestruneCore::WatchList D::foundRows() const {
    return Discovery::suggestions(found, apps);
}

LiveDiscovery& D::discovery() {
    if (!discovery_) {
        discovery_ = std::make_unique<LiveDiscovery>([self = QPointer<D>(this)](const auto& f) {
            if (self)
                self->discovered(f);
        });
    }
    return *discovery_;
}

void D::discovered(const std::vector<std::string>& folders) {
    Discovery::saveCache(folders);
    if (folders == found)
        return;
    found = folders;
    reloadSections();
}

void D::rescanServices() {
    KestruneCore::clearIconCache();
    forgetRowIcons();
    discovery().refresh();
}

std::string D::subtitle(const AppEntry& entry) const {
    bool running = runningPredicate()(entry.path);
    return appRowSubtitle(entry, running, master ? currentProblems() : std::vector<Problem>{});
}

void D::probeUnwatched() {
    if (probing || !settingsVisible())
        return;
    std::vector<std::pair<std::string, ServiceConfig>> pairs;
    for (const auto& e : apps) {
        if (e.type != EntryType::service || (e.enabled && master))
            continue;
        if (auto config = ServiceConfig::load(e.path).value())
            pairs.emplace_back(e.path, *config);
    }
    if (pairs.empty())
        return;
    probing = true;
    QPointer<D> self(this);
    runInBackground([self, pairs] {
        std::map<std::string, bool> results;
        for (const auto& [path, config] : pairs) {
            if (auto healthy = probeHealth(config))
                results[path] = *healthy;
        }
        if (!self)
            return;
        runOnMain(self, [self, results] {
            self->probing = false;
            std::map<std::string, bool> before;
            for (const auto& [path, healthy] : results) {
                auto it = self->observedHealth.find(path);
                if (it != self->observedHealth.end())
                    before[path] = it->second;
            }
            if (before == results)
                return;
            for (const auto& [path, healthy] : results)
                self->observedHealth[path] = healthy;
            self->reloadSections();
        });
    });
}

void D::switchedOn(const AppEntry& entry) {
    resetBackoff(entry, stateFolder());
    bool running = entry.type == EntryType::app && runningPredicate()(entry.path);
    SwitchOnAction action = switchOnAction(entry, master, running);
    if (action == SwitchOnAction::none) {
        reloadSections();
        refresh();
        return;
    }
    startingSince[entry.path] = Clock::now();
    reloadSections();

    QPointer<D> self(this);
    auto launcher = launchApp;
    auto runner = lcRunner;
    std::vector<std::string> kick{"kickstart", lab()};
    runInBackground([self, action, entry, launcher, runner, kick] {
        if (action == SwitchOnAction::launchApp) {
            log(entry.name, "ACTION: switched on in Settings -> launching now");
            if (auto error = launcher ? launcher(entry.path) : std::optional<std::string>())
                log(entry.name, "launch failed: " + *error);
        } else {
            log(entry.name, "switched on in Settings -> checking now (starts it if down)");
            if (runner)
                runner(kick);
        }
        if (!self)
            return;
        runOnMain(self, [self] {
            QTimer::singleShot(switchOnFollowUpMs, self, [self] {
                self->refresh();
                self->reloadSections();
            });
        });
    });
}

bool D::starting(const AppEntry& entry) {
    auto mark = startingSince.find(entry.path);
    if (mark == startingSince.end())
        return false;
    bool healthy = false;
    if (entry.type == EntryType::app) {
        healthy = runningPredicate()(entry.path);
    } else if (auto check = ServiceCheck::load(serviceCheckPath(entry.name))) {
        healthy = check->time >= mark->second - std::chrono::seconds(1) && check->cause.empty();
    }
    if (isStillStarting(mark->second, Clock::now(), healthy))
        return true;
    startingSince.erase(mark);
    return false;
}

void D::showDetails(const AppEntry& entry) {
    std::string text = serviceDetailsText(entry);
    QStringList buttons;
    for (const auto& title : detailsButtons)
        buttons << QString::fromStdString(title);
    QPointer<D> self(this);
    std::string logFile = serviceLogPath(entry.name);
    showAlert(QString::fromStdString(entry.name), QString::fromStdString(text), buttons,
              [self, logFile](int button) {
                  if (self && button == 0 && self->openURL)
                      self->openURL(fileURL(logFile));
              });
}

FeedbackWindow& D::feedback() {
    if (!feedback_)
        feedback_ = std::make_unique<FeedbackWindow>();
    return *feedback_;
}

void D::openFeedback() {
    if (showFeedbackForm)
        showFeedbackForm();
    else
        feedback().show();
}

void D::masterToggled(bool on) {
    if (editMaster(on).empty()) {
        master = on;
        log("Kestrune",
            on ? "keep apps alive: on (from settings)" : "keep apps alive: off (from settings)");
    } else {
        master = loadMaster(); // not saved: show what holds
    }
    showMasterState();
    reloadSections();
    refresh();
}

void D::addApp() {
    QStringList chosen = chooseApps ? chooseApps() : QStringList();
    if (chosen.isEmpty())
        return;
    std::vector<std::string> added;
    std::string refusal;
    auto outcome = editApps([&](const WatchList& fresh) -> std::optional<WatchList> {
        added.clear();
        refusal.clear();
        WatchList next = fresh;
        for (const QString& q : chosen) {
            std::string path = q.toStdString();
            bool listed = std::any_of(next.begin(), next.end(),
                                      [&](const AppEntry& e) { return e.path == path; });
            if (listed)
                continue;
            WatchList grown = adding(path, next);
            if (grown.size() > next.size()) {
                // An installed app goes by the name the application menu shows,
                // which is also the name its state files are checked under.
                if (auto name = desktopEntryName(path))
                    grown.back().name = *name;
                if (auto other = stemTakenBy(next, grown.back())) {
                    if (refusal.empty())
                        refusal = stemClashRefusal(grown.back(), *other);
                    continue;
                }
                added.push_back(grown.back().name);
            }
            next = std::move(grown);
        }
        if (added.empty())
            return std::nullopt;
        return next;
    });
    if (outcome.saved)
        for (const auto& name : added)
            log(name, "added to keep-alive list");
    refuse(refusal);
    changed();
}

void D::refuse(const std::string& refusal) {
    if (!refusal.empty() && showAlert)
        showAlert(QString::fromStdString(refusal), {}, {"OK"}, nullptr);
}

void D::addService() {
    QString chosen = chooseServiceFolder ? chooseServiceFolder() : QString();
    if (chosen.isEmpty())
        return;
    std::optional<AppEntry> newEntry;
    std::string refusal;
    auto outcome = editApps([&](const WatchList& fresh) -> std::optional<WatchList> {
        newEntry.reset();
        refusal.clear();
        auto added = addingService(chosen.toStdString(), fresh);
        if (!added || *added == fresh)
            return std::nullopt;
        if (auto other = stemTakenBy(fresh, added->back())) {
            refusal = stemClashRefusal(added->back(), *other);
            return std::nullopt;
        }
        newEntry = added->back();
        return added;
    });
    refuse(refusal);
    if (outcome.saved && newEntry) {
        const AppEntry& entry = *newEntry;
        log(entry.name, "service added to keep-alive list (start method: " + entry.method + ")");
        if (entry.method == "unknown" && showAlert) {
            auto [message, informative] = unknownMethodSheet(entry.name);
            showAlert(QString::fromStdString(message), QString::fromStdString(informative), {"OK"},
                      nullptr);
        }
    }
    changed();
}

void D::openLog() {
    if (openURL)
        openURL(openLogURL());
}

void D::quitAll() {
    lc({"bootout", lab()});
    log("Kestrune", "stopped from menu");
    if (terminate)
        terminate();
}

} // namespace Kestrune
