#include "TempDir.h"
#include "app/D.h"
#include "core/Paths.h"
#include "platform/Process.h"
#include "platform/qt/FileManager.h"
#include "statusitem/DesktopNotifications.h"
#include "statusitem/DesktopTheme.h"
#include "statusitem/PanelAppearance.h"
#include "statusitem/TrayHostTraits.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace Kestrune;
using KestruneTest::readAll;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

bool waitFor(const std::function<bool()>& done) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

// Stands in for a desktop's notification service and records what it is asked.
class FakeNotificationService : public QDBusVirtualObject {
public:
    std::vector<QDBusMessage> received;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        received.push_back(message);
        if (message.member() == "GetServerInformation")
            bus.send(message.createReply(QVariantList{"fake", "kestrune", "1", "1.2"}));
        else if (message.member() == "Notify")
            bus.send(message.createReply(QVariantList{uint(received.size())}));
        else
            return false;
        return true;
    }
};

// A private session bus for one test, ended with it.
class PrivateBus : public ::testing::Test {
protected:
    TempDir tmp;
    ScopedHome scopedHome{tmp.path()};
    QProcess daemon;
    QString address;

    void SetUp() override {
        auto program = KestruneCore::findInPath("dbus-daemon");
        if (!program)
            GTEST_SKIP() << "dbus-daemon is not installed";
        daemon.start(QString::fromStdString(*program),
                     {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        ASSERT_TRUE(daemon.waitForStarted(10000));
        ASSERT_TRUE(waitFor([&] { return daemon.canReadLine(); }));
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus("kestrune-client");
        QDBusConnection::disconnectFromBus("kestrune-fake");
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            daemon.waitForFinished(10000);
        }
    }
    QDBusConnection connect(const QString& name) {
        return QDBusConnection::connectToBus(address, name);
    }
};

} // namespace

TEST_F(PrivateBus, AnsweringServiceAllowsNotificationsAndReceivesThem) {
    QDBusConnection fakeBus = connect("kestrune-fake");
    ASSERT_TRUE(fakeBus.isConnected());
    FakeNotificationService fake;
    ASSERT_TRUE(fakeBus.registerVirtualObject("/org/freedesktop/Notifications", &fake));
    ASSERT_TRUE(fakeBus.registerService("org.freedesktop.Notifications"));

    D d;
    d.setNotificationBus(connect("kestrune-client"));
    d.notify("early", "dropped"); // before the answer: not allowed, not queued
    d.setupNotifications();
    ASSERT_TRUE(waitFor([&] { return d.notifyAllowed; }));
    EXPECT_EQ(readAll(KestruneCore::stateFolder() + "/notify-permission"), "authorized\n");

    d.notify("Mail quit \u2013 restarting\u2026", "exit 1");
    ASSERT_TRUE(waitFor([&] { return fake.received.size() == 2; }));
    const QDBusMessage& notify = fake.received[1];
    EXPECT_EQ(notify.member(), "Notify");
    QVariantList args = notify.arguments();
    ASSERT_EQ(args.size(), 8);
    EXPECT_EQ(args[0].toString(), "Kestrune");
    EXPECT_EQ(args[3].toString(), QString::fromUtf8("Mail quit \u2013 restarting\u2026"));
    EXPECT_EQ(args[4].toString(), "exit 1");
    EXPECT_EQ(args[7].toInt(), -1);
}

TEST_F(PrivateBus, NoServiceMeansDenied) {
    DesktopNotifications notifications(connect("kestrune-client"));
    std::optional<AuthorizationStatus> status;
    notifications.requestAuthorization([&](AuthorizationStatus s) { status = s; });
    ASSERT_TRUE(waitFor([&] { return status.has_value(); }));
    EXPECT_EQ(*status, AuthorizationStatus::denied);

    // Without any bus the answer is the same, and the marker records it.
    D d;
    d.setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
    d.setupNotifications();
    ASSERT_TRUE(waitFor(
        [] { return readAll(KestruneCore::stateFolder() + "/notify-permission") == "denied\n"; }));
    EXPECT_FALSE(d.notifyAllowed);
}

namespace {

// Stands in for a file manager on the bus: answers each call, or refuses it.
class FakeFileManager : public QDBusVirtualObject {
public:
    bool refuse = false;
    std::vector<QDBusMessage> received;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        received.push_back(message);
        bus.send(refuse ? message.createErrorReply("org.freedesktop.DBus.Error.Failed", "no")
                        : message.createReply());
        return true;
    }
};

} // namespace

