#include "core/EpochText.h"

#include "core/FileIO.h"
#include "core/WhiteSpace.h"

#include <limits>

namespace KestruneCore {

std::optional<std::int64_t> epochValue(std::string_view text) {
    text = trimmedWhiteSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    // Accumulate towards the negative end, which holds one more value than the positive.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        int digit = c - '0';
        if (value < (lowest + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest)
            return std::nullopt;
        value = -value;
    }
    return value;
}

std::optional<std::int64_t> epoch(const std::string& path) {
    // Read whole, as the master switch is: a number padded with white space past any
    // size is still that number.
    auto text = readUtf8File(path);
    if (!text)
        return std::nullopt;
    return epochValue(*text);
}

} // namespace KestruneCore
