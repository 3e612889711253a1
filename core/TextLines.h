// Walking the lines and TAB-separated fields of a text without copying them, for the
// files read on every refresh.
#pragma once

#include <cstddef>
#include <string_view>

namespace KestruneCore {

// Calls visit(line) for each non-empty line of `text`, split at LF with one CR before
// the LF dropped (the same lines splitLines gives).
template <typename Visit> void forEachLine(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        auto lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            visit(line);
        if (lf == std::string_view::npos)
            break;
        text.remove_prefix(lf + 1);
    }
}

// Fills `fields` with the first fields of `line` (split at every TAB, empty fields
// kept) and returns how many the line has in all.
template <std::size_t N>
std::size_t splitFieldViews(std::string_view line, std::string_view (&fields)[N]) {
    std::size_t count = 0;
    for (;;) {
        auto tab = line.find('\t');
        if (count < N)
            fields[count] = line.substr(0, tab);
        ++count;
        if (tab == std::string_view::npos)
            return count;
        line.remove_prefix(tab + 1);
    }
}

} // namespace KestruneCore
