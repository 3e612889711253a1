#include "HttpTestServer.h"
#include "TempDir.h"
#include "feedback/FeedbackForm.h"
#include "feedback/FeedbackMail.h"
#include "feedback/Multipart.h"
#include "feedback/UrlRequest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

using namespace KestruneCore;
using namespace KestruneTest;
using namespace std::chrono_literals;

namespace {

std::string boundaryOf(const UrlRequest& r) {
    const std::string prefix = "multipart/form-data; boundary=";
    auto type = r.header("Content-Type");
    return type.rfind(prefix, 0) == 0 ? type.substr(prefix.size()) : "";
}

// The request retargeted at a local server.
UrlRequest to(const HttpTestServer& server, UrlRequest r, const std::string& path = "/") {
    r.url = server.url(path);
    return r;
}

} // namespace

TEST(FeedbackForm, ReplyAddressRules) {
    for (const char* good :
         {"", "   ", "a@b.c", "  me@example.org\t", "a.b+c@d.e.f", "x\"y@z.io", "é@ü.de"})
        EXPECT_TRUE(validReplyEmail(good)) << good;
    for (const char* bad :
         {"a@b", "a@.b", "a@b.", "@b.c", "a@@b.c", "a@b@c.d", "a b@c.d", "a@b.c\n",
          "a@b.c\r\nBcc: x@y.z", "\na@b.c", "a@b.c\xc2\xa0", "a\x01@b.c", "nobody"})
        EXPECT_FALSE(validReplyEmail(bad)) << bad;
    EXPECT_EQ(trimmedReplyEmail(" \t a@b.c \t"), "a@b.c");
}

TEST(FeedbackForm, VersionPartsAndMailBody) {
    auto parts = versionParts("Kestrune 1.4 \u00B7 macOS 14.5.0");
    EXPECT_EQ(parts.app, "1.4");
    EXPECT_EQ(parts.os, "14.5.0");
    parts = versionParts("Kestrune 0.1.0 \u00B7 Debian GNU/Linux 12 (bookworm), Linux 6.1");
    EXPECT_EQ(parts.os, "Debian GNU/Linux 12 (bookworm), Linux 6.1");
    parts = versionParts("odd");
    EXPECT_EQ(parts.app, "odd");
    EXPECT_EQ(parts.os, "");

    EXPECT_EQ(feedbackMailBody("Hi", "a@b.c", "V"), "Hi\n\nReply to: a@b.c\n\nV");
    EXPECT_EQ(feedbackMailBody("", "", "V"), "\n\nV");
}

TEST(Multipart, BodyBytesForBothFieldTables) {
    FeedbackFormValues v;
    v.message = "It broke\r\n--KestruneBoundary-not-ours";
    v.versions = "Kestrune 1.4 \u00B7 macOS 14.5.0";
    const std::string b = "KestruneBoundaryB";
    auto part = [&](const std::string& name, const std::string& value) {
        return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
               value + "\r\n";
    };
    std::string common = part("form-name", "feedback") + part("subject", "Kestrune feedback") +
                         part("message", v.message) + part("app-version", "1.4") +
                         part("macos-version", "14.5.0");
    EXPECT_EQ(multipartBody(feedbackFields(v), std::nullopt, b),
              common + part("email", "") + part("wants-reply", "no") + part("logs", "") +
                  part("source", "app") + part("bot-field", "") + "--" + b + "--\r\n");

    v.email = "a@b.c";
    v.wantsReply = true;
    v.logs = "== versions.txt ==\n";
    v.includeDiagnostics = true;
    FilePart zip{"attachment", "kestrune-diagnostics-x.zip", "application/zip",
                 std::string("PK\x03\x04\0\xff", 6)};
    EXPECT_EQ(multipartBody(feedbackFields(v), zip, b),
              common + part("email", "a@b.c") + part("wants-reply", "yes") + part("logs", v.logs) +
                  part("source", "app") + part("bot-field", "") +
                  part("include-diagnostics", "yes") + "--" + b +
                  "\r\nContent-Disposition: form-data; name=\"attachment\"; "
                  "filename=\"kestrune-diagnostics-x.zip\"\r\nContent-Type: application/zip\r\n"
                  "\r\n" +
                  zip.data + "\r\n--" + b + "--\r\n");
}

