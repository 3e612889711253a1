// The file-name-safe key of a name, shared by every per-entry state file name.
#pragma once

#include <string>
#include <string_view>

namespace KestruneCore {

// A line feed is appended, then every user-perceived character other than an ASCII
// letter, digit, ".", "_" or "-" becomes one "_". Always ends in "_".
std::string sanitizedKey(std::string_view text);

} // namespace KestruneCore
