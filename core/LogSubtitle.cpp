#include "core/LogSubtitle.h"

#include "core/FileIO.h"
#include "core/Graphemes.h"
#include "core/Paths.h"

#include <vector>

namespace KestruneCore {

std::string logSubtitle(const std::string& path) {
    std::string fallback = abbreviatingWithTilde(path);
    // Only the last line matters, so a large log is read from its end. One byte more
    // than the tail tells whether the tail starts a line: only then is its first line
    // whole; otherwise everything up to the first line feed is a fragment.
    constexpr std::size_t tailBytes = 64 * 1024;
    auto text = readFileTail(path, tailBytes + 1);
    if (!text)
        return fallback;
    if (text->size() > tailBytes) {
        auto lf = text->find('\n');
        text->erase(0, lf == std::string::npos ? 1 : lf + 1);
    }
    if (!isValidUtf8(*text))
        return fallback;
    auto lines = splitLines(*text);
    if (lines.empty())
        return fallback;
    std::vector<std::string> pieces;
    const std::string& last = lines.back();
    std::size_t start = 0;
    while (start < last.size() && pieces.size() < 2) {
        auto blank = last.find(' ', start);
        auto end = blank == std::string::npos ? last.size() : blank;
        if (end > start)
            pieces.push_back(last.substr(start, end - start));
        if (blank == std::string::npos)
            break;
        start = blank + 1;
    }
    if (pieces.size() < 2)
        return fallback;
    return "Last entry " + pieces[0] + " " + graphemePrefix(pieces[1], 5);
}

} // namespace KestruneCore
