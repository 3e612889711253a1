#include "feedback/qt/FeedbackWindow.h"
#include "HttpTestServer.h"
#include "TempDir.h"
#include "app/D.h"
#include "core/FileIO.h"
#include "feedback/Diagnostics.h"
#include "feedback/qt/FeedbackActions.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <fcntl.h>
#include <optional>

using namespace KestruneCore;
using namespace KestruneTest;
using Kestrune::FeedbackWindow;
using namespace std::chrono_literals;

namespace {

template <typename Pred> bool waitUntil(Pred pred, std::chrono::milliseconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The value of one form field of a multipart body ("" when absent).
std::string field(const std::string& body, const std::string& name) {
    std::string head = "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
    auto at = body.find(head);
    if (at == std::string::npos)
        return "";
    at += head.size();
    return body.substr(at, body.find("\r\n--KestruneBoundary", at) - at);
}

std::vector<std::string> fieldNames(const std::string& body) {
    std::vector<std::string> names;
    const std::string key = "form-data; name=\"";
    for (auto at = body.find(key); at != std::string::npos; at = body.find(key, at + 1)) {
        at += key.size();
        names.push_back(body.substr(at, body.find('"', at) - at));
    }
    return names;
}

class FeedbackWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char name[] = "kestrune_ui_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        savedTransport = transport;
        savedMailer = mailer;
        savedOpener = opener;
        savedRevealer = revealer;
        // Every request goes to the local server; the form's request is otherwise untouched.
        transport = [this](const UrlRequest& r, TransportCompletion done) {
            ++posts;
            UrlRequest local = r;
            local.url = server.url("/feedback");
            sendInBackground(local, std::move(done));
        };
        mailer = [this](const FeedbackMail& m) {
            mails.push_back(m);
            return mailerAnswer;
        };
        opener = [this](const std::string& url) { opened.push_back(url); };
        revealer = [this](const std::string& path) { revealed.push_back(path); };

        tmp.write("log", "2026-12-07 10:00:00 [web] started in " + tmp.path() + "/web\n");
        tmp.write("apps.tsv", "web\t" + tmp.path() + "/web\ttrue\tservice\n");
        form.emplace(DiagnosticSources{tmp.path(), tmp / "log", tmp / "apps.tsv",
                                       tmp / "problems.tsv", tmp / "reports"},
                     "Kestrune 1.4 \u00B7 macOS 14.5.0");
        form->outDir = tmp / "feedback";
    }

    void TearDown() override {
        form.reset();
        transport = savedTransport;
        mailer = savedMailer;
        opener = savedOpener;
        revealer = savedRevealer;
    }

    std::string statusText() { return form->status->text().toStdString(); }
    bool shown(QWidget* w) { return w->isVisibleTo(form->window()); }

    void sendAndWait() {
        auto before = posts;
        form->sendButton()->click();
        ASSERT_EQ(posts, before + 1);
        ASSERT_TRUE(waitUntil([&] { return statusText() != "Sending\u2026"; }));
    }

    TempDir tmp;
    HttpTestServer server;
    std::optional<FeedbackWindow> form;
    int posts = 0;
    std::vector<FeedbackMail> mails;
    bool mailerAnswer = true;
    std::vector<std::string> opened, revealed;
    decltype(transport) savedTransport;
    decltype(mailer) savedMailer;
    decltype(opener) savedOpener;
    decltype(revealer) savedRevealer;
};

} // namespace

