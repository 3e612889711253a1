#include "feedback/FeedbackForm.h"

#include "core/BuildInfo.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace KestruneCore {

const std::string& feedbackFormURL() {
    static const std::string url = BuildInfo::feedbackFormURL;
    return url;
}

const std::string& feedbackAddress() {
    static const std::string address = BuildInfo::feedbackAddress;
    return address;
}

std::string trimmedReplyEmail(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

bool validReplyEmail(std::string_view text) {
    std::string s = trimmedReplyEmail(text);
    if (s.empty())
        return true;
    std::size_t at = std::string::npos;
    int32_t i = 0;
    const auto length = static_cast<int32_t>(s.size());
    while (i < length) {
        int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(s.data(), i, length, c);
        // A line break would let the address spill into another line of the body.
        if (c < 0 || u_isUWhiteSpace(c) || u_iscntrl(c))
            return false;
        if (c == '@') {
            if (at != std::string::npos)
                return false;
            at = static_cast<std::size_t>(start);
        }
    }
    if (at == std::string::npos || at == 0)
        return false;
    std::string_view domain = std::string_view(s).substr(at + 1);
    // Some dot with at least one character before and after it.
    auto dot = domain.find('.', 1);
    return dot != std::string_view::npos && dot + 1 < domain.size();
}

VersionParts versionParts(const std::string& versions) {
    static const std::string separator = " \u00B7 ";
    auto strip = [](std::string s, std::string_view prefix) {
        if (s.rfind(prefix, 0) == 0)
            s.erase(0, prefix.size());
        return s;
    };
    VersionParts parts;
    auto cut = versions.find(separator);
    parts.app = strip(versions.substr(0, cut), "Kestrune ");
    if (cut != std::string::npos) {
        std::string rest = versions.substr(cut + separator.size());
        parts.os = strip(rest.substr(0, rest.find(separator)), "macOS ");
    }
    return parts;
}

std::vector<FormField> feedbackFields(const FeedbackFormValues& v) {
    auto parts = versionParts(v.versions);
    std::vector<FormField> fields = {
        {"form-name", "feedback"},
        {"subject", feedbackSubject},
        {"message", v.message},
        {"app-version", parts.app},
        {"macos-version", parts.os},
        {"email", v.email},
        {"wants-reply", v.wantsReply ? "yes" : "no"},
        {"logs", v.logs},
        {"source", "app"},
        {"bot-field", ""},
    };
    if (v.includeDiagnostics)
        fields.emplace_back("include-diagnostics", "yes");
    return fields;
}

std::string feedbackMailBody(const std::string& message, const std::string& email,
                             const std::string& versions) {
    std::string body = message;
    if (!email.empty())
        body += "\n\nReply to: " + email;
    body += "\n\n" + versions;
    return body;
}

} // namespace KestruneCore
