#include "discovery/Discovery.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace KestruneTest;
using KestruneCore::AppEntry;
using KestruneCore::EntryType;

namespace {

const char* const urlConfig = R"({"healthcheck": {"url": "http://127.0.0.1:4000/"}})";
const char* const portsConfig = R"({"ports": [4000]})";

// A folder with an executable start script and, when given, a declaration.
std::string service(const TempDir& tmp, const std::string& rel, const char* config = urlConfig) {
    tmp.write(rel + "/scripts/launch.sh", "#!/bin/sh\n", true);
    if (config)
        tmp.write(rel + "/scripts/launch.json", config);
    return tmp / rel;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The walk's results relative to `home`, sorted.
std::vector<std::string> walked(const TempDir& home) {
    std::vector<std::string> out;
    for (const auto& p : Discovery::walk(home.path()))
        out.push_back(p.substr(home.path().size() + 1));
    return sorted(out);
}

std::string launch(const std::string& folder) {
    return folder + "/scripts/launch.sh";
}

} // namespace

TEST(Discovery, QualifiesNeedsExecutableScriptAndAHealthDeclaration) {
    TempDir tmp;
    EXPECT_TRUE(Discovery::qualifies(service(tmp, "url")));
    EXPECT_TRUE(Discovery::qualifies(service(tmp, "ports", portsConfig)));

    EXPECT_FALSE(Discovery::qualifies(service(tmp, "nojson", nullptr)));
    EXPECT_FALSE(Discovery::qualifies(service(tmp, "neither", R"({"restart": "never"})")));
    EXPECT_FALSE(Discovery::qualifies(
        service(tmp, "emptyurl", R"({"healthcheck": {"url": ""}, "ports": []})")));
    EXPECT_FALSE(Discovery::qualifies(service(tmp, "malformed", R"({"ports": "4000"})")));

    tmp.write("plain/scripts/launch.sh", "#!/bin/sh\n", false);
    tmp.write("plain/scripts/launch.json", urlConfig);
    EXPECT_FALSE(Discovery::qualifies(tmp / "plain"));

    tmp.mkdir("dirscript/scripts/launch.sh");
    tmp.write("dirscript/scripts/launch.json", urlConfig);
    EXPECT_FALSE(Discovery::qualifies(tmp / "dirscript"));

    tmp.write("dangling/scripts/launch.json", urlConfig);
    ASSERT_EQ(::symlink("missing.sh", (tmp / "dangling/scripts/launch.sh").c_str()), 0);
    EXPECT_FALSE(Discovery::qualifies(tmp / "dangling"));
}

TEST(Discovery, RootsAreTheEightNamesUnderHomeInOrder) {
    auto roots = Discovery::roots("/h");
    ASSERT_EQ(roots.size(), 8u);
    EXPECT_EQ(roots.front(), "/h/Dropbox");
    EXPECT_EQ(roots[2], "/h/Projects");
    EXPECT_EQ(roots.back(), "/h/src");
}

TEST(Discovery, WalkSearchesRootsFiveLevelsAndOtherFoldersThree) {
    TempDir home;
    service(home, "Projects/a");
    service(home, "Code/a/b/c/d");
    service(home, "Code/a/b/c/d/e");
    service(home, "Code/a/b/c/d/e/f"); // six levels below the root
    service(home, "Other/a/b");
    service(home, "Other/a/b/c"); // four levels below home
    service(home, "top");
    // Recursion continues below a folder that matched.
    service(home, "Projects/a/nested");
    // A start script that is a folder still counts as found; a dangling link does not.
    home.mkdir("src/dirscript/scripts/launch.sh");
    home.mkdir("src/dangling/scripts");
    ASSERT_EQ(::symlink("nowhere", (home / "src/dangling/scripts/launch.sh").c_str()), 0);
    home.write("notes.txt", "not a folder");

    EXPECT_EQ(walked(home), sorted({launch("Projects/a"), launch("Projects/a/nested"),
                                    launch("Code/a/b/c/d"), launch("Code/a/b/c/d/e"),
                                    launch("Other/a/b"), launch("top"), launch("src/dirscript")}));

    // Roots come first, in root order, then the other home folders.
    auto order = Discovery::walk(home.path());
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), launch(home / "Projects/a"));
}

