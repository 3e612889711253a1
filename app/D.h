// The program's single controller: it owns the tray icon and its menu, the live copy
// of the watch list, the icon renderer and the notifier for the life of the process,
// runs the refresh cycle and carries out the user's commands.
#pragma once

#include "core/ActivityLog.h"
#include "core/WatchList.h"
#include "core/WatchListEdit.h"
#include "discovery/qt/LiveDiscovery.h"
#include "health/Problems.h"
#include "statusitem/IconRenderer.h"
#include "statusitem/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAbstractButton;
class QFileSystemWatcher;
class QImage;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace Kestrune {

class DesktopNotifications;
class FeedbackWindow;
class PanelAppearance;
class ListSection;
class StatusNotifierItem;
class TrayHost;
class SettingsContent;
class UnitActiveState;

class D : public QObject {
    Q_OBJECT

public:
    explicit D(QObject* parent = nullptr);
    ~D() override;

    // ---- properties, in the order the rest of the program relies on
    // The tray icon over the embedding tray, or where the platform has no
    // StatusNotifierItem to offer; none while a tray host may still come up and none
    // is there yet (see makeItem), and hidden while a StatusNotifierItem host shows
    // statusItem() instead.
    QSystemTrayIcon* item = nullptr;
    KestruneCore::WatchList apps;
    bool master = true;
    // The Settings window, built on the first openSettings() and kept; closing hides it.
    QPointer<QWidget> win;
    // The log card's subtitle in the Settings window, refreshed on every opening.
    QPointer<QLabel> logSub;
    IconRenderer renderer;
    std::vector<KestruneCore::Problem> problems; // what the status menu was built from
    bool menuOpen = false;
    std::map<std::string, std::int64_t> kickedRetries;
    bool notifyAllowed = false;
    std::map<std::string, bool> observedHealth; // by service folder path
    bool probing = false;
    std::map<std::string, KestruneCore::Clock::time_point> startingSince; // by path
    // Service folders found on this machine; the last run's list until discovery answers.
    std::vector<std::string> found;

    // Built on first use; posts through notify().
    Notifier& notifier();
    // The feedback form, built on first use and kept, so its text survives closing.
    FeedbackWindow& feedback();
    // The Settings window's parts, each built on first use and kept.
    QAbstractButton* masterSw();
    ListSection& appsSec();
    ListSection& svcSec();
    // Drops the rows' finished icon pictures (with the icon cache: on opening the
    // window and on a rescan), so edited icons are drawn anew.
    void forgetRowIcons();

    // ---- replaceable actions (tests put recorders here; the defaults act for real)
    // Runs an agent argument list ("print", "kickstart", ... with gui/UID targets) and
    // answers its exit status, -1 when nothing could run. Called from the main
    // thread and, for kickstarts, from the thread pool.
    std::function<int(const std::vector<std::string>& args)> lcRunner;
    // Whether the app at a path is running now. Unset: the system's running
    // applications (see runningPredicate).
    std::function<bool(const std::string& path)> isRunning;
    // Opens an application; answers an error description on failure. Runs off the
    // main thread.
    std::function<std::optional<std::string>(const std::string& path)> launchApp;
    // Opens a file or URL with the desktop's application for it.
    std::function<void(const std::string& url)> openURL;
    // Chooses apps / one project folder; empty when cancelled.
    std::function<QStringList()> chooseApps;
    std::function<QString()> chooseServiceFolder;
    // Shows an alert with a message, informative text and buttons (the first one is
    // the default) and calls `done` with the index of the button that ended it.
    std::function<void(const QString& message, const QString& informative,
                       const QStringList& buttons, std::function<void(int)> done)>
        showAlert;
    // Ends the program.
    std::function<void()> terminate;
    // When set, stand in for showing the Settings window / the feedback form, and
    // are told of every reloadSections().
    std::function<void()> showSettingsWindow;
    std::function<void()> showFeedbackForm;
    std::function<void()> sectionsReloader;
    // Whether the status menu is still on screen after menuWillOpen. Some tray hosts
    // draw the menu themselves and never say when it closes; there the menu widget
    // is never visible and the next refresh treats the menu as closed.
    std::function<bool()> menuStillShown;
    // Whether a tray can show the status icon now. The default never asks the
    // toolkit's tray (see TrayHost).
    std::function<bool()> trayAvailable;
    // The program's command-line arguments (for "--open-settings").
    QStringList arguments;

