#include "platform/BundleInfo.h"
#include "TempDir.h"
#include "health/Backoff.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace KestruneCore;
using KestruneTest::TempDir;

namespace {

std::string binaryPlist(const char* key, const char* value) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, key, plist_new_string(value));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &data, &length);
    std::string out(data, length);
    plist_to_bin_free(data);
    plist_free(dict);
    return out;
}

std::string xmlPlist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
           "</dict></plist>\n";
}

AppEntry app(const std::string& path) {
    return {"X", path, true, EntryType::app, ""};
}

} // namespace

TEST(BundleInfo, StateKeysOfEachKindOfApp) {
    TempDir tmp;
    tmp.write("Notes.app/Contents/Info.plist",
              xmlPlist("<key>CFBundleIdentifier</key><string>com.example.Notes</string>"
                       "<key>CFBundleExecutable</key><string>Notes</string>"));
    tmp.write("Exe.app/Contents/Info.plist",
              xmlPlist("<key>CFBundleIdentifier</key><integer>4</integer>"
                       "<key>CFBundleExecutable</key><string>Notes</string>"));
    tmp.write("Bin.app/Contents/Info.plist", binaryPlist("CFBundleIdentifier", "org.b\xC3\xA9ta"));
    tmp.write("Neither.app/Contents/Info.plist", xmlPlist(""));
    tmp.write("Broken.app/Contents/Info.plist", "<plist><dict><key>");
    tmp.write("Array.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    tmp.mkdir("Missing.app");

    EXPECT_EQ(stateKey(app(tmp / "Notes.app")), "com.example.Notes_");
    EXPECT_EQ(stateKey(app(tmp / "Exe.app")), "Notes_");
    EXPECT_EQ(stateKey(app(tmp / "Bin.app")), "org.b_ta_");
    EXPECT_EQ(stateKey(app(tmp / "Neither.app")), std::nullopt);
    EXPECT_EQ(stateKey(app(tmp / "Broken.app")), std::nullopt);
    EXPECT_EQ(stateKey(app(tmp / "Array.app")), std::nullopt);
    EXPECT_EQ(stateKey(app(tmp / "Missing.app")), std::nullopt);
    EXPECT_EQ(stateKey(app(tmp / "Gone.app")), std::nullopt);

    tmp.write("share/org.example.Editor.desktop",
              "[Desktop Entry]\nName=Editor\nExec=/usr/bin/my-editor --new %F\n");
    EXPECT_EQ(bundleInfo(tmp / "share/org.example.Editor.desktop"),
              (BundleInfo{"org.example.Editor", "my-editor"}));
    EXPECT_EQ(stateKey(app(tmp / "share/org.example.Editor.desktop")), "org.example.Editor_");

    EXPECT_EQ(bundleInfo(tmp.write("bin/tool", "#!/bin/sh\n", true)),
              (BundleInfo{std::nullopt, "tool"}));
    EXPECT_EQ(stateKey(app(tmp / "bin/tool")), "tool_");

    AppEntry web{"web", "/srv/web", true, EntryType::service, "launch.sh"};
    EXPECT_EQ(stateKey(web), "svc_web_");
}

TEST(BundleInfo, DesktopEntriesAndExecLines) {
    auto entry = parseDesktopEntry("# comment\n[Desktop Entry]\nName=My\\sEditor\n"
                                   "Name[de]=Mein Editor\nIcon = editor \nNoDisplay=true\n"
                                   "Exec=editor %U\n[Desktop Action new]\nExec=editor --new\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "My Editor");
    EXPECT_EQ(entry->icon, "editor");
    EXPECT_EQ(entry->exec, "editor %U");
    EXPECT_TRUE(entry->noDisplay);
    EXPECT_FALSE(parseDesktopEntry("Exec=x\n"));

    using Args = std::vector<std::string>;
    EXPECT_EQ(desktopExecArguments("app %f %F %u %U %i %c %k"), Args{"app"});
    EXPECT_EQ(desktopExecArguments("\"/opt/My App/run\"  --file=%f 100%% \"%U\""),
              (Args{"/opt/My App/run", "--file=", "100%", "%U"}));
    EXPECT_EQ(desktopExecArguments("run \"say \\\"hi\\\" \\\\ \\$HOME\""),
              (Args{"run", "say \"hi\" \\ $HOME"}));
    EXPECT_EQ(desktopExecArguments("  "), Args{});
    EXPECT_EQ(desktopExecArguments("run \"unterminated"), (Args{"run", "unterminated"}));
}
