#include "icons/qt/ServiceIcon.h"

#include "ui/Symbols.h"

namespace KestruneCore {

std::optional<QImage> serviceIcon(const std::string&, const std::optional<ServiceConfig>&) {
    QImage image = Kestrune::symbolImage("terminal", QSize(64, 64));
    image.setText("description", "Service");
    return image;
}

void clearIconCache() {}

} // namespace KestruneCore
