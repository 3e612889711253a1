#include "platform/Migration.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "platform/AgentBackend.h"

#include <plist/plist.h>

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
