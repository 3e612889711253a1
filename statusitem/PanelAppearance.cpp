#include "statusitem/PanelAppearance.h"

#include "statusitem/DesktopTheme.h"
#include "statusitem/TrayHostTraits.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QPalette>
#include <QStyleHints>

namespace Kestrune {

namespace {

const QString portalService = "org.freedesktop.portal.Desktop";
const QString portalPath = "/org/freedesktop/portal/desktop";
const QString settingsInterface = "org.freedesktop.portal.Settings";
const QString appearanceGroup = "org.freedesktop.appearance";
const QString schemeKey = "color-scheme";

// Read answers the value wrapped in one more variant than ReadOne; unwrap them all.
QVariant unwrapped(QVariant value) {
    for (int depth = 0; depth < 4; ++depth) {
        if (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
            value = value.value<QDBusVariant>().variant();
        else if (value.userType() == qMetaTypeId<QDBusArgument>()) {
            QDBusVariant inner;
            value.value<QDBusArgument>() >> inner;
            value = inner.variant();
        } else
            break;
    }
    return value;
}

} // namespace

std::optional<Appearance> colorSchemeAppearance(const QVariant& value) {
    QVariant v = unwrapped(value);
    bool ok = false;
    uint scheme = v.toUInt(&ok);
    if (!ok)
        return std::nullopt;
    if (scheme == 1)
        return Appearance::dark;
    if (scheme == 2)
        return Appearance::light;
    return std::nullopt;
}

PanelAppearance::PanelAppearance(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), theme_(desktopThemeAppearance()),
      stock_(stockPanelAppearance(sessionTrayHostFacts({}))) {
    if (!bus_.isConnected())
        return;
    bus_.connect(portalService, portalPath, settingsInterface, "SettingChanged", this,
                 SLOT(settingChanged(QString, QString, QDBusVariant)));
    auto call =
        QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, "Read");
    call << appearanceGroup << schemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusMessage reply = w->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            take(reply.arguments().first());
    });
}

Appearance PanelAppearance::current() const {
    if (portal_)
        return *portal_;
    if (theme_)
        return *theme_;
    if (stock_)
        return *stock_;
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    if (auto* hints = QGuiApplication::styleHints()) {
        if (hints->colorScheme() == Qt::ColorScheme::Dark)
            return Appearance::dark;
        if (hints->colorScheme() == Qt::ColorScheme::Light)
            return Appearance::light;
    }
#endif
    return appearanceOf(QGuiApplication::palette());
}

void PanelAppearance::setTrayHost(const QString& program) {
    Appearance before = current();
    stock_ = stockPanelAppearance(sessionTrayHostFacts(program));
    if (current() != before)
        emit changed();
}

void PanelAppearance::settingChanged(const QString& group, const QString& key,
                                     const QDBusVariant& value) {
    if (group == appearanceGroup && key == schemeKey)
        take(value.variant());
}

void PanelAppearance::take(const QVariant& value) {
    auto before = portal_;
    portal_ = colorSchemeAppearance(value);
    if (portal_ != before)
        emit changed();
}

} // namespace Kestrune
