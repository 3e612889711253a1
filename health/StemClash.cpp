#include "health/StemClash.h"

#include "health/Backoff.h"

namespace KestruneCore {

std::string entryStem(const AppEntry& entry) {
    if (auto key = stateKey(entry))
        return *key;
    return sanitizedKey(entry.name);
}

std::optional<AppEntry> stemTakenBy(const WatchList& list, const AppEntry& entry) {
    std::string stem = entryStem(entry);
    for (const auto& other : list)
        if (other.path != entry.path && entryStem(other) == stem)
            return other;
    return std::nullopt;
}

std::string stemClashRefusal(const AppEntry& entry, const AppEntry& other) {
    return "Cannot add " + entry.name + ": it would share its state files with " + other.name +
           " – rename one of the folders";
}

std::string nameClashDetail(const std::string& otherName) {
    return "shares its state files with " + otherName + " – rename one of the folders";
}

} // namespace KestruneCore
