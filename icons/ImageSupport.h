// What the icon search needs to know about images without decoding them itself: the
// tray program replaces these with answers from its image library at start-up. The
// defaults keep a Qt-free program working: nothing is readable beyond the fixed
// extension list, a file "loads" when it is a non-empty regular file, downloaded bytes
// never count as an image (so nothing unverified is stored), and there are no glyphs.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace KestruneCore {

struct ImageSupport {
    // Lower-case file extensions the image library can read ("png", "xpm", ...).
    std::set<std::string, std::less<>> readableExtensions;
    // Whether the file at the path decodes as an image.
    std::function<bool(const std::string& path)> fileLoads;
    // Whether the bytes decode as an image. Called from fetch worker threads.
    std::function<bool(std::string_view bytes)> bytesLoad;
    // Pixels wide × pixels high of the file's image, 0 when it cannot be loaded.
    std::function<std::int64_t(const std::string& path)> pixelArea;
    // Whether we have a glyph of that symbol name.
    std::function<bool(const std::string& name)> hasSymbol;
};

// The process-wide answers; replace them on the main thread before any lookup or
// fetch starts.
ImageSupport& imageSupport();

} // namespace KestruneCore
