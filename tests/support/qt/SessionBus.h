// What whole-program tests need to play a desktop over D-Bus: a private session bus,
// and the calls a StatusNotifierItem host makes on it (the watcher's registered items,
// an item's exported menu, its layout).
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QProcess>
#include <QVariantMap>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

namespace KestruneTest {

// Runs the event loop until `done` holds; false once `limitMs` have passed.
bool waitFor(const std::function<bool()>& done, int limitMs = 20000);

// Counts a D-Bus signal it is connected to.
class SignalCount : public QObject {
    Q_OBJECT
public:
    int count = 0;
public slots:
    void seen() { ++count; }
};

// Ends each process still running: asked first, then forced.
void endAll(std::initializer_list<QProcess*> processes);

// One entry of an exported menu.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    std::vector<MenuNode> children;
};

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuNode& node);

class SessionBus {
public:
    static constexpr const char* watcher = "org.kde.StatusNotifierWatcher";

    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Starts dbus-daemon as a session bus, or with `configFile` instead of the stock
    // session configuration. False when it cannot start.
    bool startBus(const QString& configFile = {});
    void stopBus();

    QDBusConnection connection();
    QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& args = {});
    // The registered items of the host's watcher.
    QStringList items();
    // The exported menu of the first registered item: its service and object path.
    std::pair<QString, QString> exportedMenu();
    // The top level of that menu as the host reads it: each label with its id.
    std::vector<std::pair<QString, int>> menuEntries(const QString& service, const QString& path);
    // Does `change` and waits up to 30 s for either signal by which an exported menu
    // says it changed; false when none came (or the signals could not be followed).
    bool menuChangesAfter(const QString& service, const QString& path,
                          const std::function<void()>& change);

    QString address;

private:
    QProcess daemon_;
    QString name_;
};

} // namespace KestruneTest
