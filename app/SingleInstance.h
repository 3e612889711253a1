// One kestrune per user session. The first start owns the session bus name
// org.velto.kestrune; a later start hands its arguments to that one and ends, so a
// second start (the application menu, autostart beside a manual start) never shows a
// second tray icon.
#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QStringList>

#include <functional>

namespace Kestrune {

class SingleInstance : public QDBusVirtualObject {
public:
    static constexpr const char* serviceName = "org.velto.kestrune";
    static constexpr const char* objectPath = "/org/velto/kestrune";
    static constexpr const char* interfaceName = "org.velto.kestrune";

    enum class Claim {
        first,      // this process owns the name: run
        handedOver, // another one runs and took the arguments: end with status 0
        noBus,      // no session bus: run alone
    };

    explicit SingleInstance(QDBusConnection bus = QDBusConnection::sessionBus());
    ~SingleInstance() override;

    // Takes the name, or hands `arguments` (without the program name) to its owner.
    Claim claim(const QStringList& arguments);

    // Called with the arguments of each later start, on the main thread.
    std::function<void(const QStringList& arguments)> onArguments;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QDBusConnection bus_;
    bool registered_ = false;
};

} // namespace Kestrune
