// A one-line label that shortens its text with an ellipsis to fit its width, so a long
// name never pushes the row's switch away. The full text stays the label's text (and
// so what accessibility reads).
#pragma once

#include <QLabel>

namespace Kestrune {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = {}, Qt::TextElideMode mode = Qt::ElideRight,
                         QWidget* parent = nullptr);

    QSize minimumSizeHint() const override;
    // Draws the text in the secondary colour of whatever palette is current.
    void setSecondary(bool on);
    // The text as drawn at the current width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_;
    bool secondary_ = false;
};

} // namespace Kestrune
