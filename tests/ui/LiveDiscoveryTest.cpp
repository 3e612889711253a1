#include "discovery/qt/LiveDiscovery.h"
#include "TempDir.h"
#include "discovery/Discovery.h"
#include "discovery/qt/MdfindQuery.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>

using namespace KestruneTest;
using Kestrune::LiveDiscovery;
using Kestrune::MetadataQuery;
using namespace std::chrono_literals;

namespace {

// A query whose results the test sets and whose notifications the test sends.
class FakeQuery : public MetadataQuery {
public:
    std::vector<std::optional<std::string>> results;
    bool startResult = true;
    bool started = false;
    int starts = 0;
    int stops = 0;
    int reads = 0;
    int disabled = 0;

    bool start() override {
        ++starts;
        started = startResult;
        return startResult;
    }
    void stop() override {
        ++stops;
        started = false;
    }
    bool isStarted() const override { return started; }
    void disableUpdates() override { ++disabled; }
    void enableUpdates() override { --disabled; }
    std::size_t resultCount() const override {
        ++const_cast<FakeQuery*>(this)->reads;
        return results.size();
    }
    std::optional<std::string> resultPath(std::size_t i) const override { return results.at(i); }

    void post() { emit didUpdate(); }
};

class LiveDiscoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance())
            return;
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "kestrune_ui_tests";
        static char* argv[] = {name, nullptr};
        static QApplication app(argc, argv);
    }

    template <typename Pred> static bool waitUntil(Pred pred, std::chrono::seconds limit = 20s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    // Lets every queued worker and hand-back finish.
    static void settle() {
        QThreadPool::globalInstance()->waitForDone();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    static bool onMainThread() { return QThread::currentThread() == qApp->thread(); }

    TempDir tmp;

    std::string service(const std::string& rel) {
        tmp.write(rel + "/scripts/launch.sh", "#!/bin/sh\n", true);
        tmp.write(rel + "/scripts/launch.json", R"({"ports": [4100]})");
        return tmp / rel;
    }
};

std::string launch(const std::string& folder) {
    return folder + "/scripts/launch.sh";
}

} // namespace

TEST_F(LiveDiscoveryTest, ConfiguresTheQueryOnce) {
    auto owned = std::make_unique<FakeQuery>();
    FakeQuery* query = owned.get();
    LiveDiscovery live(
        std::move(owned), nullptr, [] { return LiveDiscovery::Paths{}; },
        [](const LiveDiscovery::Paths&) {});
    EXPECT_EQ(query->predicate(), Discovery::predicate);
    EXPECT_EQ(query->searchScopes(), Discovery::scopes);
    EXPECT_EQ(query->notificationBatchingInterval(), 2.0);
    EXPECT_FALSE(live.usingFallback());
}

TEST_F(LiveDiscoveryTest, FallbackRunsOffTheMainThreadAndDeliversOnIt) {
    std::atomic<int> fallbackCalls{0};
    std::atomic<bool> fallbackOnMain{true};
    std::vector<LiveDiscovery::Paths> delivered;
    bool deliveredOnMain = false;
    auto owned = std::make_unique<FakeQuery>();
    FakeQuery* query = owned.get();
    bool startOk = false;
    LiveDiscovery live(
        std::move(owned), [&](MetadataQuery&) { return startOk; },
        [&] {
            fallbackOnMain = onMainThread();
            ++fallbackCalls;
            return LiveDiscovery::Paths{"/walked/one", "/walked/two"};
        },
        [&](const LiveDiscovery::Paths& paths) {
            deliveredOnMain = onMainThread();
            delivered.push_back(paths);
        });

    live.start();
    EXPECT_TRUE(live.usingFallback());
    EXPECT_TRUE(delivered.empty()); // never synchronously
    ASSERT_TRUE(waitUntil([&] { return !delivered.empty(); }));
    settle();
    EXPECT_EQ(fallbackCalls, 1);
    EXPECT_FALSE(fallbackOnMain);
    EXPECT_TRUE(deliveredOnMain);
    EXPECT_EQ(delivered, (std::vector<LiveDiscovery::Paths>{{"/walked/one", "/walked/two"}}));

    // Once the query starts, the walk is no longer used.
    startOk = true;
    live.refresh();
    settle();
    EXPECT_FALSE(live.usingFallback());
    EXPECT_EQ(fallbackCalls, 1);
    EXPECT_EQ(query->starts, 0); // the injected starter decides, not the query
}

TEST_F(LiveDiscoveryTest, RefreshRestartsARunningQuery) {
    auto owned = std::make_unique<FakeQuery>();
    FakeQuery* query = owned.get();
    LiveDiscovery live(
        std::move(owned), nullptr, [] { return LiveDiscovery::Paths{}; },
        [](const LiveDiscovery::Paths&) {});
    live.start();
    EXPECT_EQ(query->starts, 1);
    EXPECT_EQ(query->stops, 0);
    live.refresh();
    EXPECT_EQ(query->starts, 2);
    EXPECT_EQ(query->stops, 1);
    EXPECT_TRUE(query->isStarted());
    EXPECT_FALSE(live.usingFallback());
}

