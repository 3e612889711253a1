// Trimming of the one-word and one-number files (master switch, back-off times),
// which people edit by hand and editors pad with any kind of blank or line break.
#pragma once

#include <string_view>

namespace KestruneCore {

// `text` without white space and line breaks at either end: every Unicode
// space separator, U+0009 to U+000D, U+0085, U+2028 and U+2029, read as UTF-8.
std::string_view trimmedWhiteSpace(std::string_view text);

} // namespace KestruneCore
