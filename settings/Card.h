// A rounded, faintly darkened panel that groups a list or the log line.
#pragma once

#include <QWidget>

namespace Kestrune {

class Card : public QWidget {
    Q_OBJECT
public:
    explicit Card(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace Kestrune
