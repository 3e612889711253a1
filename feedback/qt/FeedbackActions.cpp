#include "feedback/qt/FeedbackActions.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "platform/qt/FileManager.h"
#include "ui/Threads.h"

#include <QCoreApplication>
#include <QDBusConnection>
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
    showInFileManager(QDBusConnection::sessionBus(), path, FileManagerShow::item,
                      [path] { opener(fileURL(parentFolder(path))); });
}

void openFolderInFileManager(const std::string& folder) {
    showInFileManager(QDBusConnection::sessionBus(), folder, FileManagerShow::folder,
                      [folder] { opener(fileURL(folder)); });
}

std::function<void(const UrlRequest&, TransportCompletion)> transport = sendInBackground;

std::function<bool(const FeedbackMail&)> mailer = [](const FeedbackMail& mail) {
    return composeMail(mail);
};

std::function<void(const std::string&)> opener = [](const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
};

std::function<void(const std::string&)> revealer = revealInFileManager;

std::function<void(const std::string&)> folderOpener = openFolderInFileManager;

std::function<void()> feedbackOpener = [] {};

} // namespace KestruneCore
