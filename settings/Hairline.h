// A one-pixel line (or small bar) in the separator colour of the current palette.
#pragma once

#include <QWidget>

namespace Kestrune {

class Hairline : public QWidget {
    Q_OBJECT
public:
    explicit Hairline(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace Kestrune