TEST_F(FeedbackWindowTest, FormStartsWithItsTextsAndHiddenRows) {
    auto* panel = form->window();
    EXPECT_EQ(panel->windowTitle(), "Send Feedback");
    EXPECT_EQ(panel->width(), 440);
    EXPECT_EQ(panel->minimumWidth(), 360);
    EXPECT_GE(form->msgScroll->minimumHeight(), 120);
    QStringList labels;
    for (auto* l : panel->findChildren<QLabel*>())
        labels << l->text();
    EXPECT_TRUE(labels.contains("What's working, what isn't, what you'd like?"));
    EXPECT_TRUE(labels.contains("I would like a reply"));
    EXPECT_EQ(form->replyError->text(), "That doesn't look like an email address.");
    EXPECT_EQ(form->replyEmail->placeholderText(), "Email address");
    EXPECT_EQ(form->include->text(), "Include diagnostic information");
    EXPECT_EQ(form->include->toolTip().toStdString(), diagnosticsNote);
    EXPECT_FALSE(form->include->isChecked());
    EXPECT_FALSE(form->wantsReply->isChecked());
    EXPECT_EQ(form->sendButton()->text(), "Send");
    EXPECT_TRUE(form->sendButton()->isDefault());
    EXPECT_EQ(form->retry()->text(), "Try again");
    EXPECT_EQ(form->emailInstead()->text(), "Email instead");
    for (QWidget* w :
         {static_cast<QWidget*>(form->replyEmail), static_cast<QWidget*>(form->replyError),
          static_cast<QWidget*>(form->retry()), static_cast<QWidget*>(form->emailInstead())})
        EXPECT_FALSE(shown(w));
    EXPECT_EQ(statusText(), "");

    // Before it was ever shown, the window takes just the height its content needs.
    EXPECT_EQ(panel->height(), panel->minimumHeight());
    int before = panel->height();
    form->wantsReply->click();
    EXPECT_GT(panel->height(), before);
    EXPECT_EQ(panel->height(), panel->minimumHeight());
}

TEST_F(FeedbackWindowTest, ReplySwitchShowsAndFocusesTheFieldAndKeepsTheTopEdge) {
    form->show();
    auto* panel = form->window();
    QRect before = panel->geometry();
    form->wantsReply->click();
    EXPECT_TRUE(shown(form->replyEmail));
    EXPECT_EQ(panel->focusWidget(), form->replyEmail);
    QRect grown = panel->geometry();
    EXPECT_EQ(grown.top(), before.top());
    EXPECT_GT(grown.height(), before.height());

    // A bad address blocks sending and shows the error; switching off hides both.
    form->replyEmail->setText("a@b");
    form->sendButton()->click();
    EXPECT_EQ(posts, 0);
    EXPECT_TRUE(shown(form->replyError));
    form->wantsReply->click();
    EXPECT_FALSE(shown(form->replyEmail));
    EXPECT_FALSE(shown(form->replyError));
    EXPECT_EQ(panel->geometry().top(), before.top());
    EXPECT_EQ(panel->height(), before.height());

    // Height the user gave the message survives the switch.
    panel->resize(panel->width(), before.height() + 100);
    QCoreApplication::processEvents();
    form->wantsReply->click();
    EXPECT_EQ(panel->height(), grown.height() + 100);
}

TEST_F(FeedbackWindowTest, EscHidesAndReopeningKeepsTheText) {
    form->show();
    form->message->setPlainText("half a thought");
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(form->window(), &esc);
    EXPECT_FALSE(form->window()->isVisible());
    form->show();
    EXPECT_TRUE(form->window()->isVisible());
    EXPECT_EQ(form->message->toPlainText(), "half a thought");
}

