// The feedback form: a message, an optional reply address and diagnostics, posted as
// one multipart request, with "Try again" and "Email instead" when posting fails.
#pragma once

#include "feedback/Diagnostics.h"
#include "feedback/FeedbackForm.h"
#include "feedback/UrlRequest.h"

#include <QDialog>
#include <QPointer>
#include <functional>
#include <optional>
#include <string>

class QAbstractButton;
class QAbstractScrollArea;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

namespace Kestrune {

// The form's window. Esc and the close button only hide it, so what was typed stays.
class FeedbackPanel : public QDialog {
    Q_OBJECT
public:
    explicit FeedbackPanel(QWidget* parent = nullptr);
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class FeedbackWindow : public QObject {
    Q_OBJECT
public:
    explicit FeedbackWindow(
        KestruneCore::DiagnosticSources sources = KestruneCore::DiagnosticSources::live(),
        std::string versions = KestruneCore::versionLine(), QObject* parent = nullptr);
    ~FeedbackWindow() override;

    void show();
    void send();
    void tryAgain();
    void emailInstead_();
    void replyToggled();
    void cancel();
    // Sends `pending`, when there is one.
    void post();
    // The e-mail text: message, "Reply to: …" when wanted, the version line.
    std::string body() const;
    // Resizes the window to its content plus `extra` pixels for the message, keeping
    // the window's top edge where it is.
    void fitWindow(int extra = 0);

    bool replyWanted() const;
    std::string replyEmailValue() const;
    KestruneCore::VersionParts versionParts() const;

    KestruneCore::DiagnosticSources sources;
    std::string versions;
    std::string outDir;
    QPlainTextEdit* message;
    QLineEdit* replyEmail;
    QAbstractButton* wantsReply;
    QLabel* wantsReplyLabel;
    QLabel* replyError;
    QCheckBox* include;
    QLabel* status;
    std::optional<KestruneCore::UrlRequest> pending;
    std::optional<std::string> pendingZip;
    QPointer<QAbstractScrollArea> msgScroll;
    // The time stamped on diagnostics; replaceable so a test can fix it.
    std::function<KestruneCore::Clock::time_point()> now = KestruneCore::Clock::now;

    QPushButton* retry();
    QPushButton* emailInstead();
    FeedbackPanel* window();
    QPushButton* sendButton() { return window(), send_; }

private:
    void build();
    void updateGaps();
    QPushButton* makeButton(const char* title, void (FeedbackWindow::*action)());
    // Gathers and zips the diagnostics now; the zip's path, if one was made.
    std::optional<std::string> makeZip(const KestruneCore::DiagnosticsBundle& files);

    QPointer<FeedbackPanel> window_;
    QPointer<QPushButton> retry_;
    QPointer<QPushButton> emailInstead_button_;
    QPushButton* send_ = nullptr;
    QVBoxLayout* stack_ = nullptr;
    QSpacerItem* gapAfterEmail_ = nullptr;
    QSpacerItem* gapAfterError_ = nullptr;
    // Only the answer to the latest post may change the form.
    unsigned postGeneration_ = 0;
};

} // namespace Kestrune
