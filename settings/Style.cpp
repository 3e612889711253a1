#include "settings/Style.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>

#include <algorithm>
#include <vector>

namespace Kestrune {

namespace {

const char* const secondaryKey = "kestrune-secondary";

void applySecondary(QWidget* label) {
    QPalette p = label->palette();
    QColor c = secondaryLabelColour(QApplication::palette(label));
    p.setColor(QPalette::Active, QPalette::WindowText, c);
    p.setColor(QPalette::Inactive, QPalette::WindowText, c);
    label->setPalette(p);
}

// Labels drawn in the secondary colour keep following the application's palette
// when it changes (light to dark and back).
class SecondaryFollower : public QObject {
public:
    std::vector<QPointer<QWidget>> labels;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
            std::erase_if(labels, [](const QPointer<QWidget>& w) { return w.isNull(); });
            for (const auto& w : labels)
                applySecondary(w);
        }
        return false;
    }
};

} // namespace

QColor secondaryLabelColour(const QPalette& palette) {
    QColor c = palette.color(QPalette::Active, QPalette::WindowText);
    c.setAlphaF(0.62f);
    return c;
}

QColor separatorColour(const QPalette& palette) {
    QColor c = palette.color(QPalette::Active, QPalette::WindowText);
    c.setAlphaF(0.14f);
    return c;
}

QColor cardColour(const QPalette& palette) {
    if (palette.color(QPalette::Window).lightness() < 128)
        return QColor(255, 255, 255, 16);
    return QColor(0, 0, 0, 13); // black at alpha 0.05
}

QFont smallFont(const QFont& regular) {
    QFont f = regular;
    if (f.pointSizeF() > 0)
        f.setPointSizeF(f.pointSizeF() * 11.0 / 13.0);
    else
        f.setPixelSize(std::max(1, f.pixelSize() * 11 / 13));
    return f;
}

QFont boldFont(const QFont& regular) {
    QFont f = regular;
    f.setBold(true);
    return f;
}

void makeSecondary(QWidget* label) {
    static SecondaryFollower* follower = [] {
        auto* f = new SecondaryFollower;
        f->setParent(qApp);
        qApp->installEventFilter(f);
        return f;
    }();
    if (!label->property(secondaryKey).toBool()) {
        label->setProperty(secondaryKey, true);
        follower->labels.emplace_back(label);
    }
    applySecondary(label);
}

} // namespace Kestrune
