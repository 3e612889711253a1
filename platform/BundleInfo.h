// What an app entry's path says about the app: the identifier and executable name of
// an .app bundle, a .desktop file or a plain executable, and the parts of a .desktop
// file needed to start and recognise its program.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

struct BundleInfo {
    std::optional<std::string> identifier; // CFBundleIdentifier or the desktop file id
    std::optional<std::string> executable; // file name of the program it runs

    bool operator==(const BundleInfo&) const = default;
};

// .app bundle: its Contents/Info.plist (XML or binary), none when unreadable.
// .desktop file: its file name without ".desktop" and its Exec program's file name.
// Any other existing file: no identifier, its own file name.
std::optional<BundleInfo> bundleInfo(const std::string& path);

// A string value of bundle + "/Contents/Info.plist", when the file is a dictionary
// holding text under `key`.
std::optional<std::string> infoPlistString(const std::string& bundle, const std::string& key);

// The [Desktop Entry] group of a .desktop file (unlocalised keys, escapes decoded).
struct DesktopEntry {
    std::string type;
    std::string name;
    std::string exec;
    std::string tryExec;
    std::string icon;
    bool hidden = false;
    bool noDisplay = false;

    bool operator==(const DesktopEntry&) const = default;
};

std::optional<DesktopEntry> readDesktopEntry(const std::string& path);
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text);

// An Exec value split into arguments (quoting rules of .desktop files), field codes
// such as %f %U %i %c %k removed and "%%" turned into "%".
std::vector<std::string> desktopExecArguments(std::string_view exec);

// The program a .desktop file runs, found through PATH with links resolved.
std::optional<std::string> desktopExecProgram(const std::string& desktopPath);

bool isDesktopFile(const std::string& path);

} // namespace KestruneCore
