#include "core/WatchList.h"
#include "TempDir.h"
#include "core/EditLock.h"
#include "core/FileIO.h"
#include "core/WatchListEdit.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::TempDir;

namespace {

AppEntry app(std::string name, std::string path, bool on = true) {
    return {std::move(name), std::move(path), on, EntryType::app, ""};
}

AppEntry service(std::string name, std::string path, std::string method, bool on = true) {
    return {std::move(name), std::move(path), on, EntryType::service, std::move(method)};
}

} // namespace

TEST(WatchList, ReadsFieldsTypesAndSwitchesTolerantly) {
    TempDir tmp;
    // A folder with an executable launch.sh, for lines whose method must be worked out.
    std::string svc = tmp.mkdir("proj");
    tmp.write("proj/scripts/launch.sh", "#!/bin/sh\n", true);
    std::string file = tmp.write("apps.tsv",
                                 "1\tA\t/x\n"        // three fields: app
                                 "yes\tB\t/y\tapp\n" // only "1" is on
                                 "1\tS\t" +
                                     svc +
                                     "\tservice\n" // method detected
                                     "0\tT\t" +
                                     svc +
                                     "\tservice\t\n"                       // empty method: detected
                                     "1\tU\t/p\tSERVICE\tlaunch.sh\n"      // type is case-sensitive
                                     "1\tV\t/q\tservice\tnpm dev\textra\n" // extra fields ignored
                                     "1\tW\t/r\tapp\tnpm dev\n" // apps never keep a method
                                     "\n1\tonly-two\n1\n"       // skipped lines
                                     "1\t\t\tweird\n");         // empty fields kept
    auto list = load(file);
    ASSERT_EQ(list.size(), 8u);
    EXPECT_EQ(list[0], app("A", "/x"));
    EXPECT_EQ(list[1], app("B", "/y", false));
    EXPECT_EQ(list[2], service("S", svc, "launch.sh"));
    EXPECT_EQ(list[3], service("T", svc, "launch.sh", false));
    EXPECT_EQ(list[4], app("U", "/p"));
    EXPECT_EQ(list[5], service("V", "/q", "npm dev"));
    EXPECT_EQ(list[6], app("W", "/r"));
    EXPECT_EQ(list[7], app("", ""));
    // Loading does not write the worked-out method back.
    EXPECT_NE(readAll(file).find("1\tS\t" + svc + "\tservice\n"), std::string::npos);
}

TEST(WatchList, HandEditedCrLfFileReadsLikeLf) {
    TempDir tmp;
    std::string file = tmp.write("apps.tsv", "1\tS\t/p\tservice\tlaunch.sh\r\n"
                                             "1\tA\t/x\tapp\r\n"
                                             "1\tB\t/y\tservice\r\n");
    auto list = load(file);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], service("S", "/p", "launch.sh"));
    EXPECT_EQ(list[1], app("A", "/x"));
    // "service\r" must not silently turn a service into an app.
    EXPECT_EQ(list[2].type, EntryType::service);
    EXPECT_EQ(list[2].method, "unknown");
}

TEST(WatchList, UnreadableOrBrokenFilesReadAsEmpty) {
    TempDir tmp;
    EXPECT_TRUE(load(tmp / "missing.tsv").empty());
    EXPECT_TRUE(load(tmp.write("empty.tsv", "")).empty());
    EXPECT_TRUE(load(tmp.write("latin1.tsv", "1\tCaf\xe9\t/x\tapp\n")).empty());
    EXPECT_TRUE(load(tmp.mkdir("a-folder")).empty());
    // NUL bytes are valid UTF-8 and stay inside their field.
    auto withNul = load(tmp.write("nul.tsv", std::string("1\tA\0B\t/x\n", 9)));
    ASSERT_EQ(withNul.size(), 1u);
    EXPECT_EQ(withNul[0].name, std::string("A\0B", 3));
}

TEST(WatchList, SaveWritesExactBytesAndRoundTrips) {
    TempDir tmp;
    std::string file = tmp / "deep/er/apps.tsv"; // parent folders are created
    WatchList list{app("Mail", "/System/Applications/Mail.app"),
                   service("shop", "/Users/me/Projects/shop", "launch.sh", false),
                   service("blank", "/b", ""),
                   {"Odd", "/o", true, EntryType::app, "npm dev"}};
    save(list, file);
    EXPECT_EQ(readAll(file), "1\tMail\t/System/Applications/Mail.app\tapp\n"
                             "0\tshop\t/Users/me/Projects/shop\tservice\tlaunch.sh\n"
                             "1\tblank\t/b\tservice\t\n"
                             "1\tOdd\t/o\tapp\n");
    auto back = load(file);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[0], list[0]);
    EXPECT_EQ(back[1], list[1]);
    EXPECT_EQ(back[2].method, "unknown"); // empty method is worked out on reading
    EXPECT_EQ(back[3].method, "");        // an app's method is never kept

    // Fields that would split a record are written as blanks.
    save({{"A\tB", "/x", true, EntryType::service, "npm\ndev"}}, file);
    EXPECT_EQ(readAll(file), "1\tA B\t/x\tservice\tnpm dev\n");

    save({}, file);
    EXPECT_EQ(readAll(file), "");
    // A failed write leaves nothing behind and reports nothing.
    save(list, "/proc/no-such-place/apps.tsv");
}

