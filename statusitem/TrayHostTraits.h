// What the tray's host program and the session's desktop say of the panel when no
// setting does: the look of the host's stock panel, and whether the host recolours
// symbolic icons or draws them as their files are.
#pragma once

#include "statusitem/StatusIcon.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace Kestrune {

struct TrayHostFacts {
    QString program;          // the watcher's owner, by its process name ("waybar")
    QStringList desktops;     // XDG_CURRENT_DESKTOP, split at ':'
    bool swaySession = false; // SWAYSOCK is set
};

// The session's part of the facts, from the environment.
TrayHostFacts sessionTrayHostFacts(const QString& program);

// Dark where the host's or the desktop's stock bar is dark: waybar's stock style,
// swaybar's, and sway and Hyprland sessions, whose bars those are; none elsewhere.
std::optional<Appearance> stockPanelAppearance(const TrayHostFacts& facts);

// False for hosts known to draw a named symbolic icon in its file's own colours, so a
// name would give them one mid grey whatever their panel; they get the drawn pictures.
// True for the rest, which recolour it for their panel.
bool hostRecoloursSymbolicIcons(const QString& program);

} // namespace Kestrune
