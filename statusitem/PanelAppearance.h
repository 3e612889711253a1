// Whether the panel holding the tray icon is dark or light. The application's palette
// says nothing about the panel, so the desktop is asked first: the colour-scheme
// preference of its settings portal, then the theme it publishes (see DesktopTheme.h),
// then the look of the tray host's or the desktop's stock panel (see TrayHostTraits.h),
// then the platform theme's colour scheme, and only then the palette. The icon stays readable when
// the guess is wrong (see trayImage), so a desktop that says nothing costs legibility, not
// visibility.
#pragma once

#include "statusitem/StatusIcon.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>

#include <optional>

namespace Kestrune {

// The portal's "color-scheme" value: 1 prefers dark, 2 prefers light, anything else
// says nothing.
std::optional<Appearance> colorSchemeAppearance(const QVariant& value);

class PanelAppearance : public QObject {
    Q_OBJECT

public:
    // Asks the portal on `bus` without blocking and follows its changes.
    explicit PanelAppearance(QDBusConnection bus = QDBusConnection::sessionBus(),
                             QObject* parent = nullptr);

    Appearance current() const;
    // What the portal said, none before it answered or when it cannot say.
    std::optional<Appearance> portalPreference() const { return portal_; }
    // The program that hosts the tray changed; emits changed() when that changes the look.
    void setTrayHost(const QString& program);

signals:
    // The portal's preference arrived or changed.
    void changed();

private slots:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void take(const QVariant& value);

    QDBusConnection bus_;
    std::optional<Appearance> portal_;
    std::optional<Appearance> theme_;
    std::optional<Appearance> stock_;
};

} // namespace Kestrune
