#include "ctl/SafeOutput.h"

#include "core/FileIO.h"

namespace KestruneCtl {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD

// The length a UTF-8 lead byte announces; 1 for ASCII and for bytes that lead nothing.
std::size_t sequenceLength(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 1;
}

// U+0080..U+009F are encoded C2 80..C2 9F.
bool isC1(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
           static_cast<unsigned char>(sequence[1]) >= 0x80 &&
           static_cast<unsigned char>(sequence[1]) < 0xA0;
}

} // namespace

std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bool control = (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F;
            if (control)
                out += replacement;
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t len = sequenceLength(c);
        std::string_view sequence = text.substr(i, len);
        if (len > 1 && sequence.size() == len && KestruneCore::isValidUtf8(sequence) &&
            !isC1(sequence)) {
            out += sequence;
            i += len;
        } else {
            out += replacement;
            i += isC1(sequence) ? 2 : 1;
        }
    }
    return out;
}

std::string jsonText(const nlohmann::ordered_json& value) {
    // The library escapes C0 itself; DEL and C1 are left to this, and only ever stand
    // inside strings, where \u00XX means the same character.
    std::string dumped =
        value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(dumped.size());
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        auto c = static_cast<unsigned char>(dumped[i]);
        unsigned code = 0x100; // none
        if (c == 0x7F)
            code = c;
        else if (isC1(std::string_view(dumped).substr(i, 2)))
            code = static_cast<unsigned char>(dumped[++i]);
        if (code == 0x100) {
            out += static_cast<char>(c);
            continue;
        }
        out += "\\u00";
        out += hex[code >> 4];
        out += hex[code & 0xF];
    }
    return out;
}

SafeOutputBuffer::~SafeOutputBuffer() {
    sync();
}

SafeOutputBuffer::int_type SafeOutputBuffer::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::not_eof(ch);
    char c = traits_type::to_char_type(ch);
    xsputn(&c, 1);
    return ch;
}

std::streamsize SafeOutputBuffer::xsputn(const char* s, std::streamsize n) {
    pending_.append(s, static_cast<std::size_t>(n));
    auto lf = pending_.rfind('\n');
    if (lf != std::string::npos)
        forward(lf + 1);
    return n;
}

int SafeOutputBuffer::sync() {
    forward(pending_.size());
    return target_->pubsync();
}

void SafeOutputBuffer::forward(std::size_t end) {
    if (end == 0)
        return;
    std::string safe = terminalSafe(std::string_view(pending_).substr(0, end));
    target_->sputn(safe.data(), static_cast<std::streamsize>(safe.size()));
    pending_.erase(0, end);
}

} // namespace KestruneCtl