// The file manager runs in this very process, on the main thread: it can answer only
// if asking it never waits there.
TEST_F(PrivateBus, FileManagerIsAskedWithoutWaitingAndElseTheFallbackRuns) {
    QDBusConnection managerBus = connect("kestrune-fake");
    FakeFileManager manager;
    ASSERT_TRUE(managerBus.registerVirtualObject("/org/freedesktop/FileManager1", &manager));
    ASSERT_TRUE(managerBus.registerService("org.freedesktop.FileManager1"));
    const QDBusConnection client = connect("kestrune-client");
    using KestruneCore::FileManagerShow;
    using KestruneCore::showInFileManager;

    // Answered, then refused: replies come back in order, so once the second falls
    // back the first has had its answer.
    bool answeredFellBack = false, refusedFellBack = false;
    showInFileManager(client, "/tmp/a b/log.txt", FileManagerShow::item,
                      [&] { answeredFellBack = true; });
    EXPECT_FALSE(answeredFellBack); // never inside the call
    ASSERT_TRUE(waitFor([&] { return manager.received.size() == 1; }));
    manager.refuse = true;
    showInFileManager(client, "/tmp/a b", FileManagerShow::folder, [&] { refusedFellBack = true; });
    ASSERT_TRUE(waitFor([&] { return refusedFellBack; }));
    EXPECT_FALSE(answeredFellBack);
    ASSERT_EQ(manager.received.size(), 2u);
    EXPECT_EQ(manager.received[0].member(), "ShowItems");
    EXPECT_EQ(manager.received[0].arguments().value(0).toStringList(),
              QStringList{"file:///tmp/a%20b/log.txt"});
    EXPECT_EQ(manager.received[1].member(), "ShowFolders");

    // No file manager at all, and no bus at all.
    ASSERT_TRUE(managerBus.unregisterService("org.freedesktop.FileManager1"));
    for (const QDBusConnection& bus : {client, QDBusConnection("kestrune-test-no-bus")}) {
        bool fellBack = false;
        showInFileManager(bus, "/tmp/x", FileManagerShow::item, [&] { fellBack = true; });
        EXPECT_FALSE(fellBack);
        EXPECT_TRUE(waitFor([&] { return fellBack; }));
    }
}

namespace {

// Stands in for the desktop's settings portal: answers the colour scheme it holds.
class FakePortal : public QDBusVirtualObject {
public:
    uint scheme = 1;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.member() != "Read")
            return false;
        // Read wraps the value in one variant more than the value itself.
        QDBusVariant inner(QVariant::fromValue(scheme));
        bus.send(message.createReply(
            QVariantList{QVariant::fromValue(QDBusVariant(QVariant::fromValue(inner)))}));
        return true;
    }
};

} // namespace

TEST_F(PrivateBus, PanelAppearanceFollowsTheSettingsPortal) {
    EXPECT_EQ(colorSchemeAppearance(QVariant(uint(1))), Appearance::dark);
    EXPECT_EQ(colorSchemeAppearance(QVariant(uint(2))), Appearance::light);
    EXPECT_EQ(colorSchemeAppearance(QVariant(uint(0))), std::nullopt); // no preference
    EXPECT_EQ(colorSchemeAppearance(QVariant("dark")), std::nullopt);

    QDBusConnection portalBus = connect("kestrune-fake");
    FakePortal portal;
    ASSERT_TRUE(portalBus.registerVirtualObject("/org/freedesktop/portal/desktop", &portal));
    ASSERT_TRUE(portalBus.registerService("org.freedesktop.portal.Desktop"));

    PanelAppearance panel(connect("kestrune-client"));
    int changes = 0;
    QObject::connect(&panel, &PanelAppearance::changed, [&] { ++changes; });
    ASSERT_TRUE(waitFor([&] { return panel.portalPreference().has_value(); }));
    EXPECT_EQ(panel.current(), Appearance::dark);

    // The portal announces a change.
    auto signal = QDBusMessage::createSignal("/org/freedesktop/portal/desktop",
                                             "org.freedesktop.portal.Settings", "SettingChanged");
    signal << QString("org.freedesktop.appearance") << QString("color-scheme")
           << QVariant::fromValue(QDBusVariant(QVariant::fromValue(uint(2))));
    portalBus.send(signal);
    ASSERT_TRUE(waitFor([&] { return panel.current() == Appearance::light; }));
    EXPECT_EQ(changes, 2);

    // Without a portal GTK's theme settings decide, and without those the palette.
    KestruneTest::TempDir home;
    KestruneTest::ScopedHome scopedHome(home.path());
    KestruneTest::ScopedEnv noTheme("GTK_THEME", std::nullopt);
    KestruneTest::ScopedEnv noDesktop("XDG_CURRENT_DESKTOP", std::nullopt);
    KestruneTest::ScopedEnv noSway("SWAYSOCK", std::nullopt);
    PanelAppearance none(QDBusConnection("kestrune-test-no-bus"));
    EXPECT_EQ(none.portalPreference(), std::nullopt);
    EXPECT_EQ(none.current(), appearanceOf(QGuiApplication::palette()));
    // A tray host whose stock panel is dark decides before the palette.
    none.setTrayHost("waybar");
    EXPECT_EQ(none.current(), Appearance::dark);
    none.setTrayHost("xfce4-panel");
    EXPECT_EQ(none.current(), appearanceOf(QGuiApplication::palette()));
    home.write(".config/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird-dark\n");
    EXPECT_EQ(PanelAppearance(QDBusConnection("kestrune-test-no-bus")).current(), Appearance::dark);
}

