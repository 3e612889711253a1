// Whether a tray host is there to show the status icon, found without asking the
// toolkit's tray: the toolkit settles once per process, on its first tray question,
// whether icons go over StatusNotifierItem, so asking before a host is up would tie
// the icon to the old embedding protocol for good. A host is the StatusNotifierItem
// watcher on the session bus (followed as it comes and goes) or, on X11, an owner of
// the embedding tray's manager selection (looked up when asked, and every two seconds
// until one is seen; from then on the toolkit follows that tray itself). The program
// that owns the watcher is looked up too, as it tells how the panel draws our icon.
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
    // The watcher owner's process name ("waybar"); empty until known or without one.
    QString program() const { return program_; }

signals:
    // A StatusNotifierItem watcher took its name on the bus, or an embedding tray
    // came up.
    void appeared();
    // The StatusNotifierItem watcher's name changed hands (came, went or moved).
    void statusNotifierWatcherChanged();
    // program() changed.
    void programChanged();

private:
    // Asks the bus, without waiting, which process owns `owner` and takes its name.
    void lookUpProgram(const QString& owner);

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_;
    bool watcherUp_ = false;
    QString owner_;
    QString program_;
    QTimer xembedPoll_;
};

} // namespace Kestrune
