#include "platform/qt/FileManager.h"

#include "core/ActivityLog.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace KestruneCore {

namespace {

constexpr int answerMilliseconds = 5000;

} // namespace

void showInFileManager(const QDBusConnection& bus, const std::string& path, FileManagerShow how,
                       std::function<void()> fallback) {
    if (!bus.isConnected()) {
        // Later, as an answer would come: callers never see it run inside their call.
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(fallback),
                                  Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", how == FileManagerShow::item ? "ShowItems" : "ShowFolders");
    call << QStringList{QString::fromStdString(fileURL(path))} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, answerMilliseconds),
                                                QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [fallback = std::move(fallback)](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             fallback();
                         w->deleteLater();
                     });
}

} // namespace KestruneCore