TEST(WatchList, ListOperations) {
    WatchList list{app("Mail", "/A/Mail.app"), service("shop", "/p/shop", "launch.sh")};

    auto added = adding("/Applications/Visual Studio Code.app", list);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(added[2], app("Visual Studio Code", "/Applications/Visual Studio Code.app"));
    EXPECT_EQ(adding("/p/shop", list), list); // path taken by a service
    EXPECT_EQ(adding("/A/Mail.app", list), list);
    EXPECT_EQ(adding("/A/Mail.app/", list).size(), 3u); // plain string comparison
    EXPECT_EQ(adding("/bin/tool", {})[0].name, "tool");
    EXPECT_TRUE(adding("/A/Tab\tbed.app", {}).empty()); // cannot be stored
    EXPECT_TRUE(adding("/A/new\nline.app", {}).empty());
    EXPECT_EQ(adding("/opt/my.tool.AppImage", {})[0].name, "my.tool");

    EXPECT_EQ(removing(-1, list), list);
    EXPECT_EQ(removing(2, list), list);
    EXPECT_EQ(removing(0, list), WatchList{list[1]});

    WatchList dup{
        list[0], list[1], list[0], {"Other", "/A/Mail.app", false, EntryType::service, ""}};
    // Same path and type go, whatever the name or switch; a service at that path stays.
    AppEntry probe = app("renamed", "/A/Mail.app", false);
    EXPECT_EQ(removing(probe, dup), (WatchList{list[1], dup[3]}));

    EXPECT_EQ(seededIfEmpty({}, list), list);
    EXPECT_EQ(seededIfEmpty(WatchList{list[1]}, list), WatchList{list[1]});
}

TEST(WatchList, MasterSwitchFile) {
    TempDir tmp;
    std::string file = tmp / "data/master";
    EXPECT_TRUE(loadMaster(file)); // missing: on
    saveMaster(false, file);
    EXPECT_EQ(readAll(file), "off\n");
    EXPECT_FALSE(loadMaster(file));
    saveMaster(true, file);
    EXPECT_EQ(readAll(file), "on\n");
    EXPECT_TRUE(loadMaster(file));

    EXPECT_FALSE(loadMaster(tmp.write("m1", "  \t off \n\n")));
    EXPECT_TRUE(loadMaster(tmp.write("m2", "Off\n")));
    EXPECT_TRUE(loadMaster(tmp.write("m3", "")));
    EXPECT_TRUE(loadMaster(tmp.write("m4", "of f\n")));
    EXPECT_TRUE(loadMaster(tmp.mkdir("m5")));
    // Unicode blanks and line breaks are trimmed too, however many there are.
    EXPECT_FALSE(loadMaster(tmp.write("m6", "\xe2\x80\x83off\xe2\x80\xa9\r\n")));
    EXPECT_FALSE(
        loadMaster(tmp.write("m7", std::string(5000, ' ') + "off" + std::string(5000, '\n'))));
    EXPECT_TRUE(loadMaster(tmp.write("m8", std::string(5000, ' ') + "off!")));
}

TEST(WatchList, EditsWaitForTheEditLockAndGiveUpWithoutChanging) {
    KestruneTest::TempDir tmp;
    std::string list = tmp / "apps.tsv";
    std::string master = tmp / "master";
    writeFileAtomically(list, "1\tMail\t/A/Mail.app\tapp\n");
    auto addNotes = [](const WatchList& l) -> std::optional<WatchList> {
        return adding("/A/Notes.app", l);
    };
    {
        EditLock other(list);
        EditLock otherMaster(master);
        ASSERT_TRUE(other.held() && otherMaster.held());
        auto outcome = editWatchList(addNotes, list, std::chrono::milliseconds(30));
        EXPECT_FALSE(outcome.saved);
        EXPECT_EQ(outcome.error, "the watch list " + list +
                                     " is being changed by another program (waited 1 s); it "
                                     "was left unchanged");
        EXPECT_EQ(outcome.list.size(), 1u);
        EXPECT_NE(editMaster(false, master, std::chrono::milliseconds(30)), "");
        EXPECT_FALSE(fileExists(master));
    }
    // Released: the same edits go through.
    EXPECT_TRUE(editWatchList(addNotes, list).saved);
    EXPECT_EQ(load(list).size(), 2u);
    EXPECT_EQ(editMaster(false, master), "");
    EXPECT_FALSE(loadMaster(master));
}

