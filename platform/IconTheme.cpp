#include "platform/IconTheme.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "platform/InstalledApps.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <map>
#include <set>
#include <string_view>
#include <sys/stat.h>

namespace KestruneCore {

namespace {

constexpr std::array<std::string_view, 3> pictureExtensions = {".png", ".svg", ".xpm"};
// index.theme files are small; one far larger is not a theme's.
constexpr std::size_t maxIndexBytes = 1 << 20;
// Inherited themes followed at most, against loops and runaway chains.
constexpr std::size_t maxThemes = 16;

struct ThemeFolder {
    std::string path; // relative to the theme's folder
    int size = 0, minSize = 0, maxSize = 0, threshold = 2, scale = 1;
    std::string type = "Threshold";
};

struct ThemeIndex {
    std::vector<ThemeFolder> folders;
    std::vector<std::string> inherits;
};

std::string trimmedText(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

std::vector<std::string> commaList(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const auto comma = text.find(',');
        if (auto item = trimmedText(text.substr(0, comma)); !item.empty())
            out.push_back(std::move(item));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

int number(const std::string& text, int fallback) {
    int value = fallback;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The theme's index.theme in the first base folder that has one.
std::optional<ThemeIndex> themeIndex(const IconThemeSearch& search, const std::string& theme) {
    for (const auto& base : search.bases) {
        auto text = readFile(base + "/" + theme + "/index.theme", maxIndexBytes);
        if (!text)
            continue;
        std::map<std::string, std::map<std::string, std::string>> groups;
        std::string group;
        for (const auto& raw : splitLines(*text)) {
            const std::string line = trimmedText(raw);
            if (line.empty() || line[0] == '#')
                continue;
            if (line.front() == '[' && line.back() == ']') {
                group = line.substr(1, line.size() - 2);
                continue;
            }
            if (const auto eq = line.find('='); eq != std::string::npos)
                groups[group][trimmedText(std::string_view(line).substr(0, eq))] =
                    trimmedText(std::string_view(line).substr(eq + 1));
        }
        ThemeIndex index;
        auto& main = groups["Icon Theme"];
        index.inherits = commaList(main["Inherits"]);
        for (auto& path : commaList(main["Directories"])) {
            auto& keys = groups[path];
            ThemeFolder f;
            f.path = path;
            f.size = number(keys["Size"], 0);
            f.minSize = number(keys["MinSize"], f.size);
            f.maxSize = number(keys["MaxSize"], f.size);
            f.threshold = number(keys["Threshold"], 2);
            f.scale = number(keys["Scale"], 1);
            if (!keys["Type"].empty())
                f.type = keys["Type"];
            if (f.size > 0 && f.scale == 1)
                index.folders.push_back(std::move(f));
        }
        return index;
    }
    return std::nullopt;
}

// How far a folder's sizes are from `pixels`; 0 when it draws at that size.
int sizeDistance(const ThemeFolder& f, int pixels) {
    if (f.type == "Fixed")
        return std::abs(f.size - pixels);
    const int low = f.type == "Scalable" ? f.minSize : f.size - f.threshold;
    const int high = f.type == "Scalable" ? f.maxSize : f.size + f.threshold;
    return pixels < low ? low - pixels : pixels > high ? pixels - high : 0;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> pictureIn(const std::string& folder, const std::string& name) {
    for (auto ext : pictureExtensions)
        if (std::string path = folder + "/" + name + std::string(ext); isRegularFile(path))
            return path;
    return std::nullopt;
}

} // namespace

std::vector<std::string> iconThemeFolders() {
    std::vector<std::string> out{home("~") + "/.icons"};
    for (const auto& folder : dataFolders())
        out.push_back(folder + "/icons");
    return out;
}

std::optional<std::string> themeIconFile(const IconThemeSearch& search, const std::string& given,
                                         int pixels) {
    std::string name = given;
    for (auto ext : pictureExtensions)
        if (name.size() > ext.size() && name.ends_with(ext))
            name.resize(name.size() - ext.size());
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;

    // The theme, then what it inherits (breadth first), then hicolor.
    std::vector<std::string> themes;
    std::set<std::string> seen;
    std::map<std::string, ThemeIndex> indexes;
    const auto add = [&](const std::string& theme) {
        if (!theme.empty() && theme.find('/') == std::string::npos && themes.size() < maxThemes &&
            seen.insert(theme).second)
            themes.push_back(theme);
    };
    add(search.theme);
    for (std::size_t i = 0; i < themes.size(); ++i) {
        auto index = themeIndex(search, themes[i]);
        if (!index)
            continue;
        for (const auto& parent : index->inherits)
            if (parent != "hicolor")
                add(parent);
        indexes.emplace(themes[i], std::move(*index));
    }
    add("hicolor");
    if (!indexes.count("hicolor"))
        if (auto index = themeIndex(search, "hicolor"))
            indexes.emplace("hicolor", std::move(*index));

    for (const auto& theme : themes) {
        auto it = indexes.find(theme);
        if (it == indexes.end())
            continue;
        std::optional<std::string> best;
        int bestDistance = INT_MAX;
        for (const auto& folder : it->second.folders) {
            const int distance = sizeDistance(folder, pixels);
            if (distance >= bestDistance)
                continue;
            for (const auto& base : search.bases)
                if (auto path = pictureIn(base + "/" + theme + "/" + folder.path, name)) {
                    best = std::move(path);
                    bestDistance = distance;
                    break;
                }
            if (bestDistance == 0)
                return best;
        }
        if (best)
            return best;
    }
    for (const auto& base : search.bases)
        if (auto path = pictureIn(base, name))
            return path;
    return pictureIn("/usr/share/pixmaps", name);
}

} // namespace KestruneCore
