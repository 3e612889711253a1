#include "core/AppEntry.h"

namespace KestruneCore {

std::string_view rawValue(EntryType type) {
    return type == EntryType::service ? "service" : "app";
}

std::optional<EntryType> entryType(std::string_view raw) {
    if (raw == "app")
        return EntryType::app;
    if (raw == "service")
        return EntryType::service;
    return std::nullopt;
}

} // namespace KestruneCore
