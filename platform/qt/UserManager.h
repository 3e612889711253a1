// The user's systemd manager as the tray program sees it over the session bus: the
// engine unit's ActiveState, asked once and then followed through the unit's
// PropertiesChanged signal, so a refresh reads a value instead of waiting on a child
// process; and the session's environment handed over before the unit starts.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QVariantMap>

namespace Kestrune {

// The variables a unit needs to reach the user's display and session bus.
inline const QStringList sessionVariables = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
                                             "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS"};

// "NAME=value" for each of sessionVariables set (even to empty) in `env`.
QStringList sessionAssignments(const QProcessEnvironment& env);

// Sets `assignments` in the manager's environment on `bus` (SetEnvironment, what
// `systemctl --user import-environment` does) and answers whether it took them.
// Waits for the reply; safe from any thread.
bool setManagerEnvironment(const QDBusConnection& bus, const QStringList& assignments);

class UnitActiveState : public QObject {
    Q_OBJECT

public:
    // Starts asking the manager on `bus` about `unit` without blocking, and follows it
    // again whenever the manager (re)appears on the bus.
    UnitActiveState(const QString& unit, QDBusConnection bus = QDBusConnection::sessionBus(),
                    QObject* parent = nullptr);

    // The unit's ActiveState as last reported ("active", "inactive", "failed", ...);
    // empty before the first answer or when the manager cannot be reached.
    QString state() const { return state_; }
    // Whether the unit runs: active or reloading (what `systemctl is-active` accepts).
    bool active() const { return state_ == "active" || state_ == "reloading"; }

signals:
    void changed();

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void follow();
    void readState();
    void take(const QString& state);

    QString unit_;
    QDBusConnection bus_;
    QString path_;
    QString state_;
};

} // namespace Kestrune