TEST(Discovery, WalkSkipsHiddenSkippedAndBundleFolders) {
    TempDir home;
    service(home, "Library/svc");
    service(home, ".hidden/svc");
    service(home, "Projects/.config/svc");
    service(home, "Projects/web/node_modules/pkg");
    service(home, "Projects/web/build/out");
    service(home, "Projects/Tool.app/Contents");
    service(home, "Other/Thing.app/svc");
    service(home, "Other/node_modules/svc");
    // The root names are walked once, as roots, not again as home folders.
    service(home, "Code/a/b/c/d/e");
    // A skipped name is compared exactly.
    service(home, "Projects/Build");
    // At the home level a bundle name is not skipped.
    service(home, "Home.app/svc");

    EXPECT_EQ(walked(home),
              sorted({launch("Code/a/b/c/d/e"), launch("Projects/Build"), launch("Home.app/svc")}));
}

TEST(Discovery, WalkFollowsLinksButNotLoops) {
    TempDir home;
    TempDir elsewhere;
    service(home, "Projects/a");
    service(elsewhere, "shared");
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (home / "Projects/ext").c_str()), 0);
    // Links back up the tree, a link to itself, a link to home.
    ASSERT_EQ(::symlink("..", (home / "Projects/a/up").c_str()), 0);
    ASSERT_EQ(::symlink(".", (home / "Projects/a/self").c_str()), 0);
    ASSERT_EQ(::symlink(home.path().c_str(), (home / "Projects/a/home").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", (home / "Projects/loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", (home / "Projects/loop2").c_str()), 0);
    ASSERT_EQ(::symlink(home.path().c_str(), (home / "myhome").c_str()), 0);

    auto found = walked(home);
    EXPECT_EQ(found, sorted({launch("Projects/a"), launch("Projects/ext/shared")}));
}

// K links beside the real folder on each of three levels: K³ paths to the deepest
// project. Each real folder must be opened once (counted by inotify) and each project
// reported once, under its plain path.
TEST(Discovery, WalkEntersEachFolderOnceWhateverLinksLeadToIt) {
    TempDir home;
    std::vector<std::string> real{"Projects/fan"};
    service(home, real.back());
    for (int level = 1; level <= 3; ++level) {
        std::string name = "d" + std::to_string(level);
        for (int l = 0; l < 50; ++l)
            ASSERT_EQ(
                ::symlink(name.c_str(), (home / real.back() + "/l" + std::to_string(l)).c_str()),
                0);
        real.push_back(real.back() + "/" + name);
        service(home, real.back());
    }
    int events = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(events, 0);
    std::map<int, int> opened;
    for (const auto& folder : real)
        opened[::inotify_add_watch(events, (home / folder).c_str(), IN_OPEN)] = 0;

    std::vector<std::string> expected;
    for (const auto& folder : real)
        expected.push_back(launch(folder));
    EXPECT_EQ(walked(home), sorted(expected));

    alignas(struct inotify_event) char buf[65536];
    for (ssize_t n; (n = ::read(events, buf, sizeof buf)) > 0;) {
        for (char* at = buf; at < buf + n;) {
            auto* e = reinterpret_cast<struct inotify_event*>(at);
            if (e->len == 0 && opened.contains(e->wd)) // the folder itself, not an entry
                ++opened[e->wd];
            at += sizeof(struct inotify_event) + e->len;
        }
    }
    ::close(events);
    for (const auto& [watch, count] : opened)
        EXPECT_EQ(count, 1) << "watch " << watch;
}

// A link met first, with fewer levels left below it, names its folder; the folder is
// walked again when its own path reaches it with more levels left, so nothing within
// the depth limits is missed, and no project is reported twice.
TEST(Discovery, WalkReportsTheFirstPathAndStillReachesTheDepthLimits) {
    TempDir home;
    service(home, "projects/x");
    service(home, "projects/x/y/z");
    home.mkdir("Dropbox/a/b/c");
    ASSERT_EQ(::symlink((home / "projects/x").c_str(), (home / "Dropbox/a/b/c/link").c_str()), 0);
    home.mkdir("Other");
    ASSERT_EQ(::symlink((home / "projects").c_str(), (home / "Other/p").c_str()), 0);

    auto order = Discovery::walk(home.path());
    EXPECT_EQ(order, (std::vector<std::string>{launch(home / "Dropbox/a/b/c/link"),
                                               launch(home / "projects/x/y/z")}));
}

TEST(Discovery, WalkSkipsWhatItCannotRead) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the super-user";
    TempDir home;
    service(home, "Projects/locked/svc");
    service(home, "Projects/open/svc");
    // Searchable but not listable: its own start script is still found.
    service(home, "Projects/blind");
    service(home, "Projects/blind/inner");
    ASSERT_EQ(::chmod((home / "Projects/locked").c_str(), 0), 0);
    ASSERT_EQ(::chmod((home / "Projects/blind").c_str(), 0111), 0);

    EXPECT_EQ(walked(home), sorted({launch("Projects/blind"), launch("Projects/open/svc")}));
}

