// Key equivalents for a status menu that the tray host draws. Over the
// StatusNotifierItem protocol the host shows our exported menu and holds the
// keyboard, so the menu's own key handling never sees a key. On X11 the input
// extension still reports key presses to any client that asks, whoever holds the
// keyboard; so while the host shows the menu, and only then, its commands' shortcuts
// are watched for and run. Elsewhere (Wayland) this does nothing.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <map>
#include <optional>

class QMenu;

namespace Kestrune {

class HostMenuKeys : public QObject, public QAbstractNativeEventFilter {
public:
    // Watches `menu` opening and closing for as long as it lives.
    explicit HostMenuKeys(QMenu* menu);
    ~HostMenuKeys() override;

    // Whether key presses are being watched now.
    bool watching() const { return watching_; }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

private:
    void start();
    void stop();
    void select(std::uint32_t mask);
    // The Qt key of an X key code (letters, digits and punctuation), none otherwise.
    std::optional<int> keyOf(std::uint32_t keycode) const;

    QPointer<QMenu> menu_;
    bool watching_ = false;
    int controls_ = 0; // Control keys held down
    std::optional<std::uint8_t> inputOpcode_;
    std::map<std::uint32_t, std::uint32_t> keysyms_; // key code -> first key symbol
    QElapsedTimer since_;
};

} // namespace Kestrune
