#include "core/WhiteSpace.h"

#include <cstdint>

namespace KestruneCore {

namespace {

bool isWhiteSpace(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

// The code point of a well-formed UTF-8 sequence of `n` bytes; 0xffffffff when the
// bytes are not one (only ever compared against white space, so overlong or
// surrogate forms need no finer handling).
std::uint32_t decode(std::string_view s) {
    auto b = [&](std::size_t i) { return std::uint32_t(static_cast<unsigned char>(s[i])); };
    constexpr std::uint32_t none = 0xffffffff;
    if (s.empty())
        return none;
    std::uint32_t lead = b(0);
    std::size_t n = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : 0;
    if (n == 0 || s.size() != n)
        return none;
    std::uint32_t c = n == 1 ? lead : n == 2 ? (lead & 0x1f) : (lead & 0x0f);
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xc0) != 0x80)
            return none;
        c = (c << 6) | (b(i) & 0x3f);
    }
    return c;
}

// The length of the white-space character at the start (front) or end of `s`, 0 if
// there is none. White space is at most three bytes long in UTF-8.
std::size_t spaceAtFront(std::string_view s) {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n)
        if (isWhiteSpace(decode(s.substr(0, n))))
            return n;
    return 0;
}

std::size_t spaceAtBack(std::string_view s) {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n)
        if (isWhiteSpace(decode(s.substr(s.size() - n))))
            return n;
    return 0;
}

} // namespace

std::string_view trimmedWhiteSpace(std::string_view text) {
    while (std::size_t n = spaceAtFront(text))
        text.remove_prefix(n);
    while (std::size_t n = spaceAtBack(text))
        text.remove_suffix(n);
    return text;
}

} // namespace KestruneCore
