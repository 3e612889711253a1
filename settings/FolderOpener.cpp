#include "settings/FolderOpener.h"

#include "core/ActivityLog.h"
#include "feedback/qt/FeedbackActions.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace KestruneCore {

void openFolderInFileManager(const std::string& folder) {
    std::string url = fileURL(folder);
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowFolders");
    call << QStringList{QString::fromStdString(url)} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        opener(url);
        return;
    }
    // Not waited for: a file manager started by the bus may take seconds to answer.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [url](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             opener(url);
                         w->deleteLater();
                     });
}

std::function<void(const std::string&)> folderOpener = openFolderInFileManager;

} // namespace KestruneCore
