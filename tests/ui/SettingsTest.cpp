#include "TempDir.h"
#include "app/D.h"
#include "core/FileIO.h"
#include "core/LogSubtitle.h"
#include "core/Paths.h"
#include "discovery/Discovery.h"
#include "feedback/qt/FeedbackActions.h"
#include "platform/Process.h"
#include "services/ServiceFolder.h"
#include "settings/AppPicker.h"
#include "settings/BottomSection.h"
#include "settings/CreditLink.h"
#include "settings/ElidedLabel.h"
#include "settings/ListSection.h"
#include "settings/SettingsContent.h"
#include "settings/SettingsWindow.h"
#include "settings/Style.h"
#include "settings/WorkspaceIcon.h"
#include "ui/FloatingWindow.h"
#include "ui/Symbols.h"
#include "ui/Toggle.h"

#include "settings/RowTable.h"
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>

#include <QTest>

#include <gtest/gtest.h>

#include <mutex>
#include <set>

using namespace KestruneCore;
using Kestrune::D;
using Kestrune::ListSection;
using KestruneTest::readAll;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

bool waitFor(const std::function<bool()>& done, int limitMs = 10000) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

AppEntry service(const std::string& name, bool enabled = true) {
    return {name, "/p/" + name, enabled, EntryType::service, "launch.sh"};
}

std::vector<std::string> names(const WatchList& list) {
    std::vector<std::string> out;
    for (const auto& e : list)
        out.push_back(e.name);
    return out;
}

QStringList actionTexts(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        out << a->text();
    return out;
}

} // namespace

