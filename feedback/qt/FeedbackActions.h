// Effects of the feedback form that leave the process. Each is a replaceable action
// so tests can put a recorder in its place; all are used on the main thread only.
#pragma once

#include "feedback/FeedbackMail.h"
#include "feedback/UrlRequest.h"

#include <functional>
#include <string>

namespace KestruneCore {

using TransportCompletion = std::function<void(const TransportResult&)>;

// Sends a request; the completion runs later on the main thread. Default: libcurl on
// a worker thread.
extern std::function<void(const UrlRequest&, TransportCompletion)> transport;
// The default of `transport`, for callers that wrap it.
void sendInBackground(const UrlRequest& request, TransportCompletion completion);

// Hands a message to the mail client; true when it took it. Default: xdg-email.
extern std::function<bool(const FeedbackMail&)> mailer;

// Opens a URL with the desktop's handler.
extern std::function<void(const std::string& url)> opener;

// Shows a file selected in the file manager, or opens its folder through `opener` when
// no file manager answers; never waits for one.
extern std::function<void(const std::string& path)> revealer;
// The default of `revealer`.
void revealInFileManager(const std::string& path);

// Opens a folder in the file manager (a service row's "Open Folder"), else through
// `opener`; never waits for one.
extern std::function<void(const std::string& folder)> folderOpener;
// The default of `folderOpener`.
void openFolderInFileManager(const std::string& folder);

// Opens the feedback form; does nothing until the controller sets it at launch.
extern std::function<void()> feedbackOpener;

} // namespace KestruneCore
