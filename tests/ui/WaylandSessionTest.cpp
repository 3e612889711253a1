// The tray program as a native Wayland client: a headless sway, waybar's tray as the
// StatusNotifierItem host and a private session bus. sway refuses to run as root, so
// under root the compositor, the bar and the program run as the unprivileged `nobody`,
// with a private runtime folder and home of their own and nothing else of ours
// writable. Skips where any part cannot start.
#include "SessionBus.h"
#include "TempDir.h"
#include "platform/Process.h"

#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using KestruneTest::TempDir;
using KestruneTest::waitFor;

namespace {

// The account the desktop runs as when the test runs as root.
struct Guest {
    uid_t uid;
    gid_t gid;
    std::string name;
};

// True when a window named `name` from a native Wayland client lies among the floating
// windows of `node`'s tree.
bool floats(const nlohmann::json& node, const std::string& name, bool floating = false) {
    if (floating && node.value("name", "") == name && node.value("shell", "") == "xdg_shell")
        return true;
    for (const char* key : {"nodes", "floating_nodes"})
        if (node.contains(key))
            for (const auto& child : node[key])
                if (floats(child, name, floating || std::string(key) == "floating_nodes"))
                    return true;
    return false;
}

class WaylandSession : public ::testing::Test, protected KestruneTest::SessionBus {
protected:
    TempDir tmp;
    QProcess sway, waybar, kestrune;
    std::optional<Guest> guest;
    std::string run, home;
    QString program = KESTRUNE_PATH;
    const std::string state = "home/.local/state/kestrune";

    void SetUp() override {
        for (const char* tool : {"sway", "swaymsg", "waybar", "dbus-daemon", "setpriv"})
            if (!KestruneCore::findInPath(tool))
                GTEST_SKIP() << tool << " is not installed";
        if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                           "/platforms/libqwayland-generic.so"))
            GTEST_SKIP() << "Qt's Wayland plugin is not installed (qt6-wayland)";
        if (::geteuid() == 0) {
            const passwd* pw = ::getpwnam("nobody");
            if (!pw)
                GTEST_SKIP() << "no unprivileged account to run sway as";
            guest = Guest{pw->pw_uid, pw->pw_gid, pw->pw_name};
        }

        // The guest may pass through the test's folder to its own, and read the
        // configurations and the stand-in systemctl, but write only its home and
        // runtime folder.
        ::chmod(tmp.path().c_str(), 0711);
        run = tmp.mkdir("run");
        home = tmp.mkdir("home");
        tmp.write("bin/systemctl", "#!/bin/sh\nexit 0\n", true);
        tmp.write("sway.conf", "xwayland disable\noutput * bg #000000 solid_color\n");
        tmp.write("waybar.json", R"({"position": "top", "height": 30, "modules-right": ["tray"]})");
        tmp.write("home/.config/kestrune/apps.tsv",
                  "1\tNotes\t/usr/share/applications/notes.desktop\tapp\n");
        tmp.write(state + "/problems.tsv",
                  "Notes\tnot-running-relaunching\trestarting\t2026-12-07 10:00:00\texit 1\n");
        auto giveToGuest = [&](const std::string& path) {
            return !guest || ::chown(path.c_str(), guest->uid, guest->gid) == 0;
        };
        for (const auto& e : std::filesystem::recursive_directory_iterator(home))
            ASSERT_TRUE(giveToGuest(e.path().string()));
        for (const std::string& own : {run, home})
            ASSERT_TRUE(::chmod(own.c_str(), 0700) == 0 && giveToGuest(own));

        if (guest) {
            // A build tree in a private home folder is out of the guest's reach: the
            // program then runs from a copy in the test's folder (it links our own
            // libraries statically, so the copy alone is enough).
            if (!guestCanRun(program)) {
                program = QString::fromStdString(tmp / "bin/kestrune");
                std::filesystem::copy_file(KESTRUNE_PATH, program.toStdString());
                if (!guestCanRun(program))
                    GTEST_SKIP() << KESTRUNE_PATH << " is out of reach of " << guest->name;
            }
        }

        // Only the two of us may connect, through a socket in the guest's runtime folder.
        std::string users = "<allow user=\"root\"/>";
        if (guest)
            users += "<allow user=\"" + guest->name + "\"/>";
        tmp.write("bus.conf", "<busconfig><type>session</type><listen>unix:path=" + run +
                                  "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">" +
                                  users +
                                  "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                                  "</policy></busconfig>\n");
        if (!startBus(QString::fromStdString(tmp / "bus.conf")))
            GTEST_SKIP() << "no session bus";

        startAsGuest(sway, "sway", {"-c", QString::fromStdString(tmp / "sway.conf")},
                     {{"WLR_BACKENDS", "headless"},
                      {"WLR_LIBINPUT_NO_DEVICES", "1"},
                      {"WLR_RENDERER", "pixman"}});
        if (!waitFor([&] { return sway.state() != QProcess::Running || !swaySocket().isEmpty(); },
                     15000) ||
            sway.state() != QProcess::Running) {
            QString why = QString::fromUtf8(sway.readAllStandardError()).trimmed();
            GTEST_SKIP() << "sway did not start: " << why.section('\n', -1).toStdString();
        }
        startAsGuest(waybar, "waybar", {"-c", QString::fromStdString(tmp / "waybar.json")});
        if (!waitFor([&] { return connection().interface()->isServiceRegistered(watcher); }))
            GTEST_SKIP() << "waybar's tray did not start";
    }

