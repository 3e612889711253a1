#include "services/ServiceFolder.h"

#include "core/FileIO.h"
#include "core/StartMethod.h"

namespace KestruneCore {

std::string serviceName(const std::string& dir) {
    if (auto text = readUtf8File(dir + "/README.md")) {
        for (const auto& line : splitLines(*text)) {
            if (line.rfind("# ", 0) != 0)
                continue;
            std::string_view rest(line);
            rest.remove_prefix(2);
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
                rest.remove_prefix(1);
            while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
                rest.remove_suffix(1);
            if (!rest.empty())
                return std::string(rest);
            break;
        }
    }
    return lastPathComponent(dir);
}

std::optional<WatchList> addingService(const std::string& dir, const WatchList& list) {
    if (!storablePath(dir))
        return list;
    for (const auto& e : list)
        if (e.path == dir)
            return list;
    WatchList out = list;
    out.push_back(
        AppEntry{serviceName(dir), dir, true, EntryType::service, detectStartMethod(dir).label()});
    return out;
}

std::pair<std::string, std::string> unknownMethodSheet(const std::string& name) {
    return {name + " was added",
            "Kestrune doesn't know how to start this folder, so it will only report when "
            "it's down. Adding an executable scripts/launch.sh fixes that."};
}

} // namespace KestruneCore
