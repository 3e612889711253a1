#include "statusitem/DesktopNotifications.h"

#include "core/FileIO.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace Kestrune {

namespace {

const QString service = "org.freedesktop.Notifications";
const QString objectPath = "/org/freedesktop/Notifications";
const QString interface = "org.freedesktop.Notifications";

} // namespace

std::string permissionWord(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::notDetermined:
        return "notDetermined";
    case AuthorizationStatus::denied:
        return "denied";
    case AuthorizationStatus::authorized:
        return "authorized";
    case AuthorizationStatus::provisional:
        return "provisional";
    case AuthorizationStatus::ephemeral:
        return "ephemeral";
    }
    return "unknown";
}

void writePermissionMarker(const std::string& word, const std::string& stateDir) {
    KestruneCore::makeFolders(stateDir);
    KestruneCore::writeFileAtomically(stateDir + "/notify-permission", word + "\n");
}

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

void DesktopNotifications::requestAuthorization(std::function<void(AuthorizationStatus)> done) {
    if (!bus_.isConnected()) {
        QMetaObject::invokeMethod(
            this, [done] { done(AuthorizationStatus::denied); }, Qt::QueuedConnection);
        return;
    }
    // Calling the service also starts it when the bus activates it on demand.
    auto call =
        QDBusMessage::createMethodCall(service, objectPath, interface, "GetServerInformation");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        done(w->isError() ? AuthorizationStatus::denied : AuthorizationStatus::authorized);
    });
}

void DesktopNotifications::post(const std::string& title, const std::string& body) {
    if (!bus_.isConnected())
        return;
    auto call = QDBusMessage::createMethodCall(service, objectPath, interface, "Notify");
    call << QString("Kestrune") << uint(0) << QString() << QString::fromStdString(title)
         << QString::fromStdString(body) << QStringList() << QVariantMap() << int(-1);
    bus_.asyncCall(call);
}

} // namespace Kestrune