TEST_F(FeedbackWindowTest, SuccessfulSendPostsTheFieldsAndClearsTheForm) {
    server.respond(HttpResponse::withStatus(302)); // any final 2xx or 3xx counts as sent
    form->message->setPlainText("Hello\n--KestruneBoundary");
    form->wantsReply->click();
    form->replyEmail->setText("  me@example.org\t");
    sendAndWait();
    EXPECT_EQ(statusText(), "Thanks \u2013 sent");
    auto body = server.requests().at(0).body;
    EXPECT_EQ(
        fieldNames(body),
        (std::vector<std::string>{"form-name", "subject", "message", "app-version", "macos-version",
                                  "email", "wants-reply", "logs", "source", "bot-field"}));
    EXPECT_EQ(field(body, "message"), "Hello\n--KestruneBoundary");
    EXPECT_EQ(field(body, "email"), "me@example.org");
    EXPECT_EQ(field(body, "wants-reply"), "yes");
    EXPECT_EQ(field(body, "app-version"), "1.4");
    EXPECT_EQ(field(body, "macos-version"), "14.5.0");
    EXPECT_EQ(field(body, "logs"), "");
    EXPECT_EQ(form->message->toPlainText(), "");
    EXPECT_EQ(form->replyEmail->text(), "");
    EXPECT_FALSE(form->wantsReply->isChecked());
    EXPECT_FALSE(shown(form->replyEmail));
    EXPECT_FALSE(form->pending);

    // With the switch off, whatever sits in the hidden field is neither checked nor sent.
    form->replyEmail->setText("not an address");
    sendAndWait();
    EXPECT_EQ(field(server.requests().at(1).body, "email"), "");
    EXPECT_EQ(field(server.requests().at(1).body, "wants-reply"), "no");
}

TEST_F(FeedbackWindowTest, FailuresOfferTryAgainWithTheSameRequest) {
    server.respond(HttpResponse::withStatus(404));
    form->message->setPlainText("x");
    sendAndWait();
    EXPECT_EQ(statusText(), "Couldn't send (the site replied 404).");
    EXPECT_TRUE(shown(form->retry()));
    EXPECT_TRUE(shown(form->emailInstead()));
    EXPECT_EQ(form->message->toPlainText(), "x");

    server.respond(HttpResponse::withStatus(500));
    form->retry()->click();
    EXPECT_EQ(statusText(), "Sending\u2026");
    EXPECT_FALSE(shown(form->retry()));
    ASSERT_TRUE(waitUntil([&] { return statusText() != "Sending\u2026"; }));
    EXPECT_EQ(statusText(), "Couldn't send (the site replied 500).");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_EQ(requests[0].header("Content-Type"), requests[1].header("Content-Type"));

    server.respond(HttpResponse::drop());
    form->retry()->click();
    ASSERT_TRUE(waitUntil([&] { return statusText() != "Sending\u2026"; }));
    EXPECT_EQ(statusText().rfind("Couldn't send (", 0), 0u) << statusText();
    EXPECT_EQ(statusText().substr(statusText().size() - 2), ").");
    EXPECT_TRUE(shown(form->retry()));

    // A server that never answers ends in a time-out, not a stuck form.
    server.respond(HttpResponse::neverAnswer());
    form->pending->timeout = 300ms;
    form->retry()->click();
    EXPECT_EQ(statusText(), "Sending\u2026");
    ASSERT_TRUE(waitUntil([&] { return statusText() != "Sending\u2026"; }));
    EXPECT_NE(statusText().find("timed out"), std::string::npos) << statusText();
    EXPECT_TRUE(shown(form->emailInstead()));

    // A long error wraps rather than widening the window.
    form->show();
    QCoreApplication::processEvents();
    EXPECT_GT(form->status->fontMetrics().horizontalAdvance(form->status->text()), 300);
    EXPECT_EQ(form->window()->width(), 440);
}

