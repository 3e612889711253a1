#include "ui/FloatingWindow.h"

namespace Kestrune {

void keepFloating(QWidget* window, int width, const QString& platform) {
    // "wayland", "wayland-egl", "wayland-brcm": every Wayland platform plugin.
    if (window && platform.startsWith("wayland"))
        window->setFixedWidth(width);
}

} // namespace Kestrune
