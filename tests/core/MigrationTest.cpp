#include "platform/Migration.h"
#include "TempDir.h"
#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "health/Problems.h"
#include "health/StartRecords.h"
#include "platform/AgentBackend.h"

#include <plist/plist.h>

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

using Calls = std::vector<std::vector<std::string>>;

std::function<void(const std::vector<std::string>&)> recorder(Calls& calls) {
    return [&calls](const std::vector<std::string>& args) { calls.push_back(args); };
}

std::string xmlDict(const std::string& key, const std::string& value) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>" + key +
           "</key><string>" + value + "</string></dict></plist>\n";
}

} // namespace

TEST(Migration, MovesFoldersAndLogsWithoutOverwriting) {
    TempDir h;
    h.write("Library/Application Support/Tolvane/apps.tsv", "old");
    h.write("Library/Logs/tolvane.log", "main");
    h.write("Library/Logs/tolvane-shop.log", "shop");
    h.write("Library/Logs/tolvane", "bare");
    h.write("Library/Logs/Tolvane.log", "capital");
    h.write("Library/Logs/tolvane-web.log", "old web");
    h.write("Library/Logs/kestrune-web.log", "new web");
    Calls calls;
    migrateFromFormerName(h.path(), recorder(calls));
    EXPECT_EQ(readAll(h / "Library/Application Support/Kestrune/apps.tsv"), "old");
    EXPECT_FALSE(fileExists(h / "Library/Application Support/Tolvane"));
    EXPECT_EQ(readAll(h / "Library/Logs/kestrune.log"), "main");
    EXPECT_EQ(readAll(h / "Library/Logs/kestrune-shop.log"), "shop");
    EXPECT_EQ(readAll(h / "Library/Logs/kestrune"), "bare");
    EXPECT_EQ(readAll(h / "Library/Logs/Tolvane.log"), "capital");
    EXPECT_EQ(readAll(h / "Library/Logs/kestrune-web.log"), "new web");
    EXPECT_EQ(readAll(h / "Library/Logs/tolvane-web.log"), "old web");
    EXPECT_TRUE(calls.empty()); // no former agent

    // Both data folders present: nothing moves.
    h.write("Library/Application Support/Tolvane/apps.tsv", "older");
    migrateFromFormerName(h.path(), recorder(calls));
    EXPECT_EQ(readAll(h / "Library/Application Support/Kestrune/apps.tsv"), "old");
    EXPECT_EQ(readAll(h / "Library/Application Support/Tolvane/apps.tsv"), "older");
}

TEST(Migration, FormerAgentIsBootedOutAndItsPlistRemoved) {
    TempDir h;
    std::string plist = h.write("Library/LaunchAgents/org.velto.tolvane.plist", "x");
    Calls calls;
    migrateFromFormerName(h.path(), recorder(calls));
    EXPECT_EQ(calls, (Calls{{"bootout", domainTarget() + "/org.velto.tolvane"}}));
    EXPECT_FALSE(fileExists(plist));
}

TEST(Migration, DefaultsAreCopiedOnlyForTheRealHomeAndOnlyIntoAnEmptyDomain) {
    TempDir real, other;
    ScopedHome scoped(real.path());
    for (const TempDir* h : {&real, &other})
        h->write("Library/Preferences/org.velto.tolvane.plist", xmlDict("k", "v"));
    Calls calls;
    migrateFromFormerName(other.path(), recorder(calls));
    EXPECT_FALSE(fileExists(defaultsPath(other.path(), "org.velto.kestrune")));

    migrateFromFormerName({}, recorder(calls)); // the default is HOME
    std::string copied = readAll(defaultsPath(real.path(), "org.velto.kestrune"));
    plist_t root = nullptr;
    plist_from_memory(copied.data(), uint32_t(copied.size()), &root);
    ASSERT_NE(root, nullptr);
    plist_t value = plist_dict_get_item(root, "k");
    ASSERT_NE(value, nullptr);
    char* text = nullptr;
    plist_get_string_val(value, &text);
    EXPECT_STREQ(text, "v");
    free(text);
    plist_free(root);
    EXPECT_TRUE(fileExists(defaultsPath(real.path(), "org.velto.tolvane"))); // left in place

    // A domain that already holds something is kept.
    real.write("Library/Preferences/org.velto.kestrune.plist", xmlDict("mine", "1"));
    migrateFromFormerName({}, recorder(calls));
    EXPECT_NE(readAll(defaultsPath(real.path(), "org.velto.kestrune")).find("mine"),
              std::string::npos);
}

