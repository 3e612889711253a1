// A line of text that acts as a link: a pointing hand over it, a click (or the
// accessibility press action) runs `onActivate`. It cannot be selected, edited or
// focused.
#pragma once

#include <QLabel>

#include <functional>
#include <string>

namespace KestruneCore {

// The maker's projects page, set when the program is configured.
const std::string& creditURL();

} // namespace KestruneCore

namespace Kestrune {

class CreditLink : public QLabel {
    Q_OBJECT
public:
    explicit CreditLink(const QString& text = {}, QWidget* parent = nullptr);

    // Default: open creditURL through KestruneCore::opener.
    std::function<void()> onActivate;

    void activate();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace Kestrune
