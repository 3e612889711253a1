#include "platform/InstalledApps.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "platform/BundleInfo.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

namespace KestruneCore {

namespace {

namespace fs = std::filesystem;

// Folders below "applications" are part of an id; deeper than this is no menu.
constexpr int maxDepth = 8;

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// Every .desktop file below `folder`, by desktop id, without following links to folders.
std::map<std::string, std::string> desktopFilesById(const std::string& folder) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        if (it.depth() >= maxDepth)
            it.disable_recursion_pending();
        std::string path = it->path().string();
        if (!isDesktopFile(path) || it->is_directory(ec))
            continue;
        std::string id = path.substr(folder.size() + 1);
        std::replace(id.begin(), id.end(), '/', '-');
        out.emplace(id, path);
    }
    return out;
}

} // namespace

std::vector<std::string> dataFolders() {
    std::vector<std::string> out;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    out.push_back(dataHome && dataHome[0] == '/' ? std::string(dataHome)
                                                 : home("~") + "/.local/share");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t colon = std::min(list.find(':', start), list.size());
        std::string dir = list.substr(start, colon - start);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (!dir.empty() && dir[0] == '/')
            out.push_back(dir);
        start = colon + 1;
    }
    return out;
}

std::vector<std::string> applicationFolders() {
    std::vector<std::string> out;
    for (const auto& folder : dataFolders())
        out.push_back(folder + "/applications");
    return out;
}

std::vector<InstalledApp> installedApps(const std::vector<std::string>& folders) {
    std::map<std::string, std::string> byId; // the first folder that has an id wins
    for (const auto& folder : folders)
        for (auto& [id, path] : desktopFilesById(folder))
            byId.emplace(id, path);
    std::vector<InstalledApp> out;
    for (const auto& [id, path] : byId) {
        auto entry = readDesktopEntry(path);
        if (!entry || entry->hidden || entry->noDisplay || entry->type != "Application" ||
            entry->name.empty())
            continue;
        out.push_back({id, singleLineField(entry->name), entry->icon, path});
    }
    std::stable_sort(out.begin(), out.end(), [](const InstalledApp& a, const InstalledApp& b) {
        return lowered(a.name) < lowered(b.name);
    });
    return out;
}

std::optional<std::string> desktopEntryName(const std::string& path) {
    if (!isDesktopFile(path))
        return std::nullopt;
    auto entry = readDesktopEntry(path);
    if (!entry || entry->name.empty())
        return std::nullopt;
    return singleLineField(entry->name);
}

} // namespace KestruneCore