// What killed editors left behind goes with the next edit of that file: only its own
// temporaries, only plain files, only in its folder, and not one a writer without
// the lock may still be filling.
TEST(WatchList, EditsRemoveTheTemporariesKilledEditorsLeft) {
    TempDir tmp;
    const std::string list = tmp / "apps.tsv";
    const std::string master = tmp / "master";
    enum Kind { file, folder, link };
    struct Planted {
        std::string name;
        Kind kind;
        bool old;
        bool goesWithList;
        bool goesWithMaster;
    };
    const std::vector<Planted> planted{
        {".apps.tsv.tmp-Ab12Cd", file, true, true, false},
        {".apps.tsv.tmp-zz9ZZ9", file, true, true, false},
        {".master.tmp-Qw12Er", file, true, false, true},
        {".apps.tsv.tmp-Fresh1", file, false, false, false}, // may be a live writer's
        {".apps.tsv.tmp-Fold3r", folder, true, false, false},
        {".apps.tsv.tmp-L1nked", link, true, false, false},
        {".apps.tsv.tmp-abc", file, true, false, false},
        {".apps.tsv.tmp-abc-de", file, true, false, false},
        {"apps.tsv.tmp-Ab12Cd", file, true, false, false},
        {".apps.seed.tsv.tmp-Ab12Cd", file, true, false, false},
        {"sub/.apps.tsv.tmp-Ab12Cd", file, true, false, false},
    };
    const std::string kept = tmp.write("kept", "not ours");
    for (const auto& p : planted) {
        std::string at = tmp / p.name;
        if (p.kind == folder)
            tmp.mkdir(p.name);
        else if (p.kind == link)
            ASSERT_EQ(::symlink(kept.c_str(), at.c_str()), 0);
        else
            tmp.write(p.name, "1\tpartial");
        if (p.old) {
            struct timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, at.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
    }
    auto addMail = [](const WatchList& l) -> std::optional<WatchList> {
        return adding("/A/Mail.app", l);
    };

    ASSERT_TRUE(editWatchList(addMail, list).saved);
    for (const auto& p : planted)
        EXPECT_EQ(::access((tmp / p.name).c_str(), F_OK) != 0, p.goesWithList) << p.name;
    ASSERT_EQ(editMaster(false, master), "");
    for (const auto& p : planted)
        EXPECT_EQ(::access((tmp / p.name).c_str(), F_OK) != 0, p.goesWithList || p.goesWithMaster)
            << p.name;
    EXPECT_EQ(readAll(kept), "not ours");
}

// A watch list or master switch that is a link (a dotfiles checkout) stays a link;
// the edit lands in the file at the end of its links.
TEST(WatchList, EditsOfALinkedFileWriteItsTarget) {
    struct Case {
        std::string what;
        std::vector<std::pair<std::string, std::string>> links; // name → link text
        std::string target;                                     // "" when the edit must fail
    };
    const std::vector<Case> cases{
        {"relative", {{"cfg/F", "../dots/F"}}, "dots/F"},
        {"chain", {{"cfg/F", "G"}, {"cfg/G", "../dots/F"}}, "dots/F"},
        {"dangling, folder there", {{"cfg/F", "../dots/new"}}, "dots/new"},
        {"dangling, no folder", {{"cfg/F", "../nowhere/F"}}, ""},
        {"loop", {{"cfg/F", "G"}, {"cfg/G", "F"}}, ""},
    };
    for (bool isMaster : {false, true}) {
        for (const auto& c : cases) {
            TempDir tmp;
            tmp.mkdir("cfg");
            tmp.write("dots/F", isMaster ? "on\n" : "1\tMail\t/A/Mail.app\tapp\n");
            for (const auto& [name, text] : c.links)
                ASSERT_EQ(::symlink(text.c_str(), (tmp / name).c_str()), 0);
            const std::string path = tmp / "cfg/F";
            bool ok = isMaster ? editMaster(false, path).empty()
                               : editWatchList(
                                     [](const WatchList& l) -> std::optional<WatchList> {
                                         return adding("/A/Notes.app", l);
                                     },
                                     path)
                                     .ok();
            const std::string where = c.what + (isMaster ? " (master)" : " (watch list)");
            EXPECT_EQ(ok, !c.target.empty()) << where;
            for (const auto& [name, text] : c.links) {
                char buf[256] = {};
                EXPECT_EQ(std::string(buf, std::max<ssize_t>(
                                               0, ::readlink((tmp / name).c_str(), buf, 255))),
                          text)
                    << where;
            }
            if (c.target.empty())
                continue;
            if (isMaster)
                EXPECT_EQ(readAll(tmp / c.target), "off\n") << where;
            else
                EXPECT_EQ(load(tmp / c.target).back().path, "/A/Notes.app") << where;
        }
    }
}
