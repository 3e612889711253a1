#include "settings/SettingsWindow.h"

#include "ui/FloatingWindow.h"
#include "ui/Toggle.h"

#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

namespace Kestrune {

SettingsWindow::SettingsWindow(QWidget* content) : content_(content) {
    setWindowTitle("Kestrune Settings");
    setObjectName("settingsWindow");
    // A dialog, not a main window: tiling window managers float it, as they do any
    // settings dialog. The icon is the application's, so taskbars show ours.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMaximizeButtonHint);
    setWindowIcon(QIcon::fromTheme("kestrune", QGuiApplication::windowIcon()));
    // A page taller than the screen scrolls instead of being squeezed.
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
}

void SettingsWindow::keyPressEvent(QKeyEvent* event) {
    // Esc closes it like any dialog; a field that uses Esc itself takes it first.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace Kestrune

namespace KestruneCore {

namespace {
constexpr int createdHeight = 520;
constexpr int unknownHeight = 480;
constexpr int screenMargin = 40;
constexpr int noScreenCap = 860;
} // namespace

std::optional<int> settingsWindowHeight(int fittingHeight, std::optional<int> screenVisibleHeight) {
    if (fittingHeight <= 0)
        return std::nullopt;
    int cap = screenVisibleHeight ? *screenVisibleHeight - screenMargin : noScreenCap;
    return std::min(fittingHeight, cap);
}

Kestrune::SettingsWindow* makeSettingsWindow(QWidget* content) {
    auto* window = new Kestrune::SettingsWindow(content);
    window->resize(settingsWidth, createdHeight);
    int fitting = content->hasHeightForWidth() ? content->heightForWidth(settingsWidth)
                                               : content->sizeHint().height();
    QScreen* screen = QGuiApplication::primaryScreen();
    std::optional<int> visible;
    if (screen)
        visible = screen->availableGeometry().height();
    auto height = settingsWindowHeight(fitting, visible);
    if (height)
        window->resize(settingsWidth, *height);
    window->setMinimumSize(settingsWidth, height.value_or(unknownHeight));
    Kestrune::keepFloating(window, settingsWidth);
    if (screen) {
        QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    return window;
}

QAbstractButton* makeMasterToggle(bool on) {
    return makeToggle(on);
}

} // namespace KestruneCore
