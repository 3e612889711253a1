#include "icons/ServiceIconSearch.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "icons/ImageSupport.h"

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>
#include <unistd.h>

using namespace KestruneTest;
using namespace KestruneCore;

namespace {

// Image answers for folders of plain files: a file "loads" when its text is not
// "broken", and its pixel area is the number it holds.
class IconSearch : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = imageSupport();
        auto& s = imageSupport();
        s.fileLoads = [](const std::string& path) { return readAll(path) != "broken"; };
        s.pixelArea = [](const std::string& path) {
            return std::int64_t(std::atoll(readAll(path).c_str()));
        };
        s.hasSymbol = [](const std::string& name) { return name == "globe"; };
        clearIconCache();
        liveIconDir.reset();
    }
    void TearDown() override {
        imageSupport() = saved_;
        clearIconCache();
        liveIconDir.reset();
    }

    TempDir tmp;

private:
    ImageSupport saved_;
};

std::optional<ServiceConfig> withIcon(std::string icon) {
    ServiceConfig c;
    c.icon = std::move(icon);
    return c;
}

} // namespace

TEST_F(IconSearch, FindsTheFirstIconInSearchOrder) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        std::optional<ServiceConfig> config;
        std::string expected; // a path in the project, "sf:<name>" or "" for generic
    };
    const std::string tauri = "src-tauri/tauri.conf.json";
    const std::vector<Case> cases = {
        {"svg over png", {{"icon.png", ""}, {"icon.svg", ""}}, {}, "icon.svg"},
        {"explicit icon over logo", {{"icon.png", ""}, {"logo.svg", ""}}, {}, "icon.png"},
        {"explicit icon over declaration",
         {{"icon.gif", ""}, {"a.png", ""}},
         withIcon("a.png"),
         "icon.gif"},
        {"declared symbol", {{"logo.png", ""}}, withIcon("sf:globe"), "sf:globe"},
        {"unknown symbol goes on to tauri",
         {{tauri, R"({"bundle": {"icon": ["i.png"]}})"}, {"src-tauri/i.png", "1"}},
         withIcon("sf:nosuch"),
         "src-tauri/i.png"},
        {"declared file, leading slash stays inside",
         {{"art/a.png", ""}},
         withIcon("/art/a.png"),
         "art/a.png"},
        {"declared file missing", {{"logo.jpg", ""}}, withIcon("art/none.png"), "logo.jpg"},
        {"tauri icns wins",
         {{tauri, R"({"bundle": {"icon": ["32.png", "128.png", "i.icns"]}})"},
          {"src-tauri/32.png", "1024"},
          {"src-tauri/128.png", "16384"},
          {"src-tauri/i.icns", ""}},
         {},
         "src-tauri/i.icns"},
        {"tauri largest png whatever the order",
         {{tauri, R"({"tauri": {"bundle": {"icon": ["128.png", "32.png", "64.png"]}}})"},
          {"src-tauri/32.png", "1024"},
          {"src-tauri/64.png", "16384"},
          {"src-tauri/128.png", "16384"}},
         {},
         "src-tauri/128.png"},
        {"tauri list with a non-string is ignored",
         {{tauri, R"({"bundle": {"icon": ["i.png", 3]}})"}, {"src-tauri/i.png", "1"}},
         {},
         ""},
        {"build icon without extension",
         {{"package.json", R"({"build": {"icon": "build/icon"}})"}, {"build/icon.icns", ""}},
         {},
         "build/icon.icns"},
        {"icon folder, upper case sorts first",
         {{"icons/b.icns", ""}, {"icons/A.ICNS", ""}, {"src-tauri/icons/0.icns", ""}},
         {},
         "icons/A.ICNS"},
        {"largest manifest icon first, sizes any and absent count 0",
         {{"public/manifest.json",
           R"({"icons": [{"src": "any.png", "sizes": "any"}, {"src": "s.png"},
                         {"src": "192.png", "sizes": "192x192"},
                         {"src": "512.png", "sizes": "16x16 512x512"}]})"},
          {"public/any.png", ""},
          {"public/s.png", ""},
          {"public/192.png", ""},
          {"public/512.png", ""}},
         {},
         "public/512.png"},
        {"manifest: web addresses skipped, leading slash inside the web folder",
         {{"static/site.webmanifest",
           R"({"icons": [{"src": "https://cdn.example/a.png", "sizes": "999x999"},
                         {"src": "/img/b.png", "sizes": "9x9"}]})"},
          {"static/img/b.png", ""}},
         {},
         "static/img/b.png"},
        {"manifest before a touch icon of an earlier folder",
         {{"apple-touch-icon.png", ""},
          {"public/manifest.webmanifest", R"({"icons": [{"src": "m.png"}]})"},
          {"public/m.png", ""}},
         {},
         "public/m.png"},
        {"web folders in order for each file name",
         {{"public/favicon.svg", ""}, {"favicon.ico", ""}},
         {},
         "favicon.ico"},
        {"touch icon before favicon",
         {{"public/favicon.svg", ""}, {"static/apple-touch-icon.png", ""}},
         {},
         "static/apple-touch-icon.png"},
        {"child public folders, year and build folders skipped",
         {{"2024/public/favicon.png", ""},
          {"node_modules/public/favicon.png", ""},
          {".cache/public/favicon.png", ""},
          {"web/public/favicon.png", ""}},
         {},
         "web/public/favicon.png"},
        {"logo last", {{"logo.jpg", ""}, {"logo.txt", ""}}, {}, "logo.jpg"},
        {"nothing", {{"README.md", "# x"}}, {}, ""},
    };
    for (const auto& c : cases) {
        TempDir project;
        for (const auto& [path, content] : c.files) // an empty file is no picture
            project.write(path, content.empty() ? "x" : content);
        IconSource expected = c.expected.empty() ? IconSource::generic()
                              : c.expected.rfind("sf:", 0) == 0
                                  ? IconSource::symbol(c.expected.substr(3))
                                  : IconSource::file(project / c.expected);
        EXPECT_EQ(resolveServiceIcon(project.path(), c.config), expected) << c.name;
    }
}