TEST_F(FeedbackWindowTest, DiagnosticsTravelAsLogsAndAZipThatEmailReuses) {
    server.respond(HttpResponse::withStatus(404));
    form->include->setChecked(true);
    form->message->setPlainText("with logs");
    sendAndWait();
    ASSERT_TRUE(form->pendingZip);
    auto body = server.requests().at(0).body;
    auto names = fieldNames(body);
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(names[10], "include-diagnostics");
    EXPECT_EQ(names[11], "attachment");
    auto logs = field(body, "logs");
    EXPECT_EQ(logs.rfind("== versions.txt ==\nKestrune 1.4 \u00B7 macOS 14.5.0\n", 0), 0u);
    EXPECT_NE(logs.find("started in ~/web"), std::string::npos);
    EXPECT_EQ(logs.find(tmp.path()), std::string::npos);
    auto zipName = lastPathComponent(*form->pendingZip);
    EXPECT_EQ(parentFolder(*form->pendingZip), tmp / "feedback");
    EXPECT_NE(body.find("name=\"attachment\"; filename=\"" + zipName +
                        "\"\r\nContent-Type: application/zip\r\n\r\n" + readAll(*form->pendingZip) +
                        "\r\n--"),
              std::string::npos);

    form->wantsReply->click();
    form->replyEmail->setText("me@example.org");
    form->emailInstead()->click();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0], (FeedbackMail{{feedbackAddress()},
                                      "Kestrune feedback",
                                      "with logs\n\nReply to: me@example.org\n\n"
                                      "Kestrune 1.4 \u00B7 macOS 14.5.0",
                                      {*form->pendingZip}}));
    EXPECT_EQ(statusText(), "Opened in Mail");
    EXPECT_FALSE(shown(form->retry()));
    EXPECT_FALSE(shown(form->emailInstead()));

    // No mail client: the mailto link opens and the zip is shown for attaching by hand.
    mailerAnswer = false;
    form->emailInstead_();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].rfind("mailto:" + feedbackAddress() +
                                  "?subject=Kestrune%20feedback&body="
                                  "with%20logs%0A%0AReply%20to%3A%20me%40example.org",
                              0),
              0u);
    EXPECT_EQ(revealed, std::vector<std::string>{*form->pendingZip});
    EXPECT_EQ(statusText(), "Attach the diagnostics file shown in Finder.");
}

TEST_F(FeedbackWindowTest, EmailWithoutAnEarlierSendMakesItsOwnZip) {
    form->include->setChecked(true);
    form->emailInstead_();
    ASSERT_EQ(mails.size(), 1u);
    ASSERT_EQ(mails[0].attachments.size(), 1u);
    EXPECT_EQ(parentFolder(mails[0].attachments[0]), tmp / "feedback");
    EXPECT_FALSE(form->pendingZip);

    form->include->setChecked(false);
    mailerAnswer = false;
    form->emailInstead_();
    EXPECT_TRUE(mails[1].attachments.empty());
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_TRUE(revealed.empty());
}

TEST_F(FeedbackWindowTest, ZipAtTheLimitIsNotUploadedButKeptForMail) {
    // A crash report of random bytes does not compress below the limit.
    tmp.mkdir("reports");
    std::string noise(attachmentLimit * 3 / 2, '\0');
    std::uint32_t x = 12345;
    for (auto& c : noise) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>('!' + (x >> 24) % 90);
    }
    tmp.write("reports/Kestrune-big.ips", noise);
    form->include->setChecked(true);
    sendAndWait();
    ASSERT_TRUE(form->pendingZip);
    auto names = fieldNames(server.requests().at(0).body);
    EXPECT_EQ(names.back(), "include-diagnostics");
    EXPECT_NE(field(server.requests().at(0).body, "logs").find("\n\u2026 (truncated)"),
              std::string::npos);
}

TEST_F(FeedbackWindowTest, ControllerKeepsOneFormBetweenOpenings) {
    ScopedHome home(tmp.path());
    Kestrune::D d;
    d.openFeedback();
    auto* panel = d.feedback().window();
    EXPECT_TRUE(panel->isVisible());
    d.feedback().message->setPlainText("draft");
    d.feedback().cancel();
    EXPECT_FALSE(panel->isVisible());
    d.openFeedback();
    EXPECT_EQ(d.feedback().window(), panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(d.feedback().message->toPlainText(), "draft");
    EXPECT_EQ(d.feedback().outDir, tmp.path() + "/.cache/kestrune/feedback");
}
