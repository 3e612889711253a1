#include "statusitem/TrayHostTraits.h"

#include <cstdlib>

namespace Kestrune {

TrayHostFacts sessionTrayHostFacts(const QString& program) {
    TrayHostFacts facts{program, {}, false};
    if (const char* desktop = std::getenv("XDG_CURRENT_DESKTOP"))
        facts.desktops = QString::fromUtf8(desktop).split(':', Qt::SkipEmptyParts);
    const char* sway = std::getenv("SWAYSOCK");
    facts.swaySession = sway && *sway;
    return facts;
}

std::optional<Appearance> stockPanelAppearance(const TrayHostFacts& facts) {
    if (facts.program == "waybar" || facts.program == "swaybar" || facts.swaySession)
        return Appearance::dark;
    for (const QString& desktop : facts.desktops)
        if (desktop.compare("sway", Qt::CaseInsensitive) == 0 ||
            desktop.compare("Hyprland", Qt::CaseInsensitive) == 0)
            return Appearance::dark;
    return std::nullopt;
}

bool hostRecoloursSymbolicIcons(const QString& program) {
    // waybar 0.9 and swaybar load the file as it is; lxqt-panel recolours only icons
    // of a theme that asks for it, which hicolor does not.
    return program != "waybar" && program != "swaybar" && program != "lxqt-panel";
}

} // namespace Kestrune
