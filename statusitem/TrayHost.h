// Whether a tray host is there to show the status icon, found without asking the
// toolkit's tray: the toolkit settles once per process, on its first tray question,
// whether icons go over StatusNotifierItem, so asking before a host is up would tie
// the icon to the old embedding protocol for good. A host is the StatusNotifierItem
// watcher on the session bus (followed as it comes and goes) or, on X11, an owner of
// the embedding tray's manager selection (looked up when asked, and every two seconds
// until one is seen; from then on the toolkit follows that tray itself).
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

namespace Kestrune {

class TrayHost : public QObject {
    Q_OBJECT

public:
    static constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";

    explicit TrayHost(QDBusConnection bus = QDBusConnection::sessionBus(),
                      QObject* parent = nullptr);

    bool statusNotifierWatcher() const { return watcherUp_; }
    bool xembedManager() const;
    bool present() const { return statusNotifierWatcher() || xembedManager(); }

signals:
    // A StatusNotifierItem watcher took its name on the bus, or an embedding tray
    // came up.
    void appeared();
    // The StatusNotifierItem watcher's name changed hands (came, went or moved).
    void statusNotifierWatcherChanged();

private:
    QDBusServiceWatcher* watcher_;
    bool watcherUp_ = false;
    QTimer xembedPoll_;
};

} // namespace Kestrune