// XSETTINGS as a settings daemon publishes it: a header, then each setting (type,
// name, serial, value) padded to four bytes, in either byte order.
TEST(DesktopTheme, ThemeNameFromXSettingsAndGtkSettings) {
    auto blob = [](bool bigEndian, bool truncated) {
        QByteArray b;
        auto card = [&](quint32 v, int bytes) {
            for (int i = 0; i < bytes; ++i) {
                int shift = bigEndian ? 8 * (bytes - 1 - i) : 8 * i;
                b.append(char((v >> shift) & 0xff));
            }
        };
        auto name = [&](int type, const QByteArray& n) {
            card(quint32(type), 1), card(0, 1), card(quint32(n.size()), 2);
            b.append(n).append(QByteArray((4 - n.size() % 4) % 4, '\0'));
            card(0, 4); // serial
        };
        card(bigEndian ? 1 : 0, 1), card(0, 3), card(7, 4), card(4, 4);
        name(0, "Net/DoubleClickTime"), card(400, 4);
        name(2, "Gtk/Colour"), card(1, 2), card(2, 2), card(3, 2), card(4, 2);
        name(1, "Net/IconThemeName"), card(3, 4), b.append("elm\0", 4);
        name(1, "Net/ThemeName"), card(12, 4), b.append("Adwaita-dark");
        if (truncated)
            b.chop(3);
        return b;
    };
    EXPECT_EQ(xsettingsString(blob(false, false), "Net/ThemeName"), "Adwaita-dark");
    EXPECT_EQ(xsettingsString(blob(true, false), "Net/ThemeName"), "Adwaita-dark");
    EXPECT_EQ(xsettingsString(blob(true, false), "Net/IconThemeName"), "elm");
    EXPECT_EQ(xsettingsString(blob(false, false), "Net/DoubleClickTime"), std::nullopt);
    EXPECT_EQ(xsettingsString(blob(false, true), "Net/ThemeName"), std::nullopt);
    EXPECT_EQ(xsettingsString(QByteArray(5, '\xff'), "Net/ThemeName"), std::nullopt);

    struct Case {
        const char* text;
        std::optional<Appearance> fromName, fromIni;
    };
    const std::optional<Appearance> dark = Appearance::dark, none;
    for (const auto& c :
         {Case{"Adwaita-dark", dark, dark}, Case{"Adwaita:dark", dark, dark},
          Case{"Greybird-Dark", dark, dark}, Case{"Adwaita", none, none}, Case{"", none, none}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(themeNameAppearance(c.text), c.fromName);
        EXPECT_EQ(gtkSettingsAppearance(std::string("[Settings]\ngtk-theme-name = ") + c.text),
                  c.fromIni);
    }
    EXPECT_EQ(gtkSettingsAppearance("[Settings]\ngtk-theme-name=Adwaita\n"
                                    "gtk-application-prefer-dark-theme=1\n"),
              Appearance::dark);
    // LXQt's theme is the one under [General], whatever else the file holds.
    EXPECT_EQ(lxqtThemeName("[Qt]\ntheme=frost\n[General]\nicon_theme=breeze\n theme = dark \n"),
              "dark");
    EXPECT_EQ(lxqtThemeName("[General]\nicon_theme=breeze\n[Qt]\ntheme=dark\n"), std::nullopt);
}

// Where no setting tells the panel's look, the tray's host and the session's desktop
// do; hosts that draw icon files as they are get pictures rather than a name.
TEST(TrayHostTraits, StockPanelLookAndNamedIconsByHostAndDesktop) {
    struct Case {
        TrayHostFacts facts;
        std::optional<Appearance> look;
        bool named;
    };
    const std::optional<Appearance> dark = Appearance::dark, none;
    for (const auto& c : {
             Case{{"waybar", {}, false}, dark, false},
             Case{{"swaybar", {}, false}, dark, false},
             Case{{"lxqt-panel", {"LXQt"}, false}, none, false},
             Case{{"xfce4-panel", {"XFCE"}, false}, none, true},
             Case{{"plasmashell", {"KDE"}, false}, none, true},
             Case{{"gnome-shell", {"ubuntu", "GNOME"}, false}, none, true},
             Case{{"", {}, true}, dark, true}, // a sway session before the host is known
             Case{{"", {"Hyprland"}, false}, dark, true},
             Case{{"", {"sway"}, false}, dark, true},
             Case{{"", {}, false}, none, true},
         }) {
        SCOPED_TRACE(c.facts.program.toStdString() + " " +
                     c.facts.desktops.join(':').toStdString());
        EXPECT_EQ(stockPanelAppearance(c.facts), c.look);
        EXPECT_EQ(hostRecoloursSymbolicIcons(c.facts.program), c.named);
    }
}
