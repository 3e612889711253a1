// Measures of the Settings window, in device-independent pixels.
#pragma once

namespace KestruneCore {

struct Layout {
    // Side inset of the list cards and the log card; titles sit 10 further in.
    static constexpr int containerInset = 20;
    // Distance of a row's switch from the row's right edge.
    static constexpr int rowSwitchInset = 12;
    // Gap between the credit line and "Send Feedback…".
    static constexpr int footerLinkSpacing = 12;
    // Distance of the master switch from the window's right edge.
    static constexpr int masterTrailingFromWindow = 32;
};

} // namespace KestruneCore