    void TearDown() override {
        KestruneTest::endAll({&kestrune, &waybar, &sway});
        stopBus();
    }

    bool guestCanRun(const QString& path) {
        QProcess reach;
        startAsGuest(reach, "test", {"-x", path});
        return reach.waitForFinished(10000) && reach.exitCode() == 0;
    }

    // Starts `program` as the guest (as ourselves when we are not root) with only the
    // session's environment: nothing of the real home or display leaks in.
    void startAsGuest(QProcess& process, const QString& program, QStringList args,
                      const std::map<QString, QString>& extra = {}) {
        QProcessEnvironment env;
        env.insert("PATH", QString::fromStdString(tmp / "bin") + ":/usr/bin:/bin");
        env.insert("HOME", QString::fromStdString(home));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(run));
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert("LANG", "C.UTF-8");
        env.insert("NO_AT_BRIDGE", "1");
        if (QString display = waylandDisplay(); !display.isEmpty())
            env.insert("WAYLAND_DISPLAY", display);
        for (const auto& [k, v] : extra)
            env.insert(k, v);
        process.setProcessEnvironment(env);
        QString command = program;
        if (guest) {
            args.prepend(program);
            args.prepend("--");
            args.prepend("--clear-groups");
            args.prepend("--no-new-privs");
            args.prepend("--regid=" + QString::number(guest->gid));
            args.prepend("--reuid=" + QString::number(guest->uid));
            command = "setpriv";
        }
        process.start(command, args);
        process.waitForStarted(10000);
    }

    QString findInRun(const QString& prefix, const QString& suffix = {}) {
        for (const auto& e : std::filesystem::directory_iterator(run)) {
            QString name = QString::fromStdString(e.path().filename().string());
            if (name.startsWith(prefix) && name.endsWith(suffix) && !name.endsWith(".lock"))
                return name;
        }
        return {};
    }
    QString waylandDisplay() { return findInRun("wayland-"); }
    QString swaySocket() {
        QString ipc = findInRun("sway-ipc.", ".sock");
        return ipc.isEmpty() ? ipc : QString::fromStdString(run) + "/" + ipc;
    }

    nlohmann::json windowTree() {
        KestruneCore::ProcessOptions options;
        options.environment = {{"SWAYSOCK", swaySocket().toStdString()}};
        auto r = KestruneCore::runProcess({"swaymsg", "-r", "-t", "get_tree"}, options);
        return nlohmann::json::parse(r.output, nullptr, false);
    }
};

} // namespace

// The item registers with waybar's watcher; the menu waybar draws follows a new problem
// and its "Settings…" opens Settings, which sway floats.
TEST_F(WaylandSession, TrayItemMenuAndFloatingSettingsOnSway) {
    startAsGuest(kestrune, program, {},
                 {{"QT_QPA_PLATFORM", "wayland"}, {"KESTRUNE_AGENT_BACKEND", "systemd"}});
    ASSERT_EQ(kestrune.state(), QProcess::Running);
    ASSERT_TRUE(waitFor([&] { return items().size() == 1; })) << "no item registered";
    auto [service, menuPath] = exportedMenu();
    ASSERT_FALSE(menuPath.isEmpty());
    ASSERT_TRUE(waitFor([&] { return menuEntries(service, menuPath).size() >= 5; }));
    // waybar draws icon files in their own colours, so it is given pictures and no name
    // from the first icon on.
    QDBusMessage iconName = call(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                                 "Get", {"org.kde.StatusNotifierItem", "IconName"});
    ASSERT_EQ(iconName.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(iconName.arguments()[0].value<QDBusVariant>().variant().toString().toStdString(), "");

    const QString dbusmenu = "com.canonical.dbusmenu";
    ASSERT_TRUE(menuChangesAfter(service, menuPath, [&] {
        tmp.write(state + "/problems.tsv",
                  "Notes\tnot-running-relaunching\trestarting\t2026-12-07 10:00:00\texit 1\n"
                  "shop\tretry-limit\tstuck\t2026-12-07 10:01:00\trefused\n");
    }));
    std::map<QString, int> ids;
    for (const auto& [label, id] : menuEntries(service, menuPath))
        ids[label] = id;
    EXPECT_TRUE(ids.count(QString::fromUtf8("shop couldn't be relaunched \u2013 needs you")));
    ASSERT_TRUE(ids.count(QString::fromUtf8("Settings\u2026")));

    call(service, menuPath, dbusmenu, "Event",
         {ids[QString::fromUtf8("Settings\u2026")], "clicked",
          QVariant::fromValue(QDBusVariant(QString())), uint(0)});
    EXPECT_TRUE(waitFor([&] { return floats(windowTree(), "Kestrune Settings"); }))
        << windowTree().dump();
    EXPECT_EQ(kestrune.state(), QProcess::Running);
}