TEST(Discovery, OddNamesAreWalkedButLeftOutOfTheCache) {
    TempDir home;
    std::string newline = service(home, "Projects/two\nlines");
    std::string invalid = service(home, "Projects/bad\xff");
    std::string plain = service(home, "Projects/plain");
    std::string cr = service(home, "Projects/ends\r");

    auto folders = Discovery::fallbackScan(home.path());
    EXPECT_EQ(folders, sorted({newline, invalid, plain, cr}));

    std::string cache = home / "cache/discovered.tsv";
    Discovery::saveCache(folders, cache);
    EXPECT_EQ(Discovery::loadCache(cache), sorted({plain, cr}));
}

TEST(Discovery, ReposQualifiesEachFolderOnceSorted) {
    TempDir tmp;
    std::string b = service(tmp, "b");
    std::string a = service(tmp, "a", portsConfig);
    std::string nope = service(tmp, "nope", nullptr);
    tmp.write("x/launch.sh", "#!/bin/sh\n", true);
    tmp.write("x/scripts/launch.json", urlConfig);

    // A link to a folder names the same service: the first path in sorted order stays.
    ASSERT_EQ(::symlink(b.c_str(), (tmp / "linked").c_str()), 0);
    EXPECT_EQ(Discovery::repos({launch(tmp / "linked"), launch(b), launch(nope), launch(a),
                                tmp / "x/launch.sh", launch(b), b, launch(a)}),
              (std::vector<std::string>{a, b}));
    EXPECT_TRUE(Discovery::repos({}).empty());
}

TEST(Discovery, SuggestionsHideWatchedServicesHoweverWritten) {
    TempDir home;
    ScopedHome scoped(home.path());
    std::string tilde = service(home, "Projects/tilde");
    std::string slash = service(home, "Projects/slash");
    std::string dots = service(home, "Projects/dots");
    std::string app = service(home, "Projects/app");
    std::string fresh = service(home, "Projects/fresh");
    home.write("Projects/fresh/README.md", "intro\n# Fresh Service \n");

    KestruneCore::WatchList watched{
        {"t", "~/Projects/tilde", true, EntryType::service, "launch.sh"},
        {"s", slash + "//", false, EntryType::service, "launch.sh"},
        {"d", home / "Projects/./x/../dots", true, EntryType::service, ""},
        {"a", app, true, EntryType::app, ""},
    };
    // The kept value is the string as found, trailing slash and all.
    auto rows = Discovery::suggestions({fresh + "/", tilde, slash, app, dots}, watched);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0],
              (AppEntry{"Fresh Service", fresh + "/", false, EntryType::service, "launch.sh"}));
    EXPECT_EQ(rows[1].path, app);
    EXPECT_EQ(rows[1].name, "app");
}

TEST(Discovery, StandardizedPathIsTextual) {
    TempDir home;
    ScopedHome scoped(home.path());
    EXPECT_EQ(Discovery::standardizedPath("~/a//b/"), home / "a/b");
    EXPECT_EQ(Discovery::standardizedPath("/a/./b/../c"), "/a/c");
    EXPECT_EQ(Discovery::standardizedPath("/../a"), "/a");
    EXPECT_EQ(Discovery::standardizedPath("//"), "/");
    EXPECT_EQ(Discovery::standardizedPath("../a/./"), "../a");
    EXPECT_EQ(Discovery::cachePath(), home / ".cache/kestrune/discovered.tsv");
}

TEST(Discovery, CacheRoundTrip) {
    TempDir tmp;
    std::string file = tmp / "deep/er/discovered.tsv";
    EXPECT_TRUE(Discovery::loadCache(file).empty());

    Discovery::saveCache({}, file);
    EXPECT_EQ(readAll(file), "");
    EXPECT_TRUE(Discovery::loadCache(file).empty());

    std::vector<std::string> paths{"/z/last", "/a/first", "/with space/and\ttab"};
    Discovery::saveCache(paths, file);
    EXPECT_EQ(readAll(file), "/z/last\n/a/first\n/with space/and\ttab\n");
    EXPECT_EQ(Discovery::loadCache(file), paths);

    tmp.write("hand.tsv", "\n/one\n\n/two");
    EXPECT_EQ(Discovery::loadCache(tmp / "hand.tsv"), (std::vector<std::string>{"/one", "/two"}));
    // Bytes that are not UTF-8 make the whole file unreadable.
    tmp.write("broken.tsv", "/one\n/t\xffwo\n");
    EXPECT_TRUE(Discovery::loadCache(tmp / "broken.tsv").empty());
}
