// The controller's share of the Settings window: building it once, the sections'
// actions and texts, and following edits that other writers make to the watch list.
#include "app/D.h"

#include "core/FileIO.h"
#include "core/LogSubtitle.h"
#include "core/StartMethod.h"
#include "discovery/Discovery.h"
#include "feedback/qt/FeedbackActions.h"
#include "health/AppLiveness.h"
#include "health/Backoff.h"
#include "health/RestartRequest.h"
#include "health/ServiceSubtitle.h"
#include "health/StartRecords.h"
#include "health/StatusSummary.h"
#include "icons/IconLink.h"
#include "icons/ServiceIconSearch.h"
#include "icons/qt/ServiceIcon.h"
#include "services/ServiceConfig.h"
#include "settings/ListSection.h"
#include "settings/SettingsContent.h"
#include "settings/SettingsWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileSystemWatcher>
#include <QLabel>

#include <algorithm>

namespace Kestrune {

using namespace KestruneCore;

namespace {

// Several notices of one save (file and folder) become one re-read.
constexpr int listSettleMs = 50;

// The front page of the server behind a service's health address, "" without one.
std::string servicePage(const std::string& folder) {
    auto config = ServiceConfig::load(folder).value();
    if (!config || !config->url)
        return {};
    auto page = resolvedUrl(*config->url, "/");
    if (!page || !(page->starts_with("http://") || page->starts_with("https://")))
        return {};
    return *page;
}

bool samePlace(const AppEntry& a, const AppEntry& b) {
    return a.path == b.path && a.type == b.type;
}

// A service row's icon: a glyph now, or an icon file drawn off the main thread with
// the generic glyph standing in until its picture is ready (found rows too).
ListSection::RowIcon serviceRowIcon(const AppEntry& entry) {
    installQtImageSupport();
    IconSource source = serviceIconSource(entry.path, ServiceConfig::load(entry.path).value());
    if (source.kind == IconSource::Kind::file)
        return {iconImage(IconSource::generic()), source.text};
    return iconImage(source);
}

} // namespace

struct D::RowFacts {
    std::function<bool(const std::string&)> running;
    std::vector<Problem> problems; // empty while the master switch is off
    std::optional<std::string> logText;
    std::string startTimes;
};

QAbstractButton* D::masterSw() {
    if (!masterSw_) {
        masterSw_ = makeMasterToggle(master);
        masterSw_->setAccessibleName("Keep apps and services alive");
        // Toggled, not clicked: assistive technology flips a switch without a click.
        connect(masterSw_, &QAbstractButton::toggled, this, &D::masterToggled);
    }
    return masterSw_;
}

ListSection& D::appsSec() {
    if (!appsSec_)
        appsSec_ = std::make_unique<ListSection>(EntryType::app, "No apps yet", this, 3);
    return *appsSec_;
}

ListSection& D::svcSec() {
    if (!svcSec_)
        svcSec_ = std::make_unique<ListSection>(EntryType::service, "No services yet", this, 2);
    return *svcSec_;
}

void D::forgetRowIcons() {
    if (appsSec_)
        appsSec_->forgetIcons();
    if (svcSec_)
        svcSec_->forgetIcons();
}

void D::showMasterState() {
    QSignalBlocker quiet(masterSw());
    masterSw()->setChecked(master);
}

void D::buildSettings() {
    installQtImageSupport();
    QPointer<D> self(this);
    for (ListSection* section : {&appsSec(), &svcSec()}) {
        bool services = section == &svcSec();
        section->entries = [self, services] {
            if (!self)
                return WatchList{};
            WatchList list = self->apps;
            if (services) {
                WatchList suggestions = self->foundRows();
                list.insert(list.end(), suggestions.begin(), suggestions.end());
            }
            return list;
        };
        section->onRemove = [self](const AppEntry& e) {
            if (self)
                self->removeEntry(e);
        };
        section->onToggle = [self](const AppEntry& e, bool on) {
            if (self)
                self->toggleEntry(e, on);
        };
    }
    ListSection& svc = svcSec();
    svc.onDetails = [self](const AppEntry& e) {
        if (self)
            self->showDetails(e);
    };
    // The engine's folder watch sees the request and restarts the service at once.
    svc.onRestart = [self](const AppEntry& e) {
        if (self)
            requestRestart(e, self->master);
    };
    svc.isFound = [self](const AppEntry& e) { return self && self->isFound(e); };
    svc.rowIcon = [](const AppEntry& e) { return serviceRowIcon(e); };
    // A service's picture follows its icon source; an app's, its file.
    svc.rowIconKey = [](const AppEntry& e) {
        IconSource source = serviceIconSource(e.path, ServiceConfig::load(e.path).value());
        return std::to_string(int(source.kind)) + '\n' + source.text;
    };
    appsSec().rowIconKey = [](const AppEntry& e) { return e.path; };
    svc.webAddress = [](const AppEntry& e) { return servicePage(e.path); };
    svc.onOpenInBrowser = [self](const std::string& address) {
        if (self && self->openURL)
            self->openURL(address);
    };
    svc.onOpenFolder = [](const AppEntry& e) { folderOpener(e.path); };
    svc.rowSubtitle = [self](const AppEntry& e) {
        return self ? self->serviceSectionSubtitle(e) : std::string();
    };
    appsSec().rowSubtitle = [self](const AppEntry& e) {
        return self ? self->appSectionSubtitle(e) : std::string();
    };

    masterSw();
    content_ = std::make_unique<SettingsContent>(this, masterSw(), &appsSec(), &svcSec());
    logSub = content_->bottom.subtitle;
    win = makeSettingsWindow(content_->view);
}

void D::openSettings() {
    if (showSettingsWindow) {
        showSettingsWindow();
        return;
    }
    if (!win)
        buildSettings();
    apps = load(dataPath());
    master = loadMaster();
    showMasterState();
    // Forget cached icons first, so this opening already shows edited project icons.
    clearIconCache();
    forgetRowIcons();
    reloadSections();
    if (logSub)
        logSub->setText(QString::fromStdString(logSubtitle(logPath())));
    probeUnwatched();
    content_->trayNotice->setVisible(trayMissing_);
    win->show();
    win->raise();
    win->activateWindow();
}

void D::reloadSections() {
    if (sectionsReloader)
        sectionsReloader();
    if (!appsSec_ || !svcSec_)
        return;
    // The running processes, the problems file and the activity log are read once
    // for all rows, not once per row.
    rowFacts_ = std::make_shared<RowFacts>();
    rowFacts_->running = runningPredicate();
    if (master)
        rowFacts_->problems = liveProblems(loadProblems(problemsPath()), apps, rowFacts_->running);
    // Only the lines of actions can name an app's last relaunch; the rows search those.
    if (auto text = readUtf8File(logPath())) {
        std::string actions;
        std::string_view rest = *text;
        while (!rest.empty()) {
            size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            if (line.find("] ACTION") != std::string_view::npos) {
                actions += line;
                actions += '\n';
            }
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        }
        rowFacts_->logText = std::move(actions);
    }
    rowFacts_->startTimes = readStartRecordsText().value_or("");
    appsSec_->setMasterOn(master);
    svcSec_->setMasterOn(master);
    appsSec_->reload();
    svcSec_->reload();
    rowFacts_.reset();
}

EditOutcome D::editApps(const WatchListChange& change) {
    EditOutcome outcome = editWatchList(change, dataPath());
    if (outcome.ok())
        apps = outcome.list;
    return outcome;
}

void D::removeEntry(const AppEntry& entry) {
    auto outcome = editApps([&](const WatchList& fresh) -> std::optional<WatchList> {
        WatchList next = removing(entry, fresh);
        if (next == fresh)
            return std::nullopt;
        return next;
    });
    if (outcome.saved)
        log(entry.name, "removed from keep-alive list");
    changed();
}

void D::toggleEntry(const AppEntry& row, bool on) {
    enum class Did { nothing, added, switched } did = Did::nothing;
    AppEntry result;
    auto outcome = editApps([&](const WatchList& fresh) -> std::optional<WatchList> {
        did = Did::nothing;
        WatchList next = fresh;
        auto it = std::find_if(next.begin(), next.end(),
                               [&](const AppEntry& e) { return samePlace(e, row); });
        if (it != next.end()) {
            it->enabled = on;
            result = *it;
            did = Did::switched;
            return next;
        }
        // Only a found project becomes a new entry; a row another writer removed
        // meanwhile is not brought back.
        if (!on || row.type != EntryType::service || !storablePath(row.path))
            return std::nullopt;
        result = AppEntry{row.name, row.path, true, EntryType::service,
                          detectStartMethod(row.path).label()};
        next.push_back(result);
        did = Did::added;
        return next;
    });
    if (!outcome.saved) {
        reloadSections(); // show what the file holds now
        return;
    }
    if (did == Did::added)
        log(result.name, "service added from Found on this computer");
    else
        log(result.name, on ? "keep-alive on (from settings)" : "keep-alive off (from settings)");
    changed();
    if (on)
        switchedOn(result);
}

bool D::isFound(const AppEntry& entry) const {
    return std::none_of(apps.begin(), apps.end(), [&](const AppEntry& e) {
        return e.type == EntryType::service && e.path == entry.path;
    });
}

std::string D::serviceSectionSubtitle(const AppEntry& entry) {
    if (isFound(entry))
        return std::string(Discovery::foundSubtitle);
    if (entry.enabled && master && starting(entry)) {
        std::string text = "Starting\u2026";
        if (!entry.method.empty())
            text += " \u00b7 " + entry.method;
        return text;
    }
    return serviceSubtitle(entry, ServiceConfig::load(entry.path).value(),
                           rowFacts_ ? rowFacts_->problems : currentProblems(), master,
                           tryingSince(entry.name), Clock::now(),
                           typicalStartup(rowFacts_
                                              ? parseStartRecords(entry.name, rowFacts_->startTimes)
                                              : startRecords(entry.name)),
                           [&]() -> std::optional<bool> {
                               auto it = observedHealth.find(entry.path);
                               if (it == observedHealth.end())
                                   return std::nullopt;
                               return it->second;
                           }());
}

std::string D::appSectionSubtitle(const AppEntry& entry) {
    if (entry.enabled && master && starting(entry))
        return "Starting\u2026";
    if (!rowFacts_)
        return subtitle(entry);
    std::optional<std::string> relaunch;
    if (rowFacts_->logText)
        relaunch = lastRelaunch(*rowFacts_->logText, entry.name);
    return appSubtitle(entry, rowFacts_->running(entry.path), rowFacts_->problems, relaunch);
}

void D::watchListFiles() {
    if (!listWatcher_) {
        listWatcher_ = new QFileSystemWatcher(this);
        listSettle_.setSingleShot(true);
        listSettle_.setInterval(listSettleMs);
        connect(&listSettle_, &QTimer::timeout, this, &D::listFilesChanged);
        auto settle = [this] { listSettle_.start(); };
        connect(listWatcher_, &QFileSystemWatcher::fileChanged, this, settle);
        connect(listWatcher_, &QFileSystemWatcher::directoryChanged, this, settle);
    }
    makeFolders(dataFolder());
    QStringList paths;
    for (const std::string& p : {dataFolder(), dataPath(), masterPath()})
        if (fileExists(p) || isDirectory(p))
            paths << QString::fromStdString(p);
    // A file replaced by a save is a new file: watch it again.
    QStringList watched = listWatcher_->files() + listWatcher_->directories();
    for (const QString& p : paths)
        if (!watched.contains(p))
            listWatcher_->addPath(p);
}

void D::listFilesChanged() {
    watchListFiles();
    const std::string path = dataPath();
    if (fileExists(path) && !readUtf8File(path))
        return; // being replaced or unreadable: keep what we have
    WatchList fresh = load(path);
    bool freshMaster = loadMaster();
    if (fresh == apps && freshMaster == master)
        return;
    apps = std::move(fresh);
    master = freshMaster;
    showMasterState();
    reloadSections();
    refresh();
}

} // namespace Kestrune
