// The applications installed for this user, as a desktop's application menu lists
// them: the desktop entries of the XDG data folders.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace KestruneCore {

struct InstalledApp {
    std::string id;   // desktop id: the path below "applications", "/" read as "-"
    std::string name; // its Name
    std::string icon; // its Icon (a theme name or an absolute path), may be empty
    std::string path; // the .desktop file

    bool operator==(const InstalledApp&) const = default;
};

// $XDG_DATA_HOME (else ~/.local/share) then each of $XDG_DATA_DIRS (else
// /usr/local/share:/usr/share); relative entries of the variables are ignored.
std::vector<std::string> dataFolders();

// Each of dataFolders followed by "/applications".
std::vector<std::string> applicationFolders();

// The applications of `folders` (earlier folders first): an entry shadows those with
// the same desktop id in later folders, even when it hides itself. Entries that are
// Hidden, NoDisplay, not of type Application or without a Name are left out. Sorted
// by name (case aside), then by id.
std::vector<InstalledApp>
installedApps(const std::vector<std::string>& folders = applicationFolders());

// The name an app entry made from a .desktop file gets: its Name on one line; none for
// other files and entries without a Name.
std::optional<std::string> desktopEntryName(const std::string& path);

} // namespace KestruneCore
