// Desktop notifications through the freedesktop notification service on the session
// bus. A service that answers counts as permission granted; none, as denied.
#pragma once

#include "core/Paths.h"

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <string>

namespace Kestrune {

enum class AuthorizationStatus { notDetermined, denied, authorized, provisional, ephemeral };

// The word the permission marker holds for a status.
std::string permissionWord(AuthorizationStatus status);

// Writes word + LF to stateDir + "/notify-permission" atomically, creating the folder;
// failures are ignored.
void writePermissionMarker(const std::string& word,
                           const std::string& stateDir = KestruneCore::stateFolder());

class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject* parent = nullptr);

    // Asks the notification service for its identity without blocking; `done` runs
    // on this object's thread with the resulting status.
    void requestAuthorization(std::function<void(AuthorizationStatus)> done);

    // Shows one notification now from "Kestrune"; the reply is not awaited.
    void post(const std::string& title, const std::string& body);

private:
    QDBusConnection bus_;
};

} // namespace Kestrune
