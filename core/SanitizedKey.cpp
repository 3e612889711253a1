#include "core/SanitizedKey.h"

#include "core/Graphemes.h"

namespace KestruneCore {

namespace {

bool isKeyCharacter(const std::string& cluster) {
    if (cluster.size() != 1)
        return false;
    char c = cluster[0];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

} // namespace

std::string sanitizedKey(std::string_view text) {
    std::string input(text);
    input += '\n';
    std::string key;
    key.reserve(input.size());
    for (const auto& cluster : graphemeClusters(input))
        key += isKeyCharacter(cluster) ? cluster : std::string("_");
    return key;
}

} // namespace KestruneCore
