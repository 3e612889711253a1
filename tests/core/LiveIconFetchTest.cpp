#include "icons/LiveIconFetch.h"
#include "HttpTestServer.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "icons/ImageSupport.h"
#include "icons/ServiceIconSearch.h"

#include <gtest/gtest.h>

using namespace KestruneTest;
using namespace KestruneCore;

namespace {

const std::string png = "\x89PNG\r\n\x1a\n fake image";

// Bytes count as an image when they start with the PNG signature.
class LiveIcons : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = imageSupport();
        imageSupport().bytesLoad = [](std::string_view b) {
            return b.rfind(png.substr(0, 8), 0) == 0;
        };
        imageSupport().fileLoads = [](const std::string& p) {
            return readAll(p).rfind("\x89PNG", 0) == 0;
        };
    }
    void TearDown() override {
        waitForLiveIconFetches();
        imageSupport() = saved_;
        liveIconDir.reset();
        clearIconCache();
    }

    std::vector<std::string> paths(const HttpTestServer& server) {
        std::vector<std::string> out;
        for (const auto& r : server.requests())
            out.push_back(r.path);
        return out;
    }

    TempDir tmp;

private:
    ImageSupport saved_;
};

HttpResponse page(std::string html) {
    return HttpResponse::withStatus(200, std::move(html), {{"Content-Type", "text/html"}});
}

} // namespace

TEST_F(LiveIcons, StoresTheLinkedIconOrTheFavicon) {
    HttpTestServer linked;
    linked.route("/", page(R"(<link rel="stylesheet" href="/s.css"><link rel="icon">)"
                           R"(<link rel="shortcut icon" href="/static/fav.png">)"));
    linked.route("/static/fav.png", HttpResponse::withStatus(200, png));
    HttpTestServer bare;
    bare.route("/start", HttpResponse::redirect(302, "/home"));
    bare.route("/home", HttpResponse::withStatus(404, "<p>no links here</p>"));
    bare.route("/favicon.ico", HttpResponse::withStatus(200, png + "ico"));

    fetchLiveIcon(linked.url("/"), tmp / "icons/a.img");
    fetchLiveIcon(bare.url("/start"), tmp / "deeper/icons/b.img");
    waitForLiveIconFetches();

    EXPECT_EQ(readAll(tmp / "icons/a.img"), png);
    EXPECT_EQ(paths(linked), (std::vector<std::string>{"/", "/static/fav.png"}));
    EXPECT_EQ(readAll(tmp / "deeper/icons/b.img"), png + "ico");
    EXPECT_EQ(paths(bare), (std::vector<std::string>{"/start", "/home", "/favicon.ico"}));
}

TEST_F(LiveIcons, StoresNothingButAnImageAnsweredWith200AndNeverTriesTwice) {
    HttpTestServer server;
    server.route("/", page(R"(<link rel="icon" href="/missing.png">)"));
    server.route("/missing.png", HttpResponse::withStatus(404, png));
    server.route("/html", page(R"(<link rel="icon" href="/html-icon">)"));
    server.route("/html-icon", page("<html>not an image</html>"));
    server.route("/big", page(R"(<link rel="icon" href="/big.png">)"));
    server.route("/big.png",
                 HttpResponse::withStatus(200, png + std::string(maxLiveIconBytes, 'x')));
    server.route("/ftp", page(R"(<link rel="icon" href="/to-ftp">)"));
    server.route("/to-ftp", HttpResponse::redirect(302, "ftp://127.0.0.1/i.png"));

    for (const char* p : {"/", "/html", "/big", "/ftp"})
        fetchLiveIcon(server.url(p), tmp / (std::string(p + 1) + ".img"));
    waitForLiveIconFetches();
    const auto asked = server.requestCount();
    EXPECT_EQ(asked, 8u);
    for (const char* name : {".img", "html.img", "big.img", "ftp.img"})
        EXPECT_FALSE(fileExists(tmp / name)) << name;

    server.route("/missing.png", HttpResponse::withStatus(200, png));
    fetchLiveIcon(server.url("/"), tmp / ".img");
    fetchLiveIcon("not a url", tmp / "x.img");
    waitForLiveIconFetches();
    EXPECT_EQ(server.requestCount(), asked);
}

TEST_F(LiveIcons, ServerDownOrSilentMeansNoIconRequest) {
    HttpTestServer silent(HttpResponse::neverAnswer());
    fetchLiveIcon(silent.url("/"), tmp / "silent.img");
    fetchLiveIcon("http://127.0.0.1:" + std::to_string(freeClosedPort()) + "/", tmp / "down.img");
    waitForLiveIconFetches(); // within the 3-second limit
    EXPECT_EQ(silent.requestCount(), 1u);
    EXPECT_FALSE(fileExists(tmp / "silent.img"));
    EXPECT_FALSE(fileExists(tmp / "down.img"));
}

TEST_F(LiveIcons, TwoLookupsMakeOneFetchAndALaterLookupFindsTheIcon) {
    HttpTestServer server;
    // Held until both lookups are made: a fast fetch must not save the icon between them.
    AnswerGate bothLooked;
    server.route("/", bothLooked.holding(page(R"(<link rel="icon" href="/i.png">)")));
    server.route("/i.png", HttpResponse::withStatus(200, png));
    liveIconDir = tmp / "icons";
    ServiceConfig config;
    config.url = server.url("/");
    const std::string project = tmp.mkdir("project");

    EXPECT_EQ(serviceIconSource(project, config), IconSource::generic());
    EXPECT_EQ(serviceIconSource(project, config), IconSource::generic());
    bothLooked.open();
    waitForLiveIconFetches();
    EXPECT_EQ(server.requestCount(), 2u);

    const auto stored = IconSource::file(liveIconPath(*liveIconDir, project));
    EXPECT_EQ(serviceIconSource(project, config), stored);
    std::remove(stored.text.c_str());
    EXPECT_EQ(serviceIconSource(project, config), stored); // cached now
}
