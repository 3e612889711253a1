#include "icons/IconLink.h"

#include "platform/CurlLibrary.h"

#include <memory>

// The tag tests are the regular expressions
//   <link\b[^>]*>
//   rel\s*=\s*["'][^"']*\bicon\b
//   href\s*=\s*["']([^"']+)
// matched case-insensitively; they are written out by hand because a backtracking
// regex engine recurses once per character and a long attribute overflows the stack.

namespace KestruneCore {

namespace {

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` at `at` starts with the lower-case ASCII `word`, ignoring case.
bool startsWithWord(std::string_view text, std::size_t at, std::string_view word) {
    if (text.size() - at < word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lower(text[at + i]) != word[i])
            return false;
    return true;
}

// After `name` at `at`: \s*=\s*["'], giving the position just past the quote.
std::optional<std::size_t> attributeValueStart(std::string_view tag, std::size_t at,
                                               std::string_view name) {
    std::size_t i = at + name.size();
    while (i < tag.size() && isSpace(tag[i]))
        ++i;
    if (i >= tag.size() || tag[i] != '=')
        return std::nullopt;
    ++i;
    while (i < tag.size() && isSpace(tag[i]))
        ++i;
    if (i >= tag.size() || !isQuote(tag[i]))
        return std::nullopt;
    return i + 1;
}

std::size_t quotedRunEnd(std::string_view tag, std::size_t from) {
    while (from < tag.size() && !isQuote(tag[from]))
        ++from;
    return from;
}

bool relNamesIcon(std::string_view tag) {
    for (std::size_t at = 0; at < tag.size(); ++at) {
        if (!startsWithWord(tag, at, "rel"))
            continue;
        auto start = attributeValueStart(tag, at, "rel");
        if (!start)
            continue;
        const std::size_t end = quotedRunEnd(tag, *start);
        for (std::size_t i = *start; i + 4 <= end; ++i) {
            bool before = i == *start || !isWordChar(tag[i - 1]);
            bool after = i + 4 == tag.size() || !isWordChar(tag[i + 4]);
            if (before && after && startsWithWord(tag, i, "icon"))
                return true;
        }
    }
    return false;
}

std::optional<std::string> hrefValue(std::string_view tag) {
    for (std::size_t at = 0; at < tag.size(); ++at) {
        if (!startsWithWord(tag, at, "href"))
            continue;
        auto start = attributeValueStart(tag, at, "href");
        if (!start)
            continue;
        const std::size_t end = quotedRunEnd(tag, *start);
        if (end > *start)
            return std::string(tag.substr(*start, end - *start));
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> resolvedUrl(const std::string& base, const std::string& reference) {
    const CurlLibrary* c = curlLibrary();
    if (!c)
        return std::nullopt;
    std::unique_ptr<CURLU, void (*)(CURLU*)> url(c->url(), c->urlCleanup);
    if (!url ||
        c->urlSet(url.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    if (c->urlSet(url.get(), CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK)
        return std::nullopt;
    char* text = nullptr;
    if (c->urlGet(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text)
        return std::nullopt;
    std::string result(text);
    c->free(text);
    return result;
}

std::optional<std::string> iconLink(std::string_view html, const std::string& base) {
    std::size_t from = 0;
    while (from < html.size()) {
        const std::size_t open = html.find('<', from);
        if (open == std::string_view::npos)
            break;
        from = open + 1;
        // <link\b: "link" not followed by a word character.
        if (!startsWithWord(html, open + 1, "link") ||
            (open + 5 < html.size() && isWordChar(html[open + 5])))
            continue;
        const std::size_t close = html.find('>', open + 5);
        if (close == std::string_view::npos)
            break; // no later tag can close either
        const std::string_view tag = html.substr(open, close - open + 1);
        from = close + 1;
        if (!relNamesIcon(tag))
            continue;
        auto href = hrefValue(tag);
        if (!href)
            continue;
        return resolvedUrl(base, *href);
    }
    return std::nullopt;
}

} // namespace KestruneCore
