#include "core/Graphemes.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace KestruneCore {

namespace {

// Printable ASCII has one cluster per byte (the only ASCII pair that joins, CR LF, is
// not printable), so such text never needs ICU.
bool printableAscii(std::string_view text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

// One character iterator per thread, made on first use: making one costs far more
// than a short name's clusters.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            made.reset();
        return made;
    }();
    return it.get();
}

// Cluster boundaries as UTF-16 offsets into `u`, first 0, last u.length().
std::vector<int32_t> boundaries(const icu::UnicodeString& u) {
    std::vector<int32_t> out;
    icu::BreakIterator* it = characterIterator();
    if (!it) {
        // Without ICU data fall back to code points, which is never worse than bytes.
        for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1))
            out.push_back(i);
        out.push_back(u.length());
        return out;
    }
    it->setText(u);
    for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next())
        out.push_back(b);
    // The iterator keeps no pointer to text that is about to go away.
    it->setText(icu::UnicodeString());
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
    if (printableAscii(text)) {
        std::vector<std::string> out;
        out.reserve(text.size());
        for (char c : text)
            out.emplace_back(1, c);
        return out;
    }
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
    if (printableAscii(text))
        return text.size();
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    return boundaries(u).size() - 1;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
    if (printableAscii(text))
        return std::string(text.substr(0, count));
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto b = boundaries(u);
    if (count + 1 >= b.size())
        return utf8(u, 0, u.length());
    return utf8(u, 0, b[count]);
}

std::string graphemeSuffix(std::string_view text, std::size_t count) {
    if (printableAscii(text))
        return std::string(text.substr(text.size() - std::min(count, text.size())));
    auto u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto b = boundaries(u);
    if (count + 1 >= b.size())
        return utf8(u, 0, u.length());
    return utf8(u, b[b.size() - 1 - count], u.length());
}

} // namespace KestruneCore
