// The foot of the Settings page: the log card with "Open Log…" and, centred under
// it, the credit line and the "Send Feedback…" link.
#pragma once

class QLabel;
class QObject;
class QPushButton;
class QWidget;

namespace Kestrune {
class CreditLink;
}

namespace KestruneCore {

struct LogSection {
    QWidget* view = nullptr;
    QPushButton* button = nullptr;
    QLabel* subtitle = nullptr;
};

struct BottomSection {
    QWidget* view = nullptr;
    QWidget* log = nullptr;
    Kestrune::CreditLink* credit = nullptr;
    QLabel* subtitle = nullptr; // the log card's subtitle, refreshed on every opening
    Kestrune::CreditLink* feedback = nullptr;
};

// `target` (may be null) receives openLog from the button.
LogSection makeLogSection(QObject* target);
BottomSection makeBottomSection(QObject* target);

} // namespace KestruneCore
