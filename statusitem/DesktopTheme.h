// The desktop's theme as a hint of the panel's look, where desktops without a settings
// portal publish it: LXQt's own theme, the XSETTINGS "Net/ThemeName" (Xfce, any
// XSETTINGS daemon), else GTK's own settings (GTK_THEME, gtk-3.0/settings.ini). A theme
// whose name says "dark" is dark; any other name says nothing.
#pragma once

#include "statusitem/StatusIcon.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

namespace Kestrune {

// Dark for a theme name containing "dark" (any case, "Adwaita-dark", "Adwaita:dark").
std::optional<Appearance> themeNameAppearance(const QString& name);

// The string setting `name` of an XSETTINGS blob (the _XSETTINGS_SETTINGS property);
// none when absent, not a string or the blob is malformed.
std::optional<QString> xsettingsString(const QByteArray& blob, const QByteArray& name);

// What GTK's settings.ini text says: dark when it prefers the dark variant, else by
// its theme name.
std::optional<Appearance> gtkSettingsAppearance(const std::string& ini);

// The theme an lxqt.conf text names in its [General] section; none without one.
std::optional<QString> lxqtThemeName(const std::string& conf);

// The hint as the desktop publishes it now: in an LXQt session its own theme (the
// panel's), from the user's lxqt.conf else the system's; then XSETTINGS on the X
// display the program uses, then GTK_THEME, then $XDG_CONFIG_HOME/gtk-3.0/settings.ini.
std::optional<Appearance> desktopThemeAppearance();

} // namespace Kestrune
