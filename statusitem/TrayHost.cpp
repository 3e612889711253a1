#include "statusitem/TrayHost.h"

#include "core/FileIO.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace Kestrune {

namespace {

constexpr int xembedPollMs = 2'000;

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The X screen of $DISPLAY (":0.1" is screen 1), whose tray selection counts.
int displayScreen() {
    const char* display = std::getenv("DISPLAY");
    std::string text = display ? display : "";
    auto colon = text.rfind(':');
    auto dot = text.find('.', colon == std::string::npos ? 0 : colon);
    return dot == std::string::npos ? 0 : std::atoi(text.c_str() + dot + 1);
}

// The process name of a bus peer's process id; empty when unknown.
QString programOf(const QDBusReply<uint>& pid) {
    if (!pid.isValid())
        return {};
    auto comm = KestruneCore::readFile("/proc/" + std::to_string(pid.value()) + "/comm");
    return comm ? QString::fromUtf8(*comm).trimmed() : QString();
}

} // namespace

TrayHost::TrayHost(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(bus),
      watcher_(new QDBusServiceWatcher(watcherName, bus, QDBusServiceWatcher::WatchForOwnerChange,
                                       this)) {
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                bool was = watcherUp_;
                watcherUp_ = !owner.isEmpty();
                lookUpProgram(owner);
                if (watcherUp_ && !was)
                    emit appeared();
                emit statusNotifierWatcherChanged();
            });
    // Asked once; the watcher above keeps it current.
    auto* names = bus.isConnected() ? bus.interface() : nullptr;
    owner_ = names ? names->serviceOwner(watcherName).value() : QString();
    watcherUp_ = !owner_.isEmpty();
    // Known before the first icon goes out, so a host is never handed a look it
    // would draw wrongly.
    if (watcherUp_)
        program_ = programOf(names->servicePid(owner_));
    if (x11Connection() && !xembedManager()) {
        xembedPoll_.setInterval(xembedPollMs);
        connect(&xembedPoll_, &QTimer::timeout, this, [this] {
            if (!xembedManager())
                return;
            xembedPoll_.stop();
            emit appeared();
        });
        xembedPoll_.start();
    }
}

void TrayHost::lookUpProgram(const QString& owner) {
    owner_ = owner;
    if (owner.isEmpty()) {
        if (!program_.isEmpty()) {
            program_.clear();
            emit programChanged();
        }
        return;
    }
    auto call =
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetConnectionUnixProcessID");
    call << owner;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, owner](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusReply<uint> pid = *w;
                if (owner != owner_)
                    return; // the name moved on while we asked
                QString program = programOf(pid);
                if (program == program_)
                    return;
                program_ = program;
                emit programChanged();
            });
}

bool TrayHost::xembedManager() const {
    xcb_connection_t* c = x11Connection();
    if (!c)
        return false;
    std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(displayScreen());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.c_str()),
                              nullptr),
        &std::free);
    if (!atom)
        return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}

} // namespace Kestrune