TEST_F(LiveDiscoveryTest, CurrentPathsSkipsResultsWithoutAPath) {
    auto owned = std::make_unique<FakeQuery>();
    FakeQuery* query = owned.get();
    query->results = {"/b/scripts/launch.sh", std::nullopt, "", "/a/scripts/launch.sh"};
    LiveDiscovery live(std::move(owned), nullptr, nullptr, [](const LiveDiscovery::Paths&) {});
    EXPECT_EQ(live.currentPaths(),
              (LiveDiscovery::Paths{"/b/scripts/launch.sh", "/a/scripts/launch.sh"}));
    EXPECT_EQ(query->disabled, 0); // updates are enabled again afterwards
}

TEST_F(LiveDiscoveryTest, NotificationsDuringAConversionCoalesceIntoOneMore) {
    std::string a = service("a");
    std::string b = service("b");
    std::string c = service("c");
    auto owned = std::make_unique<FakeQuery>();
    FakeQuery* query = owned.get();
    std::vector<LiveDiscovery::Paths> delivered;
    LiveDiscovery live(std::move(owned), nullptr, nullptr,
                       [&](const LiveDiscovery::Paths& folders) { delivered.push_back(folders); });
    live.start();

    query->results = {launch(a)};
    query->post(); // a conversion starts; its result needs the event loop to come back
    query->results = {launch(a), launch(b)};
    query->post();
    query->post();
    query->results = {launch(c), launch(b), launch(a), launch(c)};
    query->post();
    EXPECT_EQ(query->reads, 4);

    ASSERT_TRUE(waitUntil([&] { return delivered.size() >= 2; }));
    settle();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0], (LiveDiscovery::Paths{a}));
    // The follow-up reads the newest results afresh.
    EXPECT_EQ(delivered[1], (LiveDiscovery::Paths{a, b, c}));
    EXPECT_EQ(query->reads, 5);

    // Idle again: the next notification converts at once.
    query->results = {launch(b)};
    query->post();
    ASSERT_TRUE(waitUntil([&] { return delivered.size() == 3; }));
    settle();
    EXPECT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[2], (LiveDiscovery::Paths{b}));
}

TEST_F(LiveDiscoveryTest, NothingIsDeliveredAfterDestruction) {
    std::atomic<bool> release{false};
    std::atomic<bool> running{false};
    int delivered = 0;
    auto live = std::make_unique<LiveDiscovery>(
        std::make_unique<FakeQuery>(), [](MetadataQuery&) { return false; },
        [&] {
            running = true;
            while (!release)
                QThread::msleep(5);
            return LiveDiscovery::Paths{"/x"};
        },
        [&](const LiveDiscovery::Paths&) { ++delivered; });
    live->start();
    ASSERT_TRUE(waitUntil([&] { return running.load(); }));
    live.reset();
    release = true;
    settle();
    EXPECT_EQ(delivered, 0);
}

TEST_F(LiveDiscoveryTest, MdfindQueryReadsPathsFromALiveChild) {
    Kestrune::MdfindQuery missing(tmp / "no-such-tool");
    EXPECT_FALSE(missing.start());
    EXPECT_FALSE(missing.isStarted());

    std::string a = service("found/a");
    std::string b = service("found/b");
    // Stands in for the index tool: prints results and a progress note, then stays.
    std::string tool = tmp.write("bin/index-tool",
                                 "#!/bin/sh\n"
                                 "printf '%s\\n' \"$2\" > \"$0.args\"\n"
                                 "echo '" +
                                     launch(b) +
                                     "'\n"
                                     "echo '" +
                                     launch(a) +
                                     "'\n"
                                     "echo '" +
                                     launch(b) +
                                     "'\n"
                                     "echo 'Query update: 2 matches'\n"
                                     "exec sleep 60\n",
                                 true);
    auto owned = std::make_unique<Kestrune::MdfindQuery>(tool);
    Kestrune::MdfindQuery* query = owned.get();
    std::vector<LiveDiscovery::Paths> delivered;
    LiveDiscovery live(
        std::move(owned), nullptr, [] { return LiveDiscovery::Paths{"/walked"}; },
        [&](const LiveDiscovery::Paths& f) { delivered.push_back(f); });
    query->setNotificationBatchingInterval(0.05);
    EXPECT_EQ(query->arguments(),
              (std::vector<std::string>{"-live", std::string(Discovery::predicate)}));

    live.start();
    EXPECT_FALSE(live.usingFallback());
    EXPECT_TRUE(query->isStarted());
    ASSERT_TRUE(waitUntil([&] { return !delivered.empty(); }));
    EXPECT_EQ(delivered[0], (LiveDiscovery::Paths{a, b}));
    EXPECT_EQ(live.currentPaths(), (LiveDiscovery::Paths{launch(b), launch(a)}));
    // The predicate reaches the tool as one argument, quotes and all.
    EXPECT_EQ(readAll(tool + ".args"), std::string(Discovery::predicate) + "\n");

    query->stop();
    EXPECT_FALSE(query->isStarted());
    settle();
}