TEST(Migration, FormerNameBaseFoldersMoveLikeItsLibraryFolders) {
    TempDir h;
    ScopedHome scoped(h.path());
    h.write(".config/tolvane/apps.tsv", "old list");
    h.write(".local/state/tolvane/tolvane.log", "old log");
    h.write(".cache/tolvane/discovered.tsv", "old found");
    h.write(".cache/kestrune/discovered.tsv", "new found");
    migrateFromFormerName(h.path(), {});
    EXPECT_EQ(readAll(dataPath()), "old list");
    EXPECT_EQ(readAll(logPath()), "old log");
    EXPECT_EQ(readAll(discoveredPath()), "new found"); // never replaced
    EXPECT_EQ(readAll(h / ".cache/tolvane/discovered.tsv"), "old found");
}

TEST(Migration, EarlierLayoutMovesOnceWithoutOverwritingAndLeavesForeignFiles) {
    TempDir h;
    ScopedHome scoped(h.path());
    const std::string old = "Library/Application Support/Kestrune/";
    struct Moved {
        std::string from, to; // to: a new location
    };
    const std::vector<Moved> moved = {
        {old + "apps.tsv", dataPath()},
        {old + "master", masterPath()},
        {old + "state/problems.tsv", problemsPath()},
        {old + "state/svc_web_.check", stateFolder() + "/svc_web_.check"},
        {old + "state/icons/a.png", liveIconFolder() + "/a.png"},
        {old + "discovered.tsv", discoveredPath()},
        {old + "feedback/kestrune-diagnostics-1.zip",
         feedbackFolder() + "/kestrune-diagnostics-1.zip"},
        {"Library/Logs/kestrune.log", logPath()},
        {"Library/Logs/kestrune-web.log", stateFolder() + "/kestrune-web.log"},
    };
    for (const auto& m : moved)
        h.write(m.from, "old " + m.from);
    // Already at its new place: the new file wins and the old one stays.
    h.write(old + "state/startup-times.tsv", "old records");
    h.write(".local/state/kestrune/startup-times.tsv", "new records");
    h.write("Library/Logs/other-app.log", "foreign");
    // A link to a list kept elsewhere still leads there from its new place.
    h.write("dotfiles/kestrune/apps.seed.tsv", "linked seed");
    ASSERT_EQ(::symlink("../../../dotfiles/kestrune/apps.seed.tsv",
                        (h / (old + "apps.seed.tsv")).c_str()),
              0);

    migrateFromEarlierLayout();
    for (const auto& m : moved) {
        EXPECT_EQ(readAll(m.to), "old " + m.from) << m.to;
        EXPECT_FALSE(fileExists(h / m.from)) << m.from;
    }
    EXPECT_EQ(readAll(seedPath()), "linked seed");
    EXPECT_EQ(readAll(startupTimesPath()), "new records");
    EXPECT_EQ(readAll(h / (old + "state/startup-times.tsv")), "old records");
    EXPECT_EQ(readAll(h / "Library/Logs/other-app.log"), "foreign");
    // Emptied folders are gone; those still holding something stay.
    EXPECT_FALSE(isDirectory(h / (old + "feedback")));
    EXPECT_FALSE(isDirectory(h / (old + "state/icons")));
    EXPECT_TRUE(isDirectory(h / (old + "state")));

    ::unlink((h / (old + "state/startup-times.tsv")).c_str());
    ::unlink((h / "Library/Logs/other-app.log").c_str());
    migrateFromEarlierLayout(); // a later start finds the rest empty
    EXPECT_FALSE(fileExists(h / "Library"));
    EXPECT_EQ(readAll(dataPath()), "old " + old + "apps.tsv");
    EXPECT_EQ(readAll(seedPath()), "linked seed");
}

TEST(Migration, EarlierLayoutReachesABaseFolderOnAnotherFileSystem) {
    TempDir h;
    ScopedHome scoped(h.path());
    struct stat home {
    }, shm{};
    if (::stat(h.path().c_str(), &home) != 0 || ::stat("/dev/shm", &shm) != 0 ||
        home.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second file system to move across";
    std::optional<TempDir> other;
    {
        KestruneTest::ScopedEnv tmpdir("TMPDIR", "/dev/shm");
        other.emplace();
    }
    KestruneTest::ScopedEnv cache("XDG_CACHE_HOME", other->path());
    h.write("Library/Application Support/Kestrune/discovered.tsv", "/p/shop\n");
    std::string icon = h.write("Library/Application Support/Kestrune/state/icons/a.png", "png");
    ::chmod(icon.c_str(), 0600);
    migrateFromEarlierLayout();
    EXPECT_EQ(readAll(other->path() + "/kestrune/discovered.tsv"), "/p/shop\n");
    EXPECT_EQ(readAll(liveIconFolder() + "/a.png"), "png");
    struct stat st {};
    ASSERT_EQ(::stat((liveIconFolder() + "/a.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fileExists(h / "Library"));
}
