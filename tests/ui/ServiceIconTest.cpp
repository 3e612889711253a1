#include "icons/qt/ServiceIcon.h"
#include "HttpTestServer.h"
#include "TempDir.h"
#include "icons/LiveIconFetch.h"
#include "ui/Symbols.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using namespace KestruneTest;
using namespace KestruneCore;

namespace {

QByteArray encoded(QSize size, const char* format) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

std::string picture(const TempDir& dir, const std::string& rel, QSize size,
                    const char* format = "PNG") {
    return dir.write(rel, encoded(size, format).toStdString());
}

class ServiceIcons : public ::testing::Test {
protected:
    void SetUp() override {
        installQtImageSupport();
        clearIconCache();
    }
    void TearDown() override {
        waitForLiveIconFetches();
        liveIconDir.reset();
        clearIconCache();
    }
};

std::optional<ServiceConfig> declaring(std::optional<std::string> icon,
                                       std::optional<std::string> url = {}) {
    ServiceConfig c;
    c.icon = std::move(icon);
    c.url = std::move(url);
    return c;
}

} // namespace

TEST_F(ServiceIcons, FilesSymbolsAndTheGenericGlyph) {
    TempDir project;
    picture(project, "logo.png", {40, 20});
    project.write("icon.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 20">)"
                              R"(<rect width="10" height="20"/></svg>)");
    auto svg = serviceIcon(project.path(), {});
    ASSERT_TRUE(svg);
    EXPECT_EQ(svg->size(), QSize(256, 512));

    TempDir other;
    picture(other, "logo.png", {40, 20});
    auto symbol = serviceIcon(other.path(), declaring("sf:terminal"));
    ASSERT_TRUE(symbol);
    EXPECT_TRUE(Kestrune::isTemplateImage(*symbol));
    EXPECT_TRUE(symbol->text("description").isEmpty());
    clearIconCache();
    auto logo = serviceIcon(other.path(), declaring("sf:no.such.glyph"));
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->size(), QSize(40, 20));

    TempDir empty;
    auto generic = serviceIcon(empty.path(), {});
    ASSERT_TRUE(generic);
    EXPECT_TRUE(Kestrune::isTemplateImage(*generic));
    EXPECT_EQ(generic->text("description"), "Service");

    TempDir broken;
    broken.write("icon.png", "not a picture");
    EXPECT_FALSE(serviceIcon(broken.path(), {}));
}

TEST_F(ServiceIcons, DecodedByNameByFirstBytesOrByContent) {
    const QByteArray svg = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 20">)"
                           R"(<rect width="10" height="20"/></svg>)";
    // Bytes, the name's extension, the size expected (0 × 0: does not decode).
    const std::vector<std::tuple<QByteArray, QString, QSize>> cases = {
        {encoded({9, 7}, "PNG"), "PNG", {9, 7}},
        {encoded({9, 7}, "JPG"), "jpg", {9, 7}},
        {encoded({9, 7}, "XPM"), "xpm", {9, 7}},
        {encoded({9, 7}, "PNG"), "jpg", {9, 7}},
        {encoded({9, 7}, "ICO"), "img", {9, 7}},
        {encoded({9, 7}, "BMP"), "", {9, 7}},
        {svg, "svg", {256, 512}},
        {svg, "img", {256, 512}},
        {"not a picture", "png", {0, 0}},
        {"not a picture", "", {0, 0}},
    };
    for (const auto& [bytes, suffix, size] : cases)
        EXPECT_EQ(decodeIconBytes(bytes, suffix).size(), size)
            << suffix.toStdString() << " " << bytes.left(4).toHex().toStdString();
}

TEST_F(ServiceIcons, TauriPngsComparedByTheirPixels) {
    TempDir project;
    project.write(
        "src-tauri/tauri.conf.json",
        R"({"bundle": {"icon": ["icons/32x32.png", "icons/big.png", "icons/wide.png"]}})");
    picture(project, "src-tauri/icons/32x32.png", {32, 32});
    picture(project, "src-tauri/icons/big.png", {128, 128});
    picture(project, "src-tauri/icons/wide.png", {256, 64});
    EXPECT_EQ(pngArea(project / "src-tauri/icons/big.png"), 128 * 128);
    EXPECT_EQ(serviceIconSource(project.path(), {}),
              IconSource::file(project / "src-tauri/icons/big.png"));
}

TEST_F(ServiceIcons, MultiSizeIcoGivesItsLargestPicture) {
    TempDir project;
    // Qt writes one picture per .ico; a two-picture file is put together by hand.
    QByteArray small = encoded({16, 16}, "PNG"), large = encoded({48, 48}, "PNG");
    auto le16 = [](QByteArray& b, int v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
    auto le32 = [&](QByteArray& b, int v) { le16(b, v & 0xffff), le16(b, v >> 16); };
    QByteArray ico;
    le16(ico, 0), le16(ico, 1), le16(ico, 2);
    int offset = 6 + 2 * 16;
    for (auto [side, data] : {std::pair{16, &small}, std::pair{48, &large}}) {
        ico.append(char(side)).append(char(side)).append('\0').append('\0');
        le16(ico, 1), le16(ico, 32), le32(ico, int(data->size())), le32(ico, offset);
        offset += int(data->size());
    }
    ico.append(small).append(large);
    project.write("public/favicon.ico", ico.toStdString());
    auto icon = serviceIcon(project.path(), {});
    if (!icon)
        GTEST_SKIP() << "this Qt cannot read PNG-compressed .ico files";
    EXPECT_EQ(icon->size(), QSize(48, 48));
}

TEST_F(ServiceIcons, SiteIconFetchedOnceAndShownOnALaterLookup) {
    const QByteArray png = encoded({24, 24}, "PNG");
    HttpTestServer server;
    HttpTestServer htmlIcon;
    // The pages wait until both lookups are made, so the second one cannot find an
    // icon saved in between, however fast the fetch.
    AnswerGate bothLooked;
    server.route("/", bothLooked.holding(
                          HttpResponse::withStatus(200, R"(<link rel="icon" href="/i.png">)")));
    server.route("/i.png", HttpResponse::withStatus(200, png.toStdString()));
    htmlIcon.route(
        "/", bothLooked.holding(HttpResponse::withStatus(200, R"(<link rel="icon" href="/i">)")));
    htmlIcon.route("/i", HttpResponse::withStatus(200, "<!doctype html><p>hi</p>"));

    TempDir state;
    liveIconDir = state / "icons";
    TempDir project, other;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(serviceIcon(project.path(), declaring({}, server.url("/")))->text("description"),
                  "Service");
        serviceIcon(other.path(), declaring({}, htmlIcon.url("/")));
    }
    bothLooked.open();
    waitForLiveIconFetches();
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(htmlIcon.requestCount(), 2u);
    auto icon = serviceIcon(project.path(), declaring({}, server.url("/")));
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size(), QSize(24, 24));
    EXPECT_EQ(serviceIconSource(other.path(), declaring({}, htmlIcon.url("/"))),
              IconSource::generic());
}
