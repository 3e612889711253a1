// What kestrunectl writes passes through here, so that a name, address, cause or log
// line taken from a file another program or person wrote cannot steer the terminal
// (move the cursor, clear the screen, set the title, hide text).
#pragma once

#include <nlohmann/json.hpp>
#include <streambuf>
#include <string>
#include <string_view>

namespace KestruneCtl {

// `text` with every control character but tab and line feed (C0, DEL and the C1
// code points U+0080..U+009F) and every byte that is not valid UTF-8 replaced by
// U+FFFD, one for each. U+FFFD rather than a visible escape such as "\x1b": it is
// one column wide, as the control character counts, so tables stay aligned.
std::string terminalSafe(std::string_view text);

// `value` as indented JSON with control characters escaped as JSON does (\u001b,
// also DEL and C1 as \u007f, \u0080..\u009f) and invalid UTF-8 replaced by U+FFFD.
std::string jsonText(const nlohmann::ordered_json& value);

// A stream buffer that hands each finished line, made terminalSafe, to `target`;
// the rest on sync and when destroyed. Lines are whole UTF-8, so nothing is judged
// on half a character.
class SafeOutputBuffer : public std::streambuf {
public:
    explicit SafeOutputBuffer(std::streambuf* target) : target_(target) {}
    ~SafeOutputBuffer() override;
    SafeOutputBuffer(const SafeOutputBuffer&) = delete;
    SafeOutputBuffer& operator=(const SafeOutputBuffer&) = delete;

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void forward(std::size_t end);
    std::streambuf* target_;
    std::string pending_;
};

} // namespace KestruneCtl
