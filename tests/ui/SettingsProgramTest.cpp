// The tray program as a user's assistive technology sees it: started with
// --open-settings on a private X server and session bus, its Settings window is read
// and operated through the accessibility bus.
#include "TempDir.h"
#include "core/FileIO.h"
#include "health/StatusSummary.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace {

struct AtspiRef {
    QString service;
    QDBusObjectPath path;
};

} // namespace

Q_DECLARE_METATYPE(AtspiRef)

namespace {

QDBusArgument& operator<<(QDBusArgument& a, const AtspiRef& r) {
    a.beginStructure();
    a << r.service << r.path;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, AtspiRef& r) {
    a.beginStructure();
    a >> r.service >> r.path;
    a.endStructure();
    return a;
}

constexpr unsigned stateChecked = 4;
constexpr unsigned stateSensitive = 24;
const QString accessible = "org.a11y.atspi.Accessible";

struct Node {
    AtspiRef ref;
    QString name;
    QString role;
    std::vector<unsigned> states;
    bool has(unsigned state) const {
        size_t word = state / 32;
        return word < states.size() && (states[word] >> (state % 32)) & 1u;
    }
};

class Accessibility {
public:
    explicit Accessibility(QDBusConnection bus) : bus_(std::move(bus)) {
        qDBusRegisterMetaType<AtspiRef>();
        qDBusRegisterMetaType<QList<AtspiRef>>();
    }

