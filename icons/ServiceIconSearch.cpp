#include "icons/ServiceIconSearch.h"

#include "core/FileIO.h"
#include "icons/ImageSupport.h"
#include "icons/LiveIconFetch.h"
#include "services/ServiceCheck.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <unordered_map>

#include <sys/stat.h>

namespace KestruneCore {

namespace {

// Declarations and manifests are small; a larger file is not read.
constexpr std::size_t maxJsonBytes = 4u * 1024u * 1024u;

std::string lowered(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The extension of the last path component, without the dot; "" for none and for a
// name that is only a dot and a word (".png").
std::string_view extensionOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The names in a folder, sorted by their bytes (code point order); empty when it
// cannot be listed.
std::vector<std::string> sortedNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<long long> decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<IconSource> fileIf(const std::string& path) {
    if (isImageFile(path))
        return IconSource::file(path);
    return std::nullopt;
}

std::optional<IconSource> explicitIcon(const std::string& dir) {
    if (auto found = fileIf(dir + "/icon.svg"))
        return found;
    for (auto ext : iconImageExts)
        if (auto found = fileIf(dir + "/icon." + std::string(ext)))
            return found;
    return std::nullopt;
}

std::optional<IconSource> declaredIcon(const std::string& dir,
                                       const std::optional<ServiceConfig>& config) {
    if (!config || !config->icon || config->icon->empty())
        return std::nullopt;
    const std::string& icon = *config->icon;
    if (icon.rfind("sf:", 0) == 0) {
        std::string name = icon.substr(3);
        if (imageSupport().hasSymbol(name))
            return IconSource::symbol(name);
        return std::nullopt;
    }
    return fileIf(joinedPath(dir, icon));
}

std::optional<IconSource> tauriBundleIcon(const std::string& dir) {
    auto conf = json(dir + "/src-tauri/tauri.conf.json");
    if (!conf || !conf->is_object())
        return std::nullopt;
    const nlohmann::json* bundle = member(*conf, "bundle");
    if (!bundle || !bundle->is_object()) {
        const nlohmann::json* tauri = member(*conf, "tauri");
        bundle = tauri ? member(*tauri, "bundle") : nullptr;
    }
    const nlohmann::json* icons = bundle ? member(*bundle, "icon") : nullptr;
    if (!icons || !icons->is_array() ||
        !std::all_of(icons->begin(), icons->end(), [](const auto& v) { return v.is_string(); }))
        return std::nullopt;
    std::vector<std::string> files;
    for (const auto& name : *icons) {
        std::string path = dir + "/src-tauri/" + name.get<std::string>();
        if (isImageFile(path))
            files.push_back(std::move(path));
    }
    for (const auto& path : files)
        if (endsWith(lowered(path), ".icns"))
            return IconSource::file(path);
    std::optional<std::string> best;
    std::int64_t bestArea = 0;
    for (const auto& path : files) {
        if (!endsWith(lowered(path), ".png"))
            continue;
        std::int64_t area = imageSupport().pixelArea(path);
        if (!best || area > bestArea) {
            best = path;
            bestArea = area;
        }
    }
    if (best)
        return IconSource::file(*best);
    return std::nullopt;
}

std::optional<IconSource> buildIcon(const std::string& dir) {
    auto package = json(dir + "/package.json");
    const nlohmann::json* build = package ? member(*package, "build") : nullptr;
    const nlohmann::json* icon = build ? member(*build, "icon") : nullptr;
    if (!icon || !icon->is_string())
        return std::nullopt;
    const std::string p = joinedPath(dir, icon->get<std::string>());
    for (const std::string& candidate : {p, p + ".icns", p + ".png"})
        if (auto found = fileIf(candidate))
            return found;
    return std::nullopt;
}

std::optional<IconSource> iconFolderIcon(const std::string& dir) {
    for (const char* folder : {"icons", "src-tauri/icons"}) {
        const std::string path = dir + "/" + folder;
        for (const auto& name : sortedNames(path))
            if (endsWith(lowered(name), ".icns"))
                return IconSource::file(path + "/" + name);
    }
    return std::nullopt;
}

std::optional<IconSource> manifestIcon(const std::string& web) {
    for (const char* name : {"site.webmanifest", "manifest.json", "manifest.webmanifest"}) {
        auto manifest = json(web + "/" + name);
        const nlohmann::json* icons = manifest ? member(*manifest, "icons") : nullptr;
        if (!icons || !icons->is_array() ||
            !std::all_of(icons->begin(), icons->end(), [](const auto& v) { return v.is_object(); }))
            continue;
        std::vector<std::pair<std::int64_t, const nlohmann::json*>> bySize;
        for (const auto& icon : *icons)
            bySize.emplace_back(declaredIconSize(icon), &icon);
        std::stable_sort(bySize.begin(), bySize.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [size, icon] : bySize) {
            const nlohmann::json* src = member(*icon, "src");
            if (!src || !src->is_string())
                continue;
            const std::string text = src->get<std::string>();
            if (text.find("://") != std::string::npos)
                continue;
            std::string path = text.rfind('/', 0) == 0 ? web + text : joinedPath(web, text);
            if (auto found = fileIf(path))
                return found;
        }
    }
    return std::nullopt;
}

std::optional<IconSource> liveIcon(const std::string& dir,
                                   const std::optional<ServiceConfig>& config) {
    if (!liveIconDir || !config || !config->url || config->url->empty())
        return std::nullopt;
    const std::string path = liveIconPath(*liveIconDir, dir);
    if (exists(path) && imageSupport().fileLoads(path))
        return IconSource::file(path);
    fetchLiveIcon(*config->url, path);
    return IconSource::generic();
}

std::unordered_map<std::string, IconSource>& iconCache() {
    static std::unordered_map<std::string, IconSource> cache;
    return cache;
}

} // namespace

bool isImageFile(const std::string& path) {
    const std::string ext = lowered(extensionOf(path));
    if (ext.empty())
        return false;
    const bool known =
        ext == "svg" ||
        std::find(iconImageExts.begin(), iconImageExts.end(), ext) != iconImageExts.end() ||
        imageSupport().readableExtensions.count(ext) > 0;
    if (!known)
        return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
           static_cast<unsigned long long>(st.st_size) <= maxIconFileBytes;
}

std::optional<std::string> readIconFile(const std::string& path) {
    auto bytes = readFile(path, maxIconFileBytes);
    if (!bytes || bytes->empty())
        return std::nullopt;
    return bytes;
}

bool skippable(std::string_view name) {
    if (skipDirs().count(name))
        return true;
    if (name.size() != 4)
        return false;
    auto year = decimal(name);
    return year && *year >= 1990 && *year <= 2100;
}

std::vector<std::string> webFolders(const std::string& dir) {
    std::vector<std::string> candidates = {dir, dir + "/public", dir + "/static", dir + "/favicon"};
    for (const auto& name : sortedNames(dir))
        if (name.front() != '.' && !skippable(name))
            candidates.push_back(dir + "/" + name + "/public");
    std::vector<std::string> folders;
    for (auto& path : candidates)
        if (isDirectory(path))
            folders.push_back(std::move(path));
    return folders;
}

std::optional<nlohmann::json> json(const std::string& path) {
    auto text = readFile(path, maxJsonBytes);
    if (!text)
        return std::nullopt;
    auto value = nlohmann::json::parse(*text, nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

std::int64_t declaredIconSize(const nlohmann::json& icon) {
    const nlohmann::json* sizes = member(icon, "sizes");
    if (!sizes || !sizes->is_string())
        return 0;
    const std::string& text = sizes->get_ref<const std::string&>();
    std::optional<long long> largest;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        std::string_view piece(text.data() + at, end - at);
        at = end + 1;
        // The first non-empty part before or between lower-case "x"s.
        std::size_t from = 0;
        while (from < piece.size() && piece[from] == 'x')
            ++from;
        if (from == piece.size())
            continue;
        std::size_t to = piece.find('x', from);
        auto value = decimal(piece.substr(from, to == std::string_view::npos ? to : to - from));
        if (value && (!largest || *value > *largest))
            largest = value;
    }
    return largest.value_or(0);
}

std::string joinedPath(const std::string& dir, std::string_view component) {
    while (!component.empty() && component.front() == '/')
        component.remove_prefix(1);
    std::string base = dir;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (component.empty())
        return base;
    std::string out = base == "/" ? base : base + "/";
    for (char c : component)
        if (c != '/' || out.back() != '/')
            out += c;
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string liveIconPath(const std::string& liveDir, const std::string& dir) {
    std::string key = serviceKey(dir);
    std::replace(key.begin(), key.end(), '/', '_');
    return liveDir + "/" + key + ".img";
}

IconSource resolveServiceIcon(const std::string& dir, const std::optional<ServiceConfig>& config) {
    if (auto found = explicitIcon(dir))
        return *found;
    if (auto found = declaredIcon(dir, config))
        return *found;
    if (auto found = tauriBundleIcon(dir))
        return *found;
    if (auto found = buildIcon(dir))
        return *found;
    if (auto found = iconFolderIcon(dir))
        return *found;
    const auto web = webFolders(dir);
    for (const auto& folder : web)
        if (auto found = manifestIcon(folder))
            return *found;
    for (const auto& folder : web)
        if (auto found = fileIf(folder + "/apple-touch-icon.png"))
            return *found;
    for (const auto& folder : web)
        for (const char* name : {"/favicon.svg", "/favicon.png", "/favicon.ico"})
            if (auto found = fileIf(folder + name))
                return *found;
    for (const char* name : {"/logo.svg", "/logo.png", "/logo.jpg"})
        if (auto found = fileIf(dir + name))
            return *found;
    if (auto found = liveIcon(dir, config))
        return *found;
    return IconSource::generic();
}

IconSource serviceIconSource(const std::string& dir, const std::optional<ServiceConfig>& config) {
    auto& cache = iconCache();
    if (auto it = cache.find(dir); it != cache.end())
        return it->second;
    IconSource source = resolveServiceIcon(dir, config);
    if (source.kind == IconSource::Kind::generic && liveIconDir)
        return source;
    cache.emplace(dir, source);
    return source;
}

void clearIconCache() {
    iconCache().clear();
}

} // namespace KestruneCore
