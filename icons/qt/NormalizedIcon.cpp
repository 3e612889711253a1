#include "icons/qt/NormalizedIcon.h"

namespace KestruneCore {

QImage normalizedIcon(const QImage& image) {
    return image;
}

} // namespace KestruneCore