    QDBusMessage call(const AtspiRef& r, const QString& iface, const QString& method,
                      const QVariantList& args = {}) const {
        auto m = QDBusMessage::createMethodCall(r.service, r.path.path(), iface, method);
        m.setArguments(args);
        return bus_.call(m, QDBus::Block, 2000);
    }
    QString name(const AtspiRef& r) const {
        auto reply = call(r, "org.freedesktop.DBus.Properties", "Get", {accessible, "Name"});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments()[0].value<QDBusVariant>().variant().toString();
    }
    QList<AtspiRef> children(const AtspiRef& r) const {
        QList<AtspiRef> out;
        auto reply = call(r, accessible, "GetChildren");
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            reply.arguments()[0].value<QDBusArgument>() >> out;
        return out;
    }
    std::vector<unsigned> states(const AtspiRef& r) const {
        auto reply = call(r, accessible, "GetState");
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        auto list = qdbus_cast<QList<uint>>(reply.arguments()[0]);
        return {list.begin(), list.end()};
    }
    // The application whose root is named `app`, if it is on the bus yet.
    std::optional<AtspiRef> application(const QString& app) const {
        auto names = bus_.call(QDBusMessage::createMethodCall(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames"));
        for (const QString& n : names.arguments().value(0).toStringList()) {
            AtspiRef root{n, QDBusObjectPath("/org/a11y/atspi/accessible/root")};
            if (n.startsWith(':') && name(root) == app)
                return root;
        }
        return std::nullopt;
    }
    std::vector<Node> tree(const AtspiRef& root) const {
        std::vector<Node> out;
        std::function<void(const AtspiRef&, int)> walk = [&](const AtspiRef& r, int depth) {
            if (depth > 40)
                return;
            auto role = call(r, accessible, "GetRoleName").arguments().value(0).toString();
            out.push_back(Node{r, name(r), role, states(r)});
            for (const auto& c : children(r))
                walk(c, depth + 1);
        };
        walk(root, 0);
        return out;
    }

private:
    QDBusConnection bus_;
};

bool waitFor(const std::function<bool()>& done, int limitMs = 20000) {
    for (int waited = 0; !done(); waited += 50) {
        if (waited > limitMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// Starts a program and reads the first line it prints.
std::unique_ptr<QProcess> startReadingLine(const QString& program, const QStringList& args,
                                           const QProcessEnvironment& env, QString& line) {
    auto p = std::make_unique<QProcess>();
    p->setProcessEnvironment(env);
    p->start(program, args);
    if (!p->waitForStarted(5000))
        return nullptr;
    while (!p->canReadLine())
        if (!p->waitForReadyRead(10000))
            return nullptr;
    line = QString::fromUtf8(p->readLine()).trimmed();
    return p;
}

void stop(std::unique_ptr<QProcess>& p) {
    if (!p)
        return;
    p->terminate();
    if (!p->waitForFinished(5000)) {
        p->kill();
        p->waitForFinished(2000);
    }
}

} // namespace

TEST(SettingsProgram, RowsReadAndSwitchedThroughAccessibility) {
    for (const char* tool : {"Xvfb", "dbus-daemon"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is not installed";
    if (!KestruneCore::isExecutableFile("/usr/libexec/at-spi-bus-launcher"))
        GTEST_SKIP() << "at-spi-bus-launcher is not installed";

    KestruneTest::TempDir tmp;
    const std::string home = tmp.path() + "/home";
    const std::string data = home + "/.config/kestrune";
    std::string notes = tmp.mkdir("home/Apps/Notes.app");
    std::string shop = tmp.mkdir("home/Projects/shop");
    tmp.write("home/.config/kestrune/apps.tsv",
              "1\tNotes\t" + notes + "\tapp\n0\tshop\t" + shop + "\tservice\tlaunch.sh\n");
    tmp.mkdir("home/.local/state/kestrune");
    std::string runtime = tmp.mkdir("run");
    ::chmod(runtime.c_str(), 0700);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    env.remove("DBUS_SESSION_BUS_ADDRESS");

    QString display, busAddress;
    auto xserver = startReadingLine(
        "Xvfb", {"-displayfd", "1", "-screen", "0", "1024x900x24", "-nolisten", "tcp", "-noreset"},
        env, display);
    if (!xserver)
        GTEST_SKIP() << "Xvfb did not start";
    auto bus = startReadingLine("dbus-daemon", {"--session", "--nofork", "--print-address=1"}, env,
                                busAddress);
    if (!bus) {
        stop(xserver);
        GTEST_SKIP() << "no session bus";
    }
    env.insert("DISPLAY", ":" + display);
    env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    env.insert("KESTRUNE_AGENT_BACKEND", "none");
    auto program = std::make_unique<QProcess>();
    program->setProcessEnvironment(env);
    program->setProcessChannelMode(QProcess::ForwardedChannels);
    program->start(KESTRUNE_PATH, {"--open-settings"});
    struct Cleanup {
        std::vector<std::unique_ptr<QProcess>*> all;
        ~Cleanup() {
            for (auto* p : all)
                stop(*p);
        }
    } cleanup{{&program, &bus, &xserver}};
    ASSERT_TRUE(program->waitForStarted(5000));

    QDBusConnection session = QDBusConnection::connectToBus(busAddress, "kestrune-test-session");
    QString a11yAddress;
    waitFor([&] {
        auto reply = session.call(QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus",
                                                                 "org.a11y.Bus", "GetAddress"));
        a11yAddress = reply.arguments().value(0).toString();
        return !a11yAddress.isEmpty();
    });
    if (a11yAddress.isEmpty())
        GTEST_SKIP() << "no accessibility bus";
    Accessibility a11y(QDBusConnection::connectToBus(a11yAddress, "kestrune-test-a11y"));

    std::optional<AtspiRef> app;
    std::vector<Node> nodes;
    auto find = [&](const QString& name, const QString& role = {}) -> const Node* {
        for (const auto& n : nodes)
            if (n.name == name && (role.isEmpty() || n.role == role))
                return &n;
        return nullptr;
    };
    waitFor([&] { return (app = a11y.application("Kestrune")).has_value(); });
    if (!app)
        GTEST_SKIP() << "the program's accessibility bridge never reached the bus";
    ASSERT_TRUE(waitFor([&] {
        nodes = a11y.tree(*app);
        return find("Keep shop alive", "check box") != nullptr;
    })) << "the Settings window never showed its rows";

    // What the window shows: names, subtitles, switch states.
    EXPECT_NE(find("Kestrune Settings"), nullptr);
    EXPECT_NE(find("Notes"), nullptr);
    EXPECT_NE(find("shop"), nullptr);
    KestruneCore::AppEntry notesEntry{"Notes", notes, true, KestruneCore::EntryType::app, ""};
    std::string notesSubtitle = KestruneCore::appRowSubtitle(
        notesEntry, false, {}, home + "/.local/state/kestrune/kestrune.log");
    EXPECT_NE(find(QString::fromStdString(notesSubtitle)), nullptr) << notesSubtitle;
    EXPECT_EQ(find("No services yet"), nullptr); // shop is listed
    const Node* master = find("Keep apps and services alive", "check box");
    ASSERT_NE(master, nullptr);
    EXPECT_TRUE(master->has(stateChecked));
    const Node* notesSwitch = find("Keep Notes alive", "check box");
    const Node* shopSwitch = find("Keep shop alive", "check box");
    ASSERT_NE(notesSwitch, nullptr);
    EXPECT_TRUE(notesSwitch->has(stateChecked));
    EXPECT_TRUE(notesSwitch->has(stateSensitive));
    EXPECT_FALSE(shopSwitch->has(stateChecked));

    // Flipping Notes off through its switch edits the watch list and logs it.
    a11y.call(notesSwitch->ref, "org.a11y.atspi.Action", "DoAction", {0});
    const std::string list = data + "/apps.tsv";
    const std::string log = home + "/.local/state/kestrune/kestrune.log";
    ASSERT_TRUE(waitFor([&] { return KestruneTest::readAll(list).rfind("0\tNotes\t", 0) == 0; }))
        << KestruneTest::readAll(list);
    EXPECT_EQ(KestruneTest::readAll(list),
              "0\tNotes\t" + notes + "\tapp\n0\tshop\t" + shop + "\tservice\tlaunch.sh\n");
    std::string logText = KestruneTest::readAll(log);
    const std::string line = " [Notes] keep-alive off (from settings)\n";
    auto at = logText.find(line);
    ASSERT_NE(at, std::string::npos) << logText;
    // The line starts with its local time stamp, "yyyy-MM-dd HH:mm:ss".
    size_t start = logText.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    EXPECT_EQ(at - start, 19u) << logText.substr(start, at - start + line.size());
}
