#include "platform/BundleInfo.h"

#include "core/FileIO.h"
#include "platform/Process.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <plist/plist.h>

namespace KestruneCore {

namespace {

// Info.plist files are small; a huge one is not worth parsing.
constexpr std::size_t maxPlistBytes = 4u * 1024u * 1024u;
constexpr std::size_t maxDesktopBytes = 1024u * 1024u;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

// The escapes of a .desktop string value: \s \n \t \r \\.
std::string unescapedValue(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        char c = v[++i];
        switch (c) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            // Unknown escapes stay as written (Exec quoting needs "\\\"" and the like).
            out += '\\';
            out += c;
        }
    }
    return out;
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf))
        return buf;
    return path;
}

} // namespace

std::optional<std::string> infoPlistString(const std::string& bundle, const std::string& key) {
    auto data = readFile(bundle + "/Contents/Info.plist", maxPlistBytes);
    if (!data || data->empty())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
    if (!root)
        return std::nullopt;
    std::unique_ptr<void, void (*)(plist_t)> guard(root, plist_free);
    if (plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    plist_t node = plist_dict_get_item(root, key.c_str());
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    if (!s)
        return std::nullopt;
    return std::string(s, static_cast<std::size_t>(length));
}

bool isDesktopFile(const std::string& path) {
    return endsWith(path, ".desktop");
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text) {
    DesktopEntry entry;
    bool inMain = false;
    bool seenMain = false;
    for (const auto& raw : splitLines(text)) {
        std::string line = trimmed(raw);
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            inMain = line == "[Desktop Entry]";
            seenMain = seenMain || inMain;
            continue;
        }
        if (!inMain)
            continue;
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = trimmed(std::string_view(line).substr(0, eq));
        std::string value = unescapedValue(trimmed(std::string_view(line).substr(eq + 1)));
        if (key == "Type")
            entry.type = value;
        else if (key == "Name")
            entry.name = value;
        else if (key == "Exec")
            entry.exec = value;
        else if (key == "TryExec")
            entry.tryExec = value;
        else if (key == "Icon")
            entry.icon = value;
        else if (key == "Hidden")
            entry.hidden = value == "true";
        else if (key == "NoDisplay")
            entry.noDisplay = value == "true";
    }
    if (!seenMain)
        return std::nullopt;
    return entry;
}

std::optional<DesktopEntry> readDesktopEntry(const std::string& path) {
    auto text = readFile(path, maxDesktopBytes);
    if (!text)
        return std::nullopt;
    return parseDesktopEntry(*text);
}

std::vector<std::string> desktopExecArguments(std::string_view exec) {
    // First split into words, honouring double quotes and the backslash escapes
    // allowed inside them; a word remembers whether it was quoted so that a quoted
    // "%f" stays literal text.
    struct Word {
        std::string text;
        bool quoted = false;
    };
    std::vector<Word> words;
    Word current;
    bool inWord = false;
    bool inQuotes = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (inQuotes) {
            if (c == '"') {
                inQuotes = false;
            } else if (c == '\\' && i + 1 < exec.size()) {
                current.text += exec[++i];
            } else {
                current.text += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(std::move(current));
            current = {};
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            inQuotes = true;
            current.quoted = true;
        } else {
            current.text += c;
        }
    }
    if (inWord)
        words.push_back(std::move(current));

    std::vector<std::string> args;
    for (auto& w : words) {
        if (w.quoted) {
            args.push_back(std::move(w.text));
            continue;
        }
        std::string out;
        bool hadCode = false;
        for (std::size_t i = 0; i < w.text.size(); ++i) {
            if (w.text[i] != '%' || i + 1 == w.text.size()) {
                out += w.text[i];
                continue;
            }
            char code = w.text[++i];
            if (code == '%')
                out += '%';
            else
                hadCode = true; // %f %F %u %U %i %c %k and the deprecated ones
        }
        // A word that was nothing but field codes disappears; "--file=%f" keeps its prefix.
        if (!(hadCode && out.empty()))
            args.push_back(std::move(out));
    }
    return args;
}

std::optional<std::string> desktopExecProgram(const std::string& desktopPath) {
    auto entry = readDesktopEntry(desktopPath);
    if (!entry)
        return std::nullopt;
    auto args = desktopExecArguments(entry->exec);
    if (args.empty())
        return std::nullopt;
    auto found = findInPath(args[0]);
    if (!found)
        return std::nullopt;
    return realPath(*found);
}

std::optional<BundleInfo> bundleInfo(const std::string& path) {
    if (isDesktopFile(path)) {
        auto entry = readDesktopEntry(path);
        if (!entry)
            return std::nullopt;
        BundleInfo info;
        std::string name = lastPathComponent(path);
        info.identifier = name.substr(0, name.size() - std::string_view(".desktop").size());
        auto args = desktopExecArguments(entry->exec);
        if (!args.empty() && !args[0].empty())
            info.executable = lastPathComponent(args[0]);
        return info;
    }
    if (isDirectory(path) || endsWith(path, ".app") || endsWith(path, ".app/")) {
        auto identifier = infoPlistString(path, "CFBundleIdentifier");
        auto executable = infoPlistString(path, "CFBundleExecutable");
        if (!identifier && !executable && !fileExists(path + "/Contents/Info.plist"))
            return std::nullopt;
        return BundleInfo{identifier, executable};
    }
    if (!fileExists(path))
        return std::nullopt;
    return BundleInfo{std::nullopt, lastPathComponent(path)};
}

} // namespace KestruneCore
