// User-perceived characters (extended grapheme clusters) of UTF-8 text, so that an
// accented letter written as two code points counts as one character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// The clusters of `text`, each as its own UTF-8 string. Invalid UTF-8 bytes become
// U+FFFD clusters.
std::vector<std::string> graphemeClusters(std::string_view text);

std::size_t graphemeCount(std::string_view text);

// The first `count` clusters (the whole text when it has fewer).
std::string graphemePrefix(std::string_view text, std::size_t count);

// The last `count` clusters (the whole text when it has fewer).
std::string graphemeSuffix(std::string_view text, std::size_t count);

} // namespace KestruneCore
