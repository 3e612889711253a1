// The Settings window around the page, and the master switch.
#pragma once

#include <QWidget>

#include <optional>

class QAbstractButton;

namespace Kestrune {

// A top-level window that only hides when closed, so the same one is shown again.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    explicit SettingsWindow(QWidget* content);
    QWidget* content() const { return content_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* content_;
};

} // namespace Kestrune

namespace KestruneCore {

inline constexpr int settingsWidth = 460;

// The window's first height for a page that wants `fittingHeight`: none when the page
// has no height (the window keeps its created size), else that height capped at the
// screen's visible height − 40, or at 860 without a screen.
std::optional<int> settingsWindowHeight(int fittingHeight, std::optional<int> screenVisibleHeight);

// The window, sized to the page and centred on the screen; never narrower than 460
// nor lower than its first height.
Kestrune::SettingsWindow* makeSettingsWindow(QWidget* content);

QAbstractButton* makeMasterToggle(bool on);

} // namespace KestruneCore
