// Redraws the status icon when its state, the highlight or the panel's appearance
// changes, and hands each picture to whoever shows it.
#pragma once

#include "statusitem/StatusIcon.h"

#include <functional>
#include <optional>

namespace Kestrune {

class IconRenderer {
public:
    using DrawAction = std::function<void(const std::optional<StatusPicture>&)>;

    IconRenderer() = default;

    const DrawAction& onDraw() const { return onDraw_; }
    void setOnDraw(DrawAction action) { onDraw_ = std::move(action); }

    // Hands statusIcon of the current state, appearance and highlight to onDraw.
    void draw();

    IconState state() const { return state_; }
    // Draws once when the state really changes.
    void setState(IconState state);

    bool highlighted() const { return highlighted_; }
    // Stores the flag without drawing (setHighlighted draws).
    void assignHighlighted(bool flag) { highlighted_ = flag; }

    Appearance lastAppearance() const { return lastAppearance_; }
    void setLastAppearance(Appearance appearance) { lastAppearance_ = appearance; }

    // Store and draw, even when nothing changed.
    void appearanceDidChange(Appearance appearance);
    void setHighlighted(bool flag);

private:
    DrawAction onDraw_ = [](const std::optional<StatusPicture>&) {};
    IconState state_ = IconState::healthy;
    bool highlighted_ = false;
    Appearance lastAppearance_ = Appearance::dark;
};

} // namespace Kestrune
