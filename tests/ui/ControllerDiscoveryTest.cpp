#include "TempDir.h"
#include "app/D.h"
#include "discovery/Discovery.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace KestruneCore;
using Kestrune::D;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

class ControllerDiscovery : public ::testing::Test {
protected:
    TempDir tmp;
    ScopedHome scopedHome{tmp.path()};

    std::string service(const std::string& rel) {
        tmp.write(rel + "/scripts/launch.sh", "#!/bin/sh\n", true);
        tmp.write(rel + "/scripts/launch.json", R"({"ports": [4200]})");
        return tmp / rel;
    }
};

} // namespace

TEST_F(ControllerDiscovery, FoundStartsFromTheCacheAndFollowsEachNewList) {
    std::string a = service("Projects/a");
    std::string b = service("Projects/b");
    Discovery::saveCache({a});

    D d;
    int reloads = 0;
    d.sectionsReloader = [&] { ++reloads; };
    EXPECT_EQ(d.found, (std::vector<std::string>{a}));

    // An unchanged list rewrites the cache but shows nothing new.
    ::unlink(Discovery::cachePath().c_str());
    d.discovered({a});
    EXPECT_EQ(reloads, 0);
    EXPECT_EQ(Discovery::loadCache(), (std::vector<std::string>{a}));

    d.discovered({b, a});
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(d.found, (std::vector<std::string>{b, a}));
    EXPECT_EQ(Discovery::loadCache(), (std::vector<std::string>{b, a}));

    // Watching a found folder hides its row at once, without a new scan.
    ASSERT_EQ(d.foundRows().size(), 2u);
    d.apps.push_back(AppEntry{"a", a + "/", true, EntryType::service, "launch.sh"});
    auto rows = d.foundRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, b);
    EXPECT_FALSE(rows[0].enabled);
}

TEST_F(ControllerDiscovery, RescanWalksTheHomeFolderWhenNoIndexAnswers) {
    std::string a = service("Projects/a");
    std::string deep = service("Code/x/y/z");
    D d;
    int reloads = 0;
    d.sectionsReloader = [&] { ++reloads; };
    d.rescanServices();
    if (!d.discovery().usingFallback())
        GTEST_SKIP() << "this machine has a file index";
    for (int i = 0; i < 2000 && reloads == 0; ++i) {
        QThreadPool::globalInstance()->waitForDone(5);
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(d.found, (std::vector<std::string>{deep, a}));
    EXPECT_EQ(Discovery::loadCache(), d.found);
}
