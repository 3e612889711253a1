#include "core/WatchList.h"

#include "core/FileIO.h"
#include "core/StartMethod.h"
#include "core/WhiteSpace.h"

namespace KestruneCore {

namespace {

std::string withoutExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name;
    return name.substr(0, dot);
}

} // namespace

bool storablePath(const std::string& path) {
    return path.find_first_of("\t\n\r") == std::string::npos;
}

WatchList load(const std::string& from) {
    WatchList list;
    auto text = readUtf8File(from);
    if (!text)
        return list;
    for (const auto& line : splitLines(*text)) {
        auto f = splitFields(line);
        if (f.size() < 3)
            continue;
        AppEntry e;
        e.enabled = f[0] == "1";
        e.name = f[1];
        e.path = f[2];
        e.type = f.size() >= 4 && f[3] == "service" ? EntryType::service : EntryType::app;
        if (e.type == EntryType::service) {
            if (f.size() >= 5 && !f[4].empty())
                e.method = f[4];
            else
                e.method = detectStartMethod(e.path).label();
        }
        list.push_back(std::move(e));
    }
    return list;
}

std::string watchListText(const WatchList& entries) {
    std::string out;
    for (const auto& e : entries) {
        out += e.enabled ? "1" : "0";
        out += '\t';
        // The file has no quoting: a TAB or line break inside a field would split the
        // record, so such characters are written as blanks.
        out += singleLineField(e.name);
        out += '\t';
        out += singleLineField(e.path);
        out += '\t';
        out += rawValue(e.type);
        if (e.type == EntryType::service) {
            out += '\t';
            out += singleLineField(e.method);
        }
        out += '\n';
    }
    return out;
}

void save(const WatchList& entries, const std::string& to) {
    makeFolders(parentFolder(to));
    writeThroughLinkAtomically(to, watchListText(entries));
}

WatchList adding(const std::string& appPath, const WatchList& list) {
    if (!storablePath(appPath))
        return list;
    for (const auto& e : list)
        if (e.path == appPath)
            return list;
    WatchList out = list;
    out.push_back(
        AppEntry{withoutExtension(lastPathComponent(appPath)), appPath, true, EntryType::app, ""});
    return out;
}

WatchList removing(long index, const WatchList& list) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        return list;
    WatchList out = list;
    out.erase(out.begin() + index);
    return out;
}

WatchList removing(const AppEntry& entry, const WatchList& list) {
    WatchList out;
    for (const auto& e : list)
        if (!(e.path == entry.path && e.type == entry.type))
            out.push_back(e);
    return out;
}

WatchList seededIfEmpty(const WatchList& list, const WatchList& seed) {
    return list.empty() ? seed : list;
}

bool loadMaster(const std::string& from) {
    // Read whole: "off" padded past any size is still off.
    auto text = readFile(from);
    if (!text)
        return true;
    return trimmedWhiteSpace(*text) != "off";
}

void saveMaster(bool on, const std::string& to) {
    makeFolders(parentFolder(to));
    writeThroughLinkAtomically(to, on ? "on\n" : "off\n");
}

} // namespace KestruneCore
