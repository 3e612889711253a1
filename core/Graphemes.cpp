#include "core/Graphemes.h"

#include <algorithm>
#include <dlfcn.h>
#include <memory>
#include <unicode/ubrk.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

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

bool ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7F)
            return false;
    return true;
}

// ASCII text has one cluster per byte but for CR LF, which is one: its other characters
// are either controls, which stand alone, or join nothing.
std::vector<std::string> asciiClusters(std::string_view text) {
    std::vector<std::string> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            out.emplace_back(text.substr(i++, 2));
        else
            out.emplace_back(1, text[i]);
    }
    return out;
}

#define KESTRUNE_NAME_TEXT(x) #x
// ICU's exported names carry its version ("ubrk_open_72"); its headers rename each
// function accordingly, so the text of the renamed name is the symbol to look up.
#define KESTRUNE_SYMBOL_TEXT(x) KESTRUNE_NAME_TEXT(x)

// The few ICU functions cluster boundaries need, from a library opened on first use:
// text in names and logs is nearly always ASCII, and a process that never meets other
// text (the engine, most of the time) then never maps ICU at all.
struct Icu {
    decltype(&u_strFromUTF8WithSub) fromUtf8;
    decltype(&u_strToUTF8) toUtf8;
    decltype(&ubrk_open) open;
    decltype(&ubrk_close) close;
    decltype(&ubrk_setText) setText;
    decltype(&ubrk_first) first;
    decltype(&ubrk_next) next;
};

const Icu* icu() {
    static const Icu* loaded = []() -> const Icu* {
        void* lib = ::dlopen("libicuuc.so." KESTRUNE_SYMBOL_TEXT(U_ICU_VERSION_MAJOR_NUM),
                             RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return nullptr;
        auto find = [lib](auto& slot, const char* name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(lib, name));
            return slot != nullptr;
        };
        static Icu i;
        bool all = find(i.fromUtf8, KESTRUNE_SYMBOL_TEXT(u_strFromUTF8WithSub)) &&
                   find(i.toUtf8, KESTRUNE_SYMBOL_TEXT(u_strToUTF8)) &&
                   find(i.open, KESTRUNE_SYMBOL_TEXT(ubrk_open)) &&
                   find(i.close, KESTRUNE_SYMBOL_TEXT(ubrk_close)) &&
                   find(i.setText, KESTRUNE_SYMBOL_TEXT(ubrk_setText)) &&
                   find(i.first, KESTRUNE_SYMBOL_TEXT(ubrk_first)) &&
                   find(i.next, KESTRUNE_SYMBOL_TEXT(ubrk_next));
        return all ? &i : nullptr;
    }();
    return loaded;
}

constexpr UChar32 replacement = 0xFFFD;

// `text` as UTF-16, invalid bytes replaced by U+FFFD.
std::u16string utf16(const Icu& u, std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    const auto size = static_cast<int32_t>(text.size());
    u.fromUtf8(nullptr, 0, &length, text.data(), size, replacement, nullptr, &status);
    std::u16string out(static_cast<std::size_t>(std::max(length, 0)), u'\0');
    status = U_ZERO_ERROR;
    u.fromUtf8(out.data(), length, &length, text.data(), size, replacement, nullptr, &status);
    if (U_FAILURE(status))
        return {};
    return out;
}

std::string utf8(const Icu& u, std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    const auto size = static_cast<int32_t>(text.size());
    u.toUtf8(nullptr, 0, &length, text.data(), size, &status);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    status = U_ZERO_ERROR;
    u.toUtf8(out.data(), length, &length, text.data(), size, &status);
    return U_FAILURE(status) ? std::string() : out;
}

// Bytes a valid UTF-8 sequence starting at `at` takes, 0 when none starts there.
std::size_t sequenceLength(std::string_view s, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(at);
    std::size_t n = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : (lead & 0xF0) == 0xE0        ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || at + n > s.size())
        return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if ((lead == 0xE0 && byte(at + 1) < 0xA0) || (lead == 0xED && byte(at + 1) >= 0xA0) ||
        (lead == 0xF0 && byte(at + 1) < 0x90) || (lead == 0xF4 && byte(at + 1) >= 0x90))
        return 0;
    return n;
}

// Without ICU: code points, which is never worse than bytes.
std::vector<std::string> codePoints(std::string_view text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t n = sequenceLength(text, at);
        out.push_back(n ? std::string(text.substr(at, n)) : std::string("\xEF\xBF\xBD"));
        at += n ? n : 1;
    }
    return out;
}

struct BreakCloser {
    const Icu* u;
    void operator()(UBreakIterator* it) const { u->close(it); }
};

// One character iterator per thread, made on first use: making one costs far more
// than a short name's clusters.
UBreakIterator* characterIterator(const Icu& u) {
    thread_local std::unique_ptr<UBreakIterator, BreakCloser> it = [&u] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<UBreakIterator, BreakCloser> made(
            u.open(UBRK_CHARACTER, "", nullptr, 0, &status), BreakCloser{&u});
        if (U_FAILURE(status))
            made.reset();
        return made;
    }();
    return it.get();
}

} // namespace

std::vector<std::string> graphemeClusters(std::string_view text) {
    // Names and log lines are nearly always ASCII (a service key's text ends in a line
    // break): ICU is opened only for other text.
    if (ascii(text))
        return asciiClusters(text);
    const Icu* u = icu();
    UBreakIterator* it = u ? characterIterator(*u) : nullptr;
    if (!it)
        return codePoints(text);
    std::u16string s = utf16(*u, text);
    UErrorCode status = U_ZERO_ERROR;
    u->setText(it, s.data(), static_cast<int32_t>(s.size()), &status);
    if (U_FAILURE(status))
        return codePoints(text);
    std::vector<std::string> out;
    int32_t from = u->first(it);
    for (int32_t to = u->next(it); to != UBRK_DONE && from >= 0; from = to, to = u->next(it))
        if (to > from)
            out.push_back(utf8(*u, std::u16string_view(s).substr(from, to - from)));
    // The iterator keeps no pointer to text that is about to go away.
    status = U_ZERO_ERROR;
    u->setText(it, nullptr, 0, &status);
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    if (printableAscii(text))
        return text.size();
    return graphemeClusters(text).size();
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
    if (printableAscii(text))
        return std::string(text.substr(0, count));
    auto clusters = graphemeClusters(text);
    std::string out;
    for (std::size_t i = 0; i < clusters.size() && i < count; ++i)
        out += clusters[i];
    return out;
}

std::string graphemeSuffix(std::string_view text, std::size_t count) {
    if (printableAscii(text))
        return std::string(text.substr(text.size() - std::min(count, text.size())));
    auto clusters = graphemeClusters(text);
    std::string out;
    for (std::size_t i = clusters.size() - std::min(count, clusters.size()); i < clusters.size();
         ++i)
        out += clusters[i];
    return out;
}

} // namespace KestruneCore
