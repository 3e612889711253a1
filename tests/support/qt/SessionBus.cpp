#include "SessionBus.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QThread>

namespace KestruneTest {

bool waitFor(const std::function<bool()>& done, int limitMs) {
    for (int waited = 0; !done(); waited += 20) {
        if (waited > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuNode& node) {
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        MenuNode c;
        child.variant().value<QDBusArgument>() >> c;
        node.children.push_back(c);
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

// Each bus gets its own connection name, so a test's connection never outlives its bus.
SessionBus::SessionBus()
    : name_("session-bus-" + QString::number(reinterpret_cast<quintptr>(this), 16)) {}

SessionBus::~SessionBus() {
    stopBus();
}

bool SessionBus::startBus(const QString& configFile) {
    daemon_.start("dbus-daemon",
                  {configFile.isEmpty() ? "--session" : "--config-file=" + configFile, "--nofork",
                   "--nopidfile", "--print-address=1"});
    if (!daemon_.waitForStarted(10000) || !waitFor([&] { return daemon_.canReadLine(); }))
        return false;
    address = QString::fromUtf8(daemon_.readLine()).trimmed();
    return true;
}

void SessionBus::stopBus() {
    QDBusConnection::disconnectFromBus(name_);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000))
            daemon_.kill();
        daemon_.waitForFinished(5000);
    }
}

QDBusConnection SessionBus::connection() {
    return QDBusConnection::connectToBus(address, name_);
}

QDBusMessage SessionBus::call(const QString& service, const QString& path, const QString& interface,
                              const QString& method, const QVariantList& args) {
    auto m = QDBusMessage::createMethodCall(service, path, interface, method);
    m.setArguments(args);
    return connection().call(m, QDBus::Block, 10000);
}

QStringList SessionBus::items() {
    QDBusMessage reply = call(watcher, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                              "Get", {QString(watcher), QString("RegisteredStatusNotifierItems")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments()[0].value<QDBusVariant>().variant().toStringList();
}

std::pair<QString, QString> SessionBus::exportedMenu() {
    QString item = items().value(0);
    QString service = item.section('/', 0, 0);
    QString path = item.contains('/') ? "/" + item.section('/', 1) : "/StatusNotifierItem";
    QDBusMessage menu = call(service, path, "org.freedesktop.DBus.Properties", "Get",
                             {"org.kde.StatusNotifierItem", "Menu"});
    if (menu.type() != QDBusMessage::ReplyMessage || menu.arguments().isEmpty())
        return {};
    return {service,
            menu.arguments()[0].value<QDBusVariant>().variant().value<QDBusObjectPath>().path()};
}

std::vector<std::pair<QString, int>> SessionBus::menuEntries(const QString& service,
                                                             const QString& path) {
    QDBusMessage reply =
        call(service, path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
    MenuNode root;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2)
        reply.arguments()[1].value<QDBusArgument>() >> root;
    std::vector<std::pair<QString, int>> entries;
    for (const auto& child : root.children)
        entries.emplace_back(child.properties.value("label").toString(), child.id);
    return entries;
}

void endAll(std::initializer_list<QProcess*> processes) {
    for (QProcess* p : processes)
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(5000);
        }
}

bool SessionBus::menuChangesAfter(const QString& service, const QString& path,
                                  const std::function<void()>& change) {
    SignalCount changes;
    for (const char* name : {"LayoutUpdated", "ItemsPropertiesUpdated"})
        if (!connection().connect(service, path, "com.canonical.dbusmenu", name, &changes,
                                  SLOT(seen())))
            return false;
    change();
    return waitFor([&] { return changes.count > 0; }, 30000);
}

} // namespace KestruneTest
