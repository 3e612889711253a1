#include "feedback/qt/FeedbackActions.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "ui/Threads.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QUrl>

namespace KestruneCore {

void sendInBackground(const UrlRequest& request, TransportCompletion completion) {
    QObject* context = QCoreApplication::instance();
    Kestrune::runInBackground([request, completion = std::move(completion), context] {
        TransportResult result = sendRequest(request);
        Kestrune::runOnMain(context, [completion, result] { completion(result); });
    });
}

void revealInFileManager(const std::string& path) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QString::fromStdString(fileURL(path))} << QString();
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        opener(fileURL(parentFolder(path)));
}

std::function<void(const UrlRequest&, TransportCompletion)> transport = sendInBackground;

std::function<bool(const FeedbackMail&)> mailer = [](const FeedbackMail& mail) {
    return composeMail(mail);
};

std::function<void(const std::string&)> opener = [](const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
};

std::function<void(const std::string&)> revealer = revealInFileManager;

std::function<void()> feedbackOpener = [] {};

} // namespace KestruneCore
