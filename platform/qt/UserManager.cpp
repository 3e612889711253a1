#include "platform/qt/UserManager.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace Kestrune {

namespace {

const QString managerService = "org.freedesktop.systemd1";
const QString managerPath = "/org/freedesktop/systemd1";
const QString managerInterface = "org.freedesktop.systemd1.Manager";
const QString unitInterface = "org.freedesktop.systemd1.Unit";
const QString propertiesInterface = "org.freedesktop.DBus.Properties";
const QString activeStateKey = "ActiveState";

QDBusMessage managerCall(const QString& method) {
    return QDBusMessage::createMethodCall(managerService, managerPath, managerInterface, method);
}

} // namespace

QStringList sessionAssignments(const QProcessEnvironment& env) {
    QStringList out;
    for (const QString& name : sessionVariables)
        if (env.contains(name))
            out << name + "=" + env.value(name);
    return out;
}

bool setManagerEnvironment(const QDBusConnection& bus, const QStringList& assignments) {
    if (assignments.isEmpty())
        return true;
    if (!bus.isConnected())
        return false;
    QDBusMessage call = managerCall("SetEnvironment");
    call << assignments;
    return bus.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

UnitActiveState::UnitActiveState(const QString& unit, QDBusConnection bus, QObject* parent)
    : QObject(parent), unit_(unit), bus_(std::move(bus)) {
    if (!bus_.isConnected())
        return;
    // A manager that restarts forgets our subscription and may come back with the
    // unit in another state.
    auto* watcher = new QDBusServiceWatcher(managerService, bus_,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &UnitActiveState::follow);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { take({}); });
    follow();
}

void UnitActiveState::follow() {
    // The manager sends unit signals only while someone has subscribed.
    bus_.asyncCall(managerCall("Subscribe"));
    QDBusMessage load = managerCall("LoadUnit");
    load << unit_;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(load), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            take({});
            return;
        }
        QString path = reply.arguments().first().value<QDBusObjectPath>().path();
        if (path != path_) {
            if (!path_.isEmpty())
                bus_.disconnect(managerService, path_, propertiesInterface, "PropertiesChanged",
                                this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
            path_ = path;
            bus_.connect(managerService, path_, propertiesInterface, "PropertiesChanged", this,
                         SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        }
        readState();
    });
}

void UnitActiveState::readState() {
    QDBusMessage get =
        QDBusMessage::createMethodCall(managerService, path_, propertiesInterface, "Get");
    get << unitInterface << activeStateKey;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusMessage reply = w->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            take(reply.arguments().first().value<QDBusVariant>().variant().toString());
        else
            take({});
    });
}

void UnitActiveState::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated) {
    if (interface != unitInterface)
        return;
    if (changed.contains(activeStateKey))
        take(changed.value(activeStateKey).toString());
    else if (invalidated.contains(activeStateKey))
        readState();
}

void UnitActiveState::take(const QString& state) {
    if (state == state_)
        return;
    state_ = state;
    emit changed();
}

} // namespace Kestrune
