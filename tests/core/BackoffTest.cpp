#include "health/Backoff.h"
#include "TempDir.h"
#include "core/FileIO.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::TempDir;

namespace {

AppEntry service(std::string name) {
    return {std::move(name), "/srv/x", true, EntryType::service, "launch.sh"};
}

} // namespace

TEST(Backoff, EpochFiles) {
    TempDir tmp;
    auto e = [&](std::string_view content) { return epoch(tmp.write("e", content)); };
    EXPECT_EQ(e(" 1700000000\n"), 1700000000);
    EXPECT_EQ(e("\r\n\t+42\r\n"), 42);
    EXPECT_EQ(e("-5"), -5);
    // Any Unicode blank or line break pads the number: NBSP, ideographic space, LS, NEL.
    EXPECT_EQ(e("\xc2\xa0\xe3\x80\x80"
                "7\xe2\x80\xa8\xc2\x85"),
              7);
    EXPECT_EQ(e("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(e("-9223372036854775808"), INT64_MIN);
    for (std::string_view bad : {"", "  \n", "1.5", "12 34", "+", "--1", "+-1", "abc", "12a",
                                 "9223372036854775808", "-9223372036854775809", "1\xff",
                                 "\xe2\x80\x8b"
                                 "1"}) // a zero-width space is no blank
        EXPECT_EQ(e(bad), std::nullopt) << bad;
    EXPECT_EQ(e(std::string("12\0", 3)), std::nullopt);
    EXPECT_EQ(epoch(tmp / "missing"), std::nullopt);
    EXPECT_EQ(epoch(tmp.write("big", std::string(100000, '1'))), std::nullopt);
    // Length is no limit: padding or leading zeros around and past the 4 KiB mark.
    for (std::size_t pad : {4090u, 4096u, 4097u, 70000u}) {
        EXPECT_EQ(e(std::string(pad, ' ') + "17\n"), 17) << pad;
        EXPECT_EQ(e("-17" + std::string(pad, '\n')), -17) << pad;
        EXPECT_EQ(e(std::string(pad, '0') + "17"), 17) << pad;
        EXPECT_EQ(e("17" + std::string(pad, ' ') + "x"), std::nullopt) << pad;
    }

    tmp.write("svc_web_.trying", "1700000000\n");
    EXPECT_EQ(tryingSince("web", tmp.path()), Clock::from_time_t(1700000000));
    EXPECT_EQ(tryingSince("other", tmp.path()), std::nullopt);
    // A time the clock cannot hold is no time at all, rather than an overflow.
    tmp.write("svc_far_.trying", "9223372036854775807");
    EXPECT_EQ(tryingSince("far", tmp.path()), std::nullopt);
}

TEST(Backoff, DueRetriesWakeTheEngineOncePerScheduledTime) {
    TempDir tmp;
    tmp.write("svc_web_.next", "1000\n");
    tmp.write("svc_later_.next", "2000");
    tmp.write("svc_junk_.next", "soon");
    tmp.write("web.next", "10");
    tmp.write("svc_web_.next.bak", "10");
    tmp.mkdir("svc_dir_.next");

    using Due = std::map<std::string, std::int64_t>;
    EXPECT_EQ(dueRetries(tmp.path(), 1000, {}), (Due{{"svc_web_", 1000}}));
    EXPECT_EQ(dueRetries(tmp.path(), 999, {}), Due{});
    EXPECT_EQ(dueRetries(tmp.path(), 1000, {{"svc_web_", 1000}}), Due{});
    EXPECT_EQ(dueRetries(tmp.path(), 5000, {{"svc_web_", 900}}),
              (Due{{"svc_web_", 1000}, {"svc_later_", 2000}}));
    EXPECT_EQ(dueRetries(tmp / "missing", 5000, {}), Due{});
}

TEST(Backoff, SanitizedKeysCountUserPerceivedCharacters) {
    EXPECT_EQ(sanitizedKey(""), "_");
    EXPECT_EQ(sanitizedKey("a b"), "a_b_");
    EXPECT_EQ(sanitizedKey("com.example.Notes"), "com.example.Notes_");
    // e + combining acute accent is one character; so is CR LF.
    EXPECT_EQ(sanitizedKey("Caf\x65\xCC\x81-1"), "Caf_-1_");
    EXPECT_EQ(sanitizedKey("a\r\nb"), "a_b_");
    EXPECT_EQ(sanitizedKey("../x/\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), ".._x___");
    EXPECT_EQ(sanitizedKey(std::string("a\0b", 3)), "a_b_");
    EXPECT_EQ(sanitizedKey("\xff"), "__");
}

TEST(Backoff, ResetClearsOnlyTheEntrysStateInsideTheStateFolder) {
    TempDir tmp;
    std::string state = tmp.mkdir("state");
    for (auto name : {"svc_web_.trying", "svc_web_.check", "svc_web_.next", "svc_web2_.trying",
                      "svc_web_", "other.next"})
        tmp.write("state/" + std::string(name), "1");
    tmp.write("state/problems.tsv", "web\tretrying\t\t1\tx\nweb2\tretrying\t\t1\r\n\nweb\n"
                                    "webby\thung-restarting\t\t2\n");
    resetBackoff(service("web"), state);
    EXPECT_FALSE(fileExists(state + "/svc_web_.trying"));
    EXPECT_FALSE(fileExists(state + "/svc_web_.check"));
    EXPECT_FALSE(fileExists(state + "/svc_web_.next"));
    EXPECT_TRUE(fileExists(state + "/svc_web2_.trying"));
    EXPECT_TRUE(fileExists(state + "/svc_web_"));
    EXPECT_TRUE(fileExists(state + "/other.next"));
    EXPECT_EQ(readAll(state + "/svc_web_.toggled"), "");
    EXPECT_TRUE(fileExists(state + "/svc_web_.toggled"));
    EXPECT_EQ(readAll(state + "/problems.tsv"),
              "web2\tretrying\t\t1\nwebby\thung-restarting\t\t2\n");

    // The last lines go: the file stays, empty. Without a problems file none is made.
    resetBackoff(service("web2"), state);
    resetBackoff(service("webby"), state);
    EXPECT_TRUE(fileExists(state + "/problems.tsv"));
    EXPECT_EQ(readAll(state + "/problems.tsv"), "");
    std::filesystem::remove(state + "/problems.tsv");
    resetBackoff(service("web"), state);
    EXPECT_FALSE(fileExists(state + "/problems.tsv"));

    // Hostile names cannot reach files beside or above the state folder.
    tmp.write("svc_.._.x", "keep");
    tmp.write("outside.trying", "keep");
    tmp.write("state/svc_keep_.trying", "keep");
    for (std::string name : {"..", "../outside", "/", "a\nb", "../state/../svc_"})
        resetBackoff(service(name), state);
    EXPECT_EQ(readAll(tmp / "svc_.._.x"), "keep");
    EXPECT_EQ(readAll(tmp / "outside.trying"), "keep");
    EXPECT_EQ(readAll(state + "/svc_keep_.trying"), "keep");

    // An app without a readable key still loses its problem lines.
    tmp.write("state/problems.tsv", "Ghost\tretry-limit\t\t1\nOther\tretry-limit\t\t1\n");
    resetBackoff({"Ghost", tmp / "Ghost.app", true, EntryType::app, ""}, state);
    EXPECT_EQ(readAll(state + "/problems.tsv"), "Other\tretry-limit\t\t1\n");
}

TEST(Backoff, SwitchOnAndStartingDecisions) {
    AppEntry app{"Mail", "/a/Mail.app", true, EntryType::app, ""};
    EXPECT_EQ(switchOnAction(app, false, false), SwitchOnAction::none);
    EXPECT_EQ(switchOnAction(service("web"), false, false), SwitchOnAction::none);
    EXPECT_EQ(switchOnAction(app, true, true), SwitchOnAction::none);
    EXPECT_EQ(switchOnAction(app, true, false), SwitchOnAction::launchApp);
    EXPECT_EQ(switchOnAction(service("web"), true, true), SwitchOnAction::checkNow);

    auto now = Clock::from_time_t(1700000000);
    using std::chrono::seconds;
    EXPECT_TRUE(isStillStarting(now - seconds(179), now, false));
    EXPECT_FALSE(isStillStarting(now - seconds(180), now, false));
    EXPECT_FALSE(isStillStarting(now - seconds(1), now, true));
    EXPECT_TRUE(isStillStarting(now + seconds(5), now, false));
    EXPECT_FALSE(isStillStarting(Clock::time_point::min(), Clock::time_point::max(), false));
    EXPECT_TRUE(isStillStarting(Clock::time_point::max(), Clock::time_point::min(), false));
}
