#include "ctl/EntryLookup.h"

#include <filesystem>
#include <vector>

namespace KestruneCtl {

using KestruneCore::AppEntry;
using KestruneCore::rawValue;

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::variant<std::size_t, std::string> findEntry(const KestruneCore::WatchList& list,
                                                 const std::string& nameOrPath) {
    std::string asPath = absolutePath(nameOrPath);
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const AppEntry& e = list[i];
        if (e.name != nameOrPath && e.path != nameOrPath && e.path != asPath)
            continue;
        bool same = false;
        for (auto j : matches)
            same = same || (list[j].path == e.path && list[j].type == e.type);
        if (!same)
            matches.push_back(i);
    }
    if (matches.empty())
        return "no entry named or at '" + nameOrPath + "'";
    if (matches.size() > 1) {
        std::string names;
        for (auto j : matches) {
            names += names.empty() ? "" : ", ";
            names += list[j].name + " (" + std::string(rawValue(list[j].type)) + " at " +
                     list[j].path + ")";
        }
        return "'" + nameOrPath + "' matches several entries: " + names;
    }
    return matches.front();
}

} // namespace KestruneCtl
