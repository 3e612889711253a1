// Where a service's icon comes from, and the fixed names and lists the search uses.
#pragma once

#include <array>
#include <set>
#include <string>
#include <string_view>

namespace KestruneCore {

struct IconSource {
    enum class Kind { file, symbol, generic };
    Kind kind = Kind::generic;
    std::string text; // the absolute path of a file, the name of a symbol, else empty

    static IconSource file(std::string path) { return {Kind::file, std::move(path)}; }
    static IconSource symbol(std::string name) { return {Kind::symbol, std::move(name)}; }
    static IconSource generic() { return {}; }

    bool operator==(const IconSource&) const = default;
};

// The glyph shown for a service without an icon of its own.
inline constexpr std::string_view genericServiceSymbol = "terminal";

// Icon file extensions, in the order `icon.<ext>` is tried.
inline constexpr std::array<std::string_view, 12> iconImageExts = {
    "png", "jpg", "jpeg", "heic", "tiff", "tif", "gif", "webp", "icns", "ico", "pdf", "bmp"};

// Build output and tool folders that never hold a project's own web assets.
const std::set<std::string, std::less<>>& skipDirs();

} // namespace KestruneCore
