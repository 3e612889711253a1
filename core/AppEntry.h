// One watched thing: an app that must stay running or a service folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace KestruneCore {

enum class EntryType { app, service };

// "app" / "service", the words stored in the watch list.
std::string_view rawValue(EntryType type);
// Exact, case-sensitive; any other word has no type.
std::optional<EntryType> entryType(std::string_view raw);

struct AppEntry {
    std::string name;
    std::string path;
    bool enabled = true;
    EntryType type = EntryType::app;
    std::string method;

    bool operator==(const AppEntry&) const = default;
};

} // namespace KestruneCore
