// Our own icon theme of the states (symbolic icons, installed in the hicolor theme):
// the name of each state's icon and the folder a host searches for it.
#pragma once

#include "health/StatusSummary.h"

#include <QString>

namespace Kestrune {

// "kestrune-healthy-symbolic", "-warning-", "-error-" or "-off-".
QString statusIconName(KestruneCore::IconState state);

// The icon theme folder (holding hicolor/scalable/status) with our icons: beside a
// program run from the build tree, else the installed share/icons; empty when
// neither has them, and hosts look in their own themes.
QString statusIconThemePath();

} // namespace Kestrune
