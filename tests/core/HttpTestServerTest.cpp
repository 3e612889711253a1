// The local test server is what every network test stands on; slow, silent and dropped
// answers are exercised by the health check tests, requests and bodies here.
#include "HttpTestServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

using namespace KestruneTest;

namespace {

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

Reply fetch(const std::string& url, const std::string* postBody = nullptr) {
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    curl_slist* extra = curl_slist_append(nullptr, "X-Test: yes");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, extra);
    if (postBody) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(postBody->size()));
    }
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(extra);
    curl_easy_cleanup(curl);
    return reply;
}

} // namespace

TEST(HttpTestServer, AnswersChosenStatusHeadersAndBodyPerPath) {
    HttpTestServer server(HttpResponse::withStatus(503, "down"));
    server.route("/moved", HttpResponse::redirect(301, "/elsewhere"));
    server.route("/echo", [](const HttpRequest& r) {
        return HttpResponse::withStatus(200, r.method + " " + r.header("x-test") + " " + r.body);
    });

    Reply plain = fetch(server.url("/anything"));
    EXPECT_EQ(plain.code, CURLE_OK);
    EXPECT_EQ(plain.status, 503);
    EXPECT_EQ(plain.body, "down");

    Reply moved = fetch(server.url("/moved?x=1"));
    EXPECT_EQ(moved.status, 301);
    EXPECT_NE(moved.headers.find("Location: /elsewhere\r\n"), std::string::npos);

    // A large body with a NUL byte in it arrives whole, even if the client asks to continue.
    std::string big(200000, 'x');
    big[123] = '\0';
    Reply echoed = fetch(server.url("/echo"), &big);
    EXPECT_EQ(echoed.status, 200);
    EXPECT_EQ(echoed.body, "POST yes " + big);

    ASSERT_EQ(server.requestCount(), 3u);
    auto requests = server.requests();
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[1].path, "/moved?x=1");
    EXPECT_EQ(requests[2].body, big);
}