TEST_F(IconSearch, ManifestSizesAndYearFolders) {
    const std::vector<std::pair<nlohmann::json, std::int64_t>> sizes = {
        {{{"sizes", "16x16 32x32"}}, 32}, {{{"sizes", "any"}}, 0},
        {nlohmann::json::object(), 0},    {{{"sizes", 512}}, 0},
        {{{"sizes", "x48x"}}, 48},        {{{"sizes", "  64X64 8x8 "}}, 8},
    };
    for (const auto& [icon, size] : sizes)
        EXPECT_EQ(declaredIconSize(icon), size) << icon.dump();

    for (const char* name : {"node_modules", "dist", ".git", "1990", "2100", "2024"})
        EXPECT_TRUE(skippable(name)) << name;
    for (const char* name : {"1989", "2101", "20245", "+202", "abcd", "public", "Dist"})
        EXPECT_FALSE(skippable(name)) << name;
}

TEST_F(IconSearch, WebFoldersAreExistingFoldersInOrder) {
    for (const char* d : {"static", "public", "zeta/public", "Web/public", "app/public",
                          ".hidden/public", "2024/public", "dist/public", "nopublic"})
        tmp.mkdir(d);
    tmp.write("favicon", "a file, not a folder");
    EXPECT_EQ(
        webFolders(tmp.path()),
        (std::vector<std::string>{tmp.path(), tmp / "public", tmp / "static", tmp / "Web/public",
                                  tmp / "app/public", tmp / "zeta/public"}));
    EXPECT_TRUE(webFolders(tmp / "missing").empty());
}

TEST_F(IconSearch, ImageFilesAreSmallRegularFilesWithAnImageExtension) {
    tmp.write("A.PNG", "x");
    tmp.write("a.xpm", "x");
    tmp.write("a.txt", "x");
    tmp.write(".png", "x");
    tmp.write("empty.png", "");
    tmp.mkdir("folder.png");
    ASSERT_EQ(::mkfifo((tmp / "fifo.png").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (tmp / "device.png").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "A.PNG").c_str(), (tmp / "link.png").c_str()), 0);
    ASSERT_EQ(::truncate(tmp.write("huge.png", "x").c_str(), 1LL << 30), 0); // sparse
    ASSERT_EQ(::truncate(tmp.write("limit.png", "x").c_str(), off_t(maxIconFileBytes)), 0);
    const std::map<std::string, bool> cases = {
        {"A.PNG", true},       {"link.png", true},  {"limit.png", true},   {"b.png", false},
        {"a.txt", false},      {".png", false},     {"a.xpm", false},      {"empty.png", false},
        {"folder.png", false}, {"fifo.png", false}, {"device.png", false}, {"huge.png", false},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(isImageFile(tmp / name), expected) << name;
    EXPECT_FALSE(readIconFile(tmp / "fifo.png"));
    EXPECT_FALSE(readIconFile(tmp / "device.png"));
    EXPECT_EQ(readIconFile(tmp / "link.png"), "x");
    imageSupport().readableExtensions.insert("xpm");
    EXPECT_TRUE(isImageFile(tmp / "a.xpm"));
}

TEST_F(IconSearch, CacheHoldsAnswersUntilCleared) {
    tmp.write("logo.png", "x");
    const auto first = serviceIconSource(tmp.path(), {});
    tmp.write("icon.png", "x");
    EXPECT_EQ(serviceIconSource(tmp.path(), {}), first);
    clearIconCache();
    EXPECT_EQ(serviceIconSource(tmp.path(), {}), IconSource::file(tmp / "icon.png"));

    // Generic is cached only while live fetching is off.
    TempDir empty;
    EXPECT_EQ(serviceIconSource(empty.path(), {}), IconSource::generic());
    empty.write("icon.png", "x");
    EXPECT_EQ(serviceIconSource(empty.path(), {}), IconSource::generic());
    liveIconDir = tmp / "live";
    TempDir other;
    EXPECT_EQ(serviceIconSource(other.path(), {}), IconSource::generic());
    other.write("icon.png", "x");
    EXPECT_EQ(serviceIconSource(other.path(), {}), IconSource::file(other / "icon.png"));
}

TEST_F(IconSearch, StoredLiveIconIsFoundWithoutFetching) {
    liveIconDir = tmp / "icons";
    const std::string project = tmp.mkdir("home/me/My App");
    const std::string stored = liveIconPath(*liveIconDir, project);
    EXPECT_EQ(parentFolder(stored), *liveIconDir);
    ServiceConfig config;
    config.url = "http://127.0.0.1:1/"; // nothing may be asked for
    tmp.write("icons/" + lastPathComponent(stored), "png bytes");
    EXPECT_EQ(resolveServiceIcon(project, config), IconSource::file(stored));

    tmp.write("icons/" + lastPathComponent(stored), "broken");
    EXPECT_EQ(serviceIconSource(project, std::nullopt), IconSource::generic());
}
