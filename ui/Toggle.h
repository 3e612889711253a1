// The small on/off switch of every list row, the master switch and the feedback form.
#pragma once

#include <QAbstractButton>

namespace Kestrune {

class Toggle : public QAbstractButton {
    Q_OBJECT
public:
    explicit Toggle(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace Kestrune

namespace KestruneCore {

// A new switch, on when `enabled`.
Kestrune::Toggle* makeToggle(bool enabled);

} // namespace KestruneCore