    // ---- operations
    std::string lab() const;
    int lc(const std::vector<std::string>& args) const;
    // Whether the agent runs, without waiting where the user manager is followed over
    // the bus (see engineUnitState).
    bool agentLoaded() const;
    void ensureAgent();
    void setupNotifications();
    void notify(const std::string& title, const std::string& body);
    void changed();
    void probeUnwatched();
    void reloadSections();
    // The found folders not already watched, as suggestion rows.
    KestruneCore::WatchList foundRows() const;
    // Built on first use: the system's index query, the folder walk as fallback, and
    // discovered() for each new list.
    LiveDiscovery& discovery();
    // Stores a new list of found folders and shows it when it differs.
    void discovered(const std::vector<std::string>& folders);
    void switchedOn(const KestruneCore::AppEntry& entry);
    bool starting(const KestruneCore::AppEntry& entry);
    void showDetails(const KestruneCore::AppEntry& entry);
    std::vector<KestruneCore::Problem> currentProblems() const;
    std::string subtitle(const KestruneCore::AppEntry& entry) const;

    // ---- the Settings window's share (DSettings.cpp)
    // Applies one edit to the freshest copy of the watch list and keeps what the file
    // then holds in `apps` (unchanged when the file could not be read).
    KestruneCore::EditOutcome editApps(const KestruneCore::WatchListChange& change);
    // The sections' actions: remove a watched entry; switch a row on or off (a found
    // project switched on is added as a service first).
    void removeEntry(const KestruneCore::AppEntry& entry);
    void toggleEntry(const KestruneCore::AppEntry& row, bool on);
    bool isFound(const KestruneCore::AppEntry& entry) const;
    std::string serviceSectionSubtitle(const KestruneCore::AppEntry& entry);
    std::string appSectionSubtitle(const KestruneCore::AppEntry& entry);
    // Watches the watch list and master switch files (and their folder, since saves
    // replace the files) and takes in what another writer saved.
    void watchListFiles();
    void listFilesChanged();
    // Sets the master switch to `master` without it reporting a change.
    void showMasterState();

    // Posts notifications over this bus instead of the session bus (set before
    // launching finishes).
    void setNotificationBus(const QDBusConnection& bus);

    // isRunning when set; otherwise a predicate that reads the running processes once
    // on first use and answers every later question from that snapshot, so one
    // refresh scans the process table at most once.
    std::function<bool(const std::string& path)> runningPredicate() const;

    // The panel's appearance as best known (the desktop's preference, else the palette).
    Appearance panelAppearance() const;

    // The engine unit as the user manager reports it; none unless the real systemd
    // agent is in use.
    const UnitActiveState* engineUnitState() const { return engineState_.get(); }

    // The menu currently installed on the tray icon.
    QMenu* statusMenu() const { return menu_; }
    // Our own StatusNotifierItem, while a StatusNotifierItem host is there.
    StatusNotifierItem* statusItem() const { return statusItem_.get(); }
    // Whether the Settings window exists and is on screen.
    bool settingsVisible() const;

public slots:
    void applicationDidFinishLaunching();
    void menuWillOpen();
    void menuDidClose();
    void refresh();
    void openFeedback();
    void openSettings();
    void masterToggled(bool on);
    void addApp();
    void addService();
    void openLog();
    void rescanServices();
    void quitAll();
    // Some time after start: with no tray to show the icon, opens Settings (once) with
    // a notice saying how to get one.
    void checkTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether lcRunner is still the real agent call (tests replace it).
    bool usesRealAgent() const;
    void installMenu(QMenu* menu);
    // Makes the tray icon (once) and, after launching, gives it the menu, picture and
    // tooltip and shows it.
    void makeItem();
    // Shows the icon where a host can show it now: our StatusNotifierItem while a
    // watcher is there, else the embedding tray's icon.
    void placeIcon();
    // A click asking for the menu: on X11 it pops up at `at` (the pointer when the
    // host gives no point); on Wayland, where the program may not place a popup,
    // Settings opens instead.
    void showMenuAt(QPoint at);
    void showPicture(const std::optional<StatusPicture>& picture);
    void buildSettings();
    // Tells the user why an entry was not added (nothing when empty).
    void refuse(const std::string& refusal);

    QMenu* menu_ = nullptr;
    bool trayChecked_ = false;
    bool trayMissing_ = false;
    std::unique_ptr<QMenu> mainMenu_;
    std::unique_ptr<Notifier> notifier_;
    std::unique_ptr<DesktopNotifications> notifications_;
    std::unique_ptr<LiveDiscovery> discovery_;
    std::unique_ptr<FeedbackWindow> feedback_;
    std::unique_ptr<PanelAppearance> panel_;
    std::unique_ptr<TrayHost> trayHost_;
    std::unique_ptr<StatusNotifierItem> statusItem_;
    QString toolTip_;
    std::unique_ptr<UnitActiveState> engineState_;
    QTimer timer_;
    QPointer<QAbstractButton> masterSw_;
    std::unique_ptr<ListSection> appsSec_;
    std::unique_ptr<ListSection> svcSec_;
    std::unique_ptr<SettingsContent> content_;
    QFileSystemWatcher* listWatcher_ = nullptr;
    QTimer listSettle_;
    // What every row of one reloadSections() shares, read once for all rows.
    struct RowFacts;
    std::shared_ptr<RowFacts> rowFacts_;
};

} // namespace Kestrune
