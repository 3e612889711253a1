// Whole seconds since 1970 as the state files hold them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace KestruneCore {

// A file holding whole seconds since 1970 (optional sign, white space around).
std::optional<std::int64_t> epoch(const std::string& path);
// The same rules applied to text.
std::optional<std::int64_t> epochValue(std::string_view text);

} // namespace KestruneCore
