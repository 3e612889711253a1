#include "statusitem/IconRenderer.h"

namespace Kestrune {

void IconRenderer::draw() {
    if (onDraw_)
        onDraw_(statusIcon(state_, lastAppearance_, highlighted_));
}

void IconRenderer::setState(IconState state) {
    if (state == state_)
        return;
    state_ = state;
    draw();
}

void IconRenderer::appearanceDidChange(Appearance appearance) {
    lastAppearance_ = appearance;
    draw();
}

void IconRenderer::setHighlighted(bool flag) {
    highlighted_ = flag;
    draw();
}

} // namespace Kestrune