TEST(Multipart, RequestShape) {
    auto r = multipartRequest({{"a", "1"}});
    EXPECT_EQ(r.url, feedbackFormURL());
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.timeout, 30s);
    EXPECT_EQ(r.header("Accept"), "application/json");
    auto boundary = boundaryOf(r);
    EXPECT_TRUE(
        std::regex_match(boundary, std::regex("KestruneBoundary[0-9A-F]{8}-[0-9A-F]{4}-4"
                                              "[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << boundary;
    EXPECT_EQ(r.body, multipartBody({{"a", "1"}}, std::nullopt, boundary));
    EXPECT_NE(boundaryOf(multipartRequest({{"a", "1"}})), boundary);
}

TEST(Transport, StatusesRedirectsAndFailuresFromARealServer) {
    HttpTestServer server;
    server.route("/ok", HttpResponse::withStatus(200));
    server.route("/missing", HttpResponse::withStatus(404));
    server.route("/broken", HttpResponse::withStatus(500, "oops"));
    server.route("/moved", HttpResponse::redirect(302, server.url("/ok")));
    server.route("/found", HttpResponse::withStatus(302));
    server.route("/drop", HttpResponse::drop());
    server.route("/silent", HttpResponse::neverAnswer());

    auto request = multipartRequest({{"message", "hello"}});
    EXPECT_EQ(sendRequest(to(server, request, "/ok")), TransportResult::success(200));
    auto recorded = server.requests().back();
    EXPECT_EQ(recorded.method, "POST");
    EXPECT_EQ(recorded.body, request.body);
    EXPECT_EQ(recorded.header("Content-Type"), request.header("Content-Type"));
    EXPECT_EQ(recorded.header("Accept"), "application/json");

    EXPECT_EQ(sendRequest(to(server, request, "/missing")), TransportResult::success(404));
    EXPECT_EQ(sendRequest(to(server, request, "/broken")), TransportResult::success(500));
    EXPECT_EQ(sendRequest(to(server, request, "/moved")), TransportResult::success(200));
    EXPECT_EQ(sendRequest(to(server, request, "/found")), TransportResult::success(302));

    auto dropped = sendRequest(to(server, request, "/drop"));
    EXPECT_FALSE(dropped.succeeded);
    EXPECT_FALSE(dropped.error.empty());

    auto slow = to(server, request, "/silent");
    slow.timeout = 300ms;
    auto timedOut = sendRequest(slow);
    EXPECT_FALSE(timedOut.succeeded);
    EXPECT_NE(timedOut.error.find("timed out"), std::string::npos) << timedOut.error;

    request.url = "http://127.0.0.1:" + std::to_string(freeClosedPort()) + "/";
    EXPECT_FALSE(sendRequest(request).succeeded);
    request.url = "file:///etc/passwd";
    EXPECT_FALSE(sendRequest(request).succeeded);
}

TEST(FeedbackMail, MailtoLinkAndComposerArguments) {
    EXPECT_EQ(
        mailtoURL("fb@example.com", "Kestrune feedback", "a&b=c+d\n\u00e9?#"),
        "mailto:fb@example.com?subject=Kestrune%20feedback&body=a%26b%3Dc%2Bd%0A%C3%A9%3F%23");

    TempDir tmp;
    const char* oldPath = std::getenv("PATH");
    std::string saved = oldPath ? oldPath : "";
    FeedbackMail mail{{"fb@example.com"}, "Kestrune feedback", "line 1\n'$(x)\" ;", {"/z/a.zip"}};
    EXPECT_EQ(
        mailComposerArguments(mail),
        (std::vector<std::string>{"--utf8", "--subject", "Kestrune feedback", "--body",
                                  "line 1\n'$(x)\" ;", "--attach", "/z/a.zip", "fb@example.com"}));

    // A stand-in composer that records its arguments, one per line, then exits as told.
    tmp.write("bin/xdg-email",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$0.args\"; done\n"
              "exit $(cat \"$0.status\")\n",
              true);
    tmp.write("bin/xdg-email.status", "0");
    ::setenv("PATH", (tmp.path() + "/bin:/usr/bin:/bin").c_str(), 1);
    EXPECT_TRUE(composeMail(mail));
    EXPECT_EQ(readAll(tmp / "bin/xdg-email.args"),
              "--utf8\n--subject\nKestrune feedback\n--body\nline 1\n'$(x)\" ;\n--attach\n"
              "/z/a.zip\nfb@example.com\n");
    tmp.write("bin/xdg-email.status", "3"); // no mail client
    EXPECT_FALSE(composeMail(mail));

    // A composer that stays in the foreground has taken the message.
    tmp.write("bin/xdg-email", "#!/bin/sh\nsleep 5\n", true);
    EXPECT_TRUE(composeMail(mail, 200ms));

    ::setenv("PATH", (tmp.path() + "/empty").c_str(), 1);
    EXPECT_FALSE(composeMail(mail));
    ::setenv("PATH", saved.c_str(), 1);
}