TEST(ListSection, RowsSeparatorsAndSwitchRules) {
    struct Case {
        const char* what;
        WatchList entries;
        bool masterOn;
        std::vector<std::string> expectNames;
        std::vector<bool> separators;
        std::vector<bool> switchEnabled;
    };
    const AppEntry app{"Mail", "/Apps/Mail.app", true, EntryType::app, ""};
    const std::vector<Case> cases = {
        {"empty", {app}, true, {}, {false}, {}},
        {"one row, no line under it", {service("web")}, true, {"web"}, {false}, {true}},
        {"master on",
         {service("web"), app, service("api", false)},
         true,
         {"web", "api"},
         {true, false},
         {true, true}},
        // Master off: watched rows are locked at their stored state, a suggestion is not.
        {"master off",
         {service("web"), service("found", false)},
         false,
         {"web", "found"},
         {true, false},
         {false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ListSection section(EntryType::service, "No services yet", nullptr, 2);
        section.entries = [&] { return c.entries; };
        section.isFound = [](const AppEntry& e) { return e.name == "found"; };
        section.rowSubtitle = [](const AppEntry& e) { return "about " + e.name; };
        section.setMasterOn(c.masterOn);
        section.reload();
        EXPECT_EQ(names(section.rows), c.expectNames);
        ASSERT_EQ(section.table->rowCount(), int(c.separators.size()));
        for (int row = 0; row < section.table->rowCount(); ++row)
            EXPECT_EQ(section.rowView(row)->showSep, c.separators[size_t(row)]) << row;
        if (c.expectNames.empty()) {
            auto* empty = section.rowView(0)->findChild<QLabel*>("empty");
            ASSERT_NE(empty, nullptr);
            EXPECT_EQ(empty->text(), "No services yet");
            section.table->selectRow(0);
            EXPECT_TRUE(section.table->selectedRow() == -1);
            EXPECT_FALSE(section.minus->isEnabled());
            continue;
        }
        for (int row = 0; row < int(c.expectNames.size()); ++row) {
            auto* toggle = section.rowSwitch(row);
            EXPECT_EQ(toggle->isEnabled(), c.switchEnabled[size_t(row)]) << row;
            EXPECT_EQ(toggle->isChecked(), section.rows[size_t(row)].enabled);
            EXPECT_EQ(toggle->accessibleName().toStdString(),
                      "Keep " + c.expectNames[size_t(row)] + " alive");
            EXPECT_EQ(section.rowSubtitleLabel(row)->text().toStdString(),
                      "about " + c.expectNames[size_t(row)]);
            EXPECT_EQ(section.rowSubtitleLabel(row)->toolTip(),
                      section.rowSubtitleLabel(row)->text());
            EXPECT_EQ(section.rowTitle(row)->toolTip().toStdString(),
                      section.rows[size_t(row)].path);
        }
    }
}

TEST(ListSection, RemoveSelectToggleAndDetailsRules) {
    ListSection section(EntryType::service, "No services yet", nullptr, 2);
    WatchList list = {service("web"), service("found", false)};
    std::vector<std::string> removed, details;
    std::vector<std::pair<std::string, bool>> toggled;
    section.entries = [&] { return list; };
    section.isFound = [](const AppEntry& e) { return e.name == "found"; };
    section.onRemove = [&](const AppEntry& e) { removed.push_back(e.name); };
    section.onToggle = [&](const AppEntry& e, bool on) { toggled.emplace_back(e.name, on); };
    section.onDetails = [&](const AppEntry& e) { details.push_back(e.name); };
    std::vector<std::string> restarted;
    section.onRestart = [&](const AppEntry& e) { restarted.push_back(e.name); };
    section.reload();

    // Restart Now: only a watched entry kept alive, and only while keeping alive is on.
    for (int row : {1, 2, -1, 0}) {
        section.setClickedRow(row);
        section.restartClicked();
    }
    section.setMasterOn(false);
    section.restartClicked();
    section.setMasterOn(true);
    EXPECT_EQ(restarted, (std::vector<std::string>{"web"}));

    // A suggestion can be selected but not removed, neither by "−" nor by the menu.
    section.table->selectRow(1);
    EXPECT_FALSE(section.minus->isEnabled());
    section.setClickedRow(1);
    section.removeClicked();
    section.removeSelected();
    EXPECT_TRUE(removed.empty());
    // Its details are still offered; indices outside the rows do nothing.
    section.detailsClicked();
    section.showDetails(-1);
    section.showDetails(2);
    EXPECT_EQ(details, (std::vector<std::string>{"found"}));

    // A click anywhere on a row selects it.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(section.rowTitle(0), &press);
    EXPECT_EQ(section.table->selectedRow(), 0);
    EXPECT_TRUE(section.minus->isEnabled());
    section.minus->click();
    EXPECT_EQ(removed, (std::vector<std::string>{"web"}));

    // A switch reports its row as last loaded; a switch whose row is gone does nothing.
    Kestrune::Toggle* second = section.rowSwitch(1);
    second->click();
    EXPECT_EQ(toggled, (std::vector<std::pair<std::string, bool>>{{"found", true}}));
    second->setProperty("tag", 5);
    section.toggled(second);
    EXPECT_EQ(toggled.size(), 1u);
}

TEST(ListSection, RowIconsGlyphsPicturesAndNone) {
    QImage picture(64, 64, QImage::Format_ARGB32_Premultiplied);
    picture.fill(QColor(200, 30, 30));
    QImage glyph = Kestrune::symbolImage("dog.fill", QSize(64, 64));
    ASSERT_TRUE(Kestrune::isTemplateImage(glyph));
    struct Case {
        const char* what;
        std::optional<QImage> image;
        bool shown;
    };
    const std::vector<Case> cases = {{"no icon", std::nullopt, false},
                                     {"null image (a glyph not drawn yet)", QImage(), false},
                                     {"picture", picture, true},
                                     {"glyph", glyph, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ListSection section(EntryType::service, "No services yet", nullptr, 2);
        section.entries = [] { return WatchList{service("web")}; };
        section.rowIcon = [&](const AppEntry&) { return c.image; };
        section.reload();
        QLabel* icon = section.rowIconView(0);
        ASSERT_NE(icon, nullptr);
        QPixmap shown = icon->pixmap();
        EXPECT_EQ(!shown.isNull(), c.shown);
        if (!c.shown)
            continue;
        // A glyph takes the secondary text colour; a picture keeps its own.
        QImage drawn = shown.toImage();
        QColor centre = drawn.pixelColor(drawn.width() / 2, drawn.height() / 2);
        QColor expected = c.image->text("kestrune-template").isEmpty()
                              ? QColor(200, 30, 30)
                              : Kestrune::secondaryLabelColour(section.table->palette());
        EXPECT_NEAR(centre.red(), expected.red(), 3);
        EXPECT_NEAR(centre.green(), expected.green(), 3);
    }
}

TEST(ListSection, BarAndMenuOfEachKind) {
    TempDir tmp;
    ScopedHome home(tmp.path());
    D target;
    int chooseApps = 0, chooseFolder = 0;
    target.chooseApps = [&] { return ++chooseApps, QStringList(); };
    target.chooseServiceFolder = [&] { return ++chooseFolder, QString(); };

    ListSection apps(EntryType::app, "No apps yet", &target, 3);
    ListSection services(EntryType::service, "No services yet", &target, 2);
    EXPECT_EQ(actionTexts(apps.contextMenu()), QStringList{"Remove"});
    EXPECT_EQ(actionTexts(services.contextMenu()),
              (QStringList{QString::fromUtf8("Show Details\u2026"), "Remove", "", "Restart Now",
                           "Open in Browser", "Open Folder"}));
    EXPECT_FALSE(apps.rescan->isVisibleTo(apps.view));
    EXPECT_TRUE(services.rescan->isVisibleTo(services.view));
    EXPECT_EQ(services.rescan->toolTip(), "Search this computer for services");
    EXPECT_EQ(services.rescan->accessibleName(), "Search this computer for services");
    EXPECT_EQ(apps.plus->toolTip(), QString::fromUtf8("Add App\u2026"));
    EXPECT_EQ(services.plus->toolTip(), QString::fromUtf8("Add Service\u2026"));
    EXPECT_EQ(apps.minus->toolTip(), "Remove selected app");
    EXPECT_EQ(services.minus->toolTip(), "Remove selected service");
    EXPECT_EQ(apps.minus->text(), QString::fromUtf8("\u2212"));
    EXPECT_EQ(apps.table->rowView(0)->height(), ListSection::rowHeight);

    // The bar's glyphs follow the palette from light to dark.
    services.plus->ensurePolished();
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::ButtonText, QColor(232, 232, 234));
    QApplication::setPalette(dark);
    services.reload();
    services.plus->ensurePolished();
    EXPECT_EQ(services.plus->palette().color(QPalette::ButtonText), QColor(232, 232, 234));
    QApplication::setPalette(before);

    apps.plus->click();
    EXPECT_EQ(chooseApps, 1);
    EXPECT_EQ(chooseFolder, 0);
    services.plus->click();
    EXPECT_EQ(chooseFolder, 1);
}

TEST(SettingsWindow, SwitchesLineUpWhetherOrNotAListScrolls) {
    ListSection apps(EntryType::app, "No apps yet", nullptr, 3);
    ListSection services(EntryType::service, "No services yet", nullptr, 2);
    Kestrune::SettingsContent content(nullptr, makeMasterToggle(true), &apps, &services);
    std::unique_ptr<QWidget> page(content.view);
    page->resize(460, 700);
    page->show();
    for (int count : {1, 5}) {
        SCOPED_TRACE(count);
        WatchList list;
        for (int i = 0; i < count; ++i) {
            list.push_back(
                {"app" + std::to_string(i), "/a/" + std::to_string(i), true, EntryType::app, ""});
            list.push_back(service("svc" + std::to_string(i)));
        }
        for (ListSection* s : {&apps, &services}) {
            s->entries = [&] { return list; };
            s->reload();
        }
        QCoreApplication::processEvents();
        std::set<int> xs;
        for (ListSection* s : {&apps, &services})
            for (int row = 0; row < count; ++row)
                xs.insert(s->rowSwitch(row)->mapTo(page.get(), QPoint()).x());
        EXPECT_EQ(xs.size(), 1u);
        // The longer list scrolls; its scroller appears over the rows while it moves.
        QScrollBar* scroller = services.table->overlayScroller();
        EXPECT_EQ(scroller->maximum() > 0, count > 2);
        services.table->verticalScrollBar()->setValue(30);
        EXPECT_EQ(scroller->isVisible(), count > 2);
        services.table->verticalScrollBar()->setValue(0);
    }
    EXPECT_EQ(content.appsCaption->width(), 380);
    EXPECT_EQ(content.servicesCaption->width(), 380);
}

TEST(SettingsWindow, HeightFollowsTheContentWithinTheScreen) {
    EXPECT_EQ(settingsWindowHeight(700, 1000), 700);
    EXPECT_EQ(settingsWindowHeight(2000, 1000), 960);
    EXPECT_EQ(settingsWindowHeight(2000, std::nullopt), 860);
    EXPECT_EQ(settingsWindowHeight(0, 1000), std::nullopt);

    // A page without height keeps the created frame, with 480 as its lowest height.
    std::unique_ptr<QWidget> none(makeSettingsWindow(new QWidget));
    EXPECT_EQ(none->size(), QSize(460, 520));
    EXPECT_EQ(none->minimumSize(), QSize(460, 480));
    EXPECT_EQ(none->windowTitle(), "Kestrune Settings");

    // A page taller than the screen opens at the cap, which is also its lowest height.
    auto* tall = new QWidget;
    auto* column = new QVBoxLayout(tall);
    auto* block = new QWidget;
    block->setFixedHeight(5000);
    column->addWidget(block);
    std::unique_ptr<QWidget> capped(makeSettingsWindow(tall));
    int cap = QGuiApplication::primaryScreen()->availableGeometry().height() - 40;
    EXPECT_EQ(capped->height(), cap);
    EXPECT_EQ(capped->minimumSize(), QSize(460, cap));
}

TEST(FloatingWindow, WidthFixedOnlyUnderWayland) {
    // Parentless dialogs float on tiling Wayland compositors only by fixed size hints.
    struct Case {
        const char* platform;
        bool fixed;
    };
    for (auto c : {Case{"wayland", true}, Case{"wayland-egl", true}, Case{"xcb", false},
                   Case{"offscreen", false}}) {
        SCOPED_TRACE(c.platform);
        QWidget window;
        window.setMinimumWidth(300);
        Kestrune::keepFloating(&window, 460, c.platform);
        EXPECT_EQ(window.minimumWidth() == 460 && window.maximumWidth() == 460, c.fixed);
    }
}

TEST(SettingsWindow, FooterLinksOpenTheirTargets) {
    std::vector<std::string> opened;
    int feedbackOpened = 0;
    auto oldOpener = opener;
    auto oldFeedback = feedbackOpener;
    opener = [&](const std::string& url) { opened.push_back(url); };
    feedbackOpener = [&] { ++feedbackOpened; };

    BottomSection bottom = makeBottomSection(nullptr);
    std::unique_ptr<QWidget> owner(bottom.view);
    EXPECT_EQ(bottom.credit->text(), "A Bramwick product");
    EXPECT_EQ(bottom.credit->toolTip().toStdString(), creditURL());
    EXPECT_EQ(bottom.feedback->text(), QString::fromUtf8("Send Feedback\u2026"));
    EXPECT_TRUE(bottom.feedback->toolTip().isEmpty());
    for (Kestrune::CreditLink* link : {bottom.credit, bottom.feedback}) {
        EXPECT_EQ(link->focusPolicy(), Qt::NoFocus);
        EXPECT_EQ(link->textInteractionFlags(), Qt::NoTextInteraction);
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(QAccessible::queryAccessibleInterface(link)->role(), QAccessible::Link);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(link, &press);
    }
    EXPECT_EQ(opened, (std::vector<std::string>{creditURL()}));
    EXPECT_EQ(feedbackOpened, 1);
    // Assistive technology presses the same way.
    QAccessible::queryAccessibleInterface(bottom.feedback)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(feedbackOpened, 2);
    EXPECT_EQ(bottom.subtitle->toolTip().toStdString(), logPath());

    opener = oldOpener;
    feedbackOpener = oldFeedback;
}

namespace {

class SettingsController : public ::testing::Test {
protected:
    TempDir tmp;
    ScopedHome scopedHome{tmp.path()};
    std::mutex lcMutex;
    int kickstarts = 0;
    std::unique_ptr<D> d;
    std::string shop, api;

    void SetUp() override {
        makeFolders(logsFolder());
        makeFolders(stateFolder());
        shop = tmp.write("Projects/shop/scripts/launch.sh", "#!/bin/sh\n", true);
        shop = parentFolder(parentFolder(shop));
        api = tmp.write("Projects/api/scripts/launch.sh", "#!/bin/sh\n", true);
        api = parentFolder(parentFolder(api));
        makeFolders(dataFolder());
        writeFileAtomically(dataPath(), "1\tNotes\t/Apps/Notes.app\tapp\n1\tshop\t" + shop +
                                            "\tservice\tlaunch.sh\n");
        d = std::make_unique<D>();
        d->setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
        d->lcRunner = [this](const std::vector<std::string>& args) {
            std::lock_guard lock(lcMutex);
            kickstarts += args[0] == "kickstart";
            return 0;
        };
        d->isRunning = [](const std::string&) { return false; };
        d->launchApp = [](const std::string&) { return std::optional<std::string>(); };
        d->openURL = [](const std::string&) {};
        d->terminate = [] {};
        d->arguments = {"kestrune"};
        d->found = {api};
        d->applicationDidFinishLaunching();
    }

    void TearDown() override {
        QThreadPool::globalInstance()->waitForDone();
        d.reset();
    }

    std::vector<std::string> shown(ListSection& s) { return names(s.rows); }
};

} // namespace

TEST_F(SettingsController, OpensOnceShowsTheListsAndHidesOnClose) {
    d->openSettings();
    QWidget* window = d->win;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(shown(d->appsSec()), (std::vector<std::string>{"Notes"}));
    EXPECT_EQ(shown(d->svcSec()), (std::vector<std::string>{"shop", "api"}));
    EXPECT_EQ(d->svcSec().rowSubtitleLabel(1)->text().toStdString(), Discovery::foundSubtitle);
    EXPECT_FALSE(d->svcSec().rowSubtitleLabel(0)->text().isEmpty());
    EXPECT_EQ(d->logSub->text().toStdString(), logSubtitle(logPath()));
    // A row reads the log once per reload; it says what the controller's subtitle says.
    logTo(logPath(), "Notes", "started: ok");
    logTo(logPath(), "Notes", "ACTION: not running -> open");
    logTo(logPath(), "Other", "ACTION: not running -> open");
    d->reloadSections();
    EXPECT_EQ(d->appsSec().rowSubtitleLabel(0)->text().toStdString(), d->subtitle(d->apps[0]));
    EXPECT_NE(d->subtitle(d->apps[0]).find("Last relaunched"), std::string::npos);
    EXPECT_EQ(d->masterSw()->accessibleName(), "Keep apps and services alive");

    std::vector<std::string> opened;
    d->openURL = [&](const std::string& url) { opened.push_back(url); };
    auto* openLog = window->findChild<QPushButton*>();
    ASSERT_NE(openLog, nullptr);
    EXPECT_EQ(openLog->text(), QString::fromUtf8("Open Log\u2026"));
    openLog->click();
    EXPECT_EQ(opened, (std::vector<std::string>{openLogURL()}));

    window->close();
    EXPECT_FALSE(window->isVisible());
    d->openSettings();
    EXPECT_EQ(d->win, window);
    EXPECT_TRUE(window->isVisible());
    // A floating dialog, which Esc closes like any other.
    EXPECT_EQ(window->windowType(), Qt::Dialog);
    window->activateWindow();
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(SettingsController, SwitchesEditTheListAndFollowTheMaster) {
    d->openSettings();
    d->appsSec().rowSwitch(0)->click();
    EXPECT_EQ(readAll(dataPath()).substr(0, 2), "0\t");
    EXPECT_NE(readAll(logPath()).find(" [Notes] keep-alive off (from settings)\n"),
              std::string::npos);

    d->masterSw()->click();
    EXPECT_EQ(readAll(masterPath()), "off\n");
    EXPECT_NE(readAll(logPath()).find("[Kestrune] keep apps alive: off (from settings)\n"),
              std::string::npos);
    EXPECT_FALSE(d->appsSec().rowSwitch(0)->isEnabled());
    EXPECT_FALSE(d->svcSec().rowSwitch(0)->isEnabled());
    EXPECT_TRUE(d->svcSec().rowSwitch(1)->isEnabled()); // the found project

    // Switching on a found project adds it as a service, then starts it.
    d->masterSw()->click();
    d->svcSec().rowSwitch(1)->click();
    WatchList saved = load();
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[2], (AppEntry{"api", api, true, EntryType::service, "launch.sh"}));
    EXPECT_NE(readAll(logPath()).find("[api] service added from Found on this computer\n"),
              std::string::npos);
    EXPECT_FALSE(d->isFound(saved[2]));
    EXPECT_EQ(shown(d->svcSec()), (std::vector<std::string>{"shop", "api"}));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(lcMutex);
        return kickstarts == 1;
    }));
    EXPECT_EQ(d->svcSec().rowSubtitleLabel(1)->text(),
              QString::fromUtf8("Starting\u2026 \u00b7 launch.sh"));
}

