// Finding the icon a web page advertises in its <link> tags.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace KestruneCore {

// The absolute address of the first <link> tag whose rel names an icon ("icon",
// "shortcut icon", "apple-touch-icon", ...) and that has a quoted href, resolved
// against `base`; none when no tag qualifies or that href does not resolve.
// Case-insensitive. Runs in time linear in the page for any input (no backtracking
// engine), so a hostile page cannot exhaust the stack.
std::optional<std::string> iconLink(std::string_view html, const std::string& base);

// `reference` resolved against the absolute address `base`, in absolute form; none
// when either does not parse.
std::optional<std::string> resolvedUrl(const std::string& base, const std::string& reference);

} // namespace KestruneCore
