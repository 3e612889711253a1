#include "core/Graphemes.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace KestruneCore {

namespace {

// Cluster boundaries as UTF-16 offsets into `u`, first 0, last u.length().
std::vector<int32_t> boundaries(const icu::UnicodeString& u) {
    std::vector<int32_t> out;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        // Without ICU data fall back to code points, which is never worse than bytes.
        for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1))
            out.push_back(i);
        out.push_back(u.length());
        return out;
    }
    it->setText(u);
    for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next())
        out.push_back(b);
    if (out.empty() || out.back() != u.length())
        out.push_back(u.length());
    return out;
}

std::string utf8(const icu::UnicodeString& u, int32_t start, int32_t end) {
    std::string s;
    u.tempSubStringBetween(start, end).toUTF8String(s);
    return s;
}

} // namespace

std::vector<std::string> graphemeClusters(std::string_view text) {
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto b = boundaries(u);
    std::vector<std::string> out;
    for (std::size_t i = 1; i < b.size(); ++i)
        if (b[i] > b[i - 1])
            out.push_back(utf8(u, b[i - 1], b[i]));
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    if (text.empty())
        return 0;
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    return boundaries(u).size() - 1;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto b = boundaries(u);
    if (count + 1 >= b.size())
        return utf8(u, 0, u.length());
    return utf8(u, 0, b[count]);
}

std::string graphemeSuffix(std::string_view text, std::size_t count) {
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto b = boundaries(u);
    if (count + 1 >= b.size())
        return utf8(u, 0, u.length());
    return utf8(u, b[b.size() - 1 - count], u.length());
}

} // namespace KestruneCore