TEST_F(SettingsController, AnotherWritersEditsAreShownAndNeverUndone) {
    d->openSettings();
    // The terminal tool adds an app while the window is open: the list shows it.
    std::string mail = tmp.mkdir("Apps/Mail.app");
    ProcessOptions withErrors;
    withErrors.captureStderr = true;
    auto ctl = runProcess({KESTRUNECTL_PATH, "--home", tmp.path(), "add-app", mail}, withErrors);
    ASSERT_TRUE(ctl.succeeded()) << ctl.output;
    ASSERT_TRUE(waitFor([&] { return d->appsSec().rows.size() == 2; }));
    EXPECT_EQ(shown(d->appsSec()), (std::vector<std::string>{"Notes", "Mail"}));

    // An edit made before the change was noticed still lands on the freshest copy.
    appendToFile(dataPath(), "1\tMaps\t/Apps/Maps.app\tapp\n");
    d->appsSec().rowSwitch(0)->click();
    EXPECT_EQ(names(load()), (std::vector<std::string>{"Notes", "shop", "Mail", "Maps"}));
    EXPECT_FALSE(load()[0].enabled);
    // Removing works on the fresh copy too.
    d->appsSec().table->selectRow(0);
    d->appsSec().minus->click();
    EXPECT_EQ(names(load()), (std::vector<std::string>{"shop", "Mail", "Maps"}));
    EXPECT_NE(readAll(logPath()).find("[Notes] removed from keep-alive list\n"), std::string::npos);
    EXPECT_EQ(shown(d->appsSec()), (std::vector<std::string>{"Mail", "Maps"}));

    // The master switch set from the terminal moves the window's switch.
    ASSERT_TRUE(runProcess({KESTRUNECTL_PATH, "--home", tmp.path(), "master", "off"}).succeeded());
    ASSERT_TRUE(waitFor([&] { return !d->masterSw()->isChecked(); }));
    EXPECT_FALSE(d->appsSec().masterOn());
}

TEST_F(SettingsController, SheetsHangOnTheWindow) {
    d->openSettings();
    std::string folder = tmp.mkdir("Projects/bare");
    d->chooseServiceFolder = [&] { return QString::fromStdString(folder); };
    d->addService();
    auto boxes = d->win->findChildren<QMessageBox*>();
    ASSERT_EQ(boxes.size(), 1);
    auto [message, informative] = unknownMethodSheet("bare");
    EXPECT_EQ(boxes[0]->text().toStdString(), message);
    EXPECT_EQ(boxes[0]->informativeText().toStdString(), informative);
    EXPECT_EQ(boxes[0]->windowModality(), Qt::WindowModal);
    EXPECT_EQ(load().back().method, "unknown");
    boxes[0]->accept();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // "Show Details…" from a row's menu opens the details sheet of that service.
    d->svcSec().setClickedRow(0);
    d->svcSec().detailsClicked();
    boxes = d->win->findChildren<QMessageBox*>();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text(), "shop");
    EXPECT_EQ(boxes[0]->windowModality(), Qt::WindowModal);
    boxes[0]->reject();
}

TEST_F(SettingsController, ServiceMenuOpensItsPageAndFolder) {
    tmp.write("Projects/shop/scripts/launch.json",
              R"({"healthcheck": {"url": "http://127.0.0.1:4999/api/health?x=1"}})");
    std::vector<std::string> opened, folders;
    d->openURL = [&](const std::string& url) { opened.push_back(url); };
    auto oldFolderOpener = folderOpener;
    folderOpener = [&](const std::string& folder) { folders.push_back(folder); };
    d->openSettings();
    ListSection& svc = d->svcSec();
    QAction* browser = svc.contextMenu()->actions()[4];
    QAction* folder = svc.contextMenu()->actions()[5];
    // shop has a health address; the found project api has none.
    for (auto [row, page] :
         {std::pair{0, std::string("http://127.0.0.1:4999/")}, std::pair{1, std::string()}}) {
        SCOPED_TRACE(row);
        opened.clear();
        emit svc.table->contextMenuRequested(row, QPoint());
        svc.contextMenu()->close();
        EXPECT_EQ(browser->isEnabled(), !page.empty());
        browser->trigger();
        EXPECT_EQ(opened,
                  page.empty() ? std::vector<std::string>{} : std::vector<std::string>{page});
        folder->trigger();
    }
    EXPECT_EQ(folders, (std::vector<std::string>{shop, api}));
    folderOpener = oldFolderOpener;
}

TEST_F(SettingsController, AppPickerListsInstalledAppsAndAddsThemByName) {
    KestruneTest::ScopedEnv dataHome("XDG_DATA_HOME", tmp.path() + "/share");
    KestruneTest::ScopedEnv dataDirs("XDG_DATA_DIRS", tmp.path() + "/system");
    std::string viewer = tmp.write("share/applications/org.example.viewer.desktop",
                                   "[Desktop Entry]\nType=Application\nName=Picture Viewer\n"
                                   "Exec=viewer %f\nIcon=viewer\n");
    tmp.write("system/applications/calc.desktop",
              "[Desktop Entry]\nType=Application\nName=Calculator\nExec=calc\n");
    std::string tool = tmp.mkdir("Apps/Tool.app");

    for (bool fromOther : {false, true}) {
        SCOPED_TRACE(fromOther);
        QStringList listed;
        d->chooseApps = [&] {
            Kestrune::AppPicker picker(installedApps());
            for (int i = 0; i < picker.list->count(); ++i)
                listed << picker.list->item(i)->text();
            picker.chooseOther = [&](QWidget*) {
                return QStringList{QString::fromStdString(tool)};
            };
            if (fromOther) {
                picker.other->click();
            } else {
                picker.search->setText("VIEW"); // the first match is taken
                EXPECT_TRUE(picker.list->item(0)->isHidden());
                picker.add->click();
            }
            EXPECT_EQ(picker.result(), QDialog::Accepted);
            return picker.chosen();
        };
        d->addApp();
        EXPECT_EQ(listed, (QStringList{"Calculator", "Picture Viewer"}));
        AppEntry added = load().back();
        EXPECT_EQ(added.name, fromOther ? "Tool" : "Picture Viewer");
        EXPECT_EQ(added.path, fromOther ? tool : viewer);
        EXPECT_NE(readAll(logPath()).find("[" + added.name + "] added to keep-alive list\n"),
                  std::string::npos);
    }
}

TEST(WorkspaceIcon, DesktopFilesBundlesAndMissingFiles) {
    TempDir tmp;
    QImage square(48, 48, QImage::Format_ARGB32);
    square.fill(QColor(20, 120, 220));
    std::string png = tmp.path() + "/art/icon.png";
    makeFolders(parentFolder(png));
    ASSERT_TRUE(square.save(QString::fromStdString(png)));
    std::string desktop = tmp.write("a.desktop", "[Desktop Entry]\nType=Application\nName=A\n"
                                                 "Exec=a\nIcon=" +
                                                     png + "\n");
    std::string noIcon = tmp.write("b.desktop", "[Desktop Entry]\nType=Application\nName=B\n"
                                                "Exec=b\nIcon=" +
                                                    tmp.path() + "/gone.png\n");
    std::string bundle = tmp.mkdir("Tool.app");
    tmp.write("Tool.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIconFile</key><string>icon.png</string></dict></plist>\n");
    std::string resources = tmp.mkdir("Tool.app/Contents/Resources");
    ASSERT_TRUE(square.save(QString::fromStdString(resources + "/icon.png")));

    // The file's own picture where it names one, scaled to the row's needs.
    for (const std::string& path : {desktop, bundle}) {
        SCOPED_TRACE(path);
        QImage image = workspaceIcon(path, {}, 64);
        ASSERT_FALSE(image.isNull());
        QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
        EXPECT_EQ(centre.rgb(), QColor(20, 120, 220).rgb());
    }
    // A named icon that is gone and a path that does not exist fall back without harm.
    for (const std::string& path : {noIcon, tmp.path() + "/nothing/here.AppImage"}) {
        SCOPED_TRACE(path);
        QImage image = workspaceIcon(path, {}, 64);
        if (!image.isNull()) {
            EXPECT_NE(image.pixelColor(image.width() / 2, image.height() / 2).rgb(),
                      QColor(20, 120, 220).rgb());
        }
    }
}
