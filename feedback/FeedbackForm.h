// What the feedback form sends and where: the endpoint, the address, the fields of
// the request and the text of the e-mail alternative.
#pragma once

#include "feedback/Multipart.h"

#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// The endpoint and the address a distributor configures at build time.
const std::string& feedbackFormURL();
const std::string& feedbackAddress();

inline constexpr const char* feedbackSubject = "Kestrune feedback";
inline constexpr const char* diagnosticsNote =
    "Adds the app and system versions, your watched apps and services list (including their "
    "folder paths), current problems, any Kestrune crash reports from the last 7 days and the "
    "last 200 lines of Kestrune's log. No other files.";

// Leading and trailing spaces and tabs removed (line breaks are kept).
std::string trimmedReplyEmail(std::string_view text);

// Empty (no reply wanted) or one "@" with something on both sides and a dot inside
// the part after it, with no white space or control character anywhere.
bool validReplyEmail(std::string_view text);

struct VersionParts {
    std::string app;
    std::string os;
};

// The version line split at " · ": "Kestrune " and "macOS " removed.
VersionParts versionParts(const std::string& versions);

struct FeedbackFormValues {
    std::string message;
    std::string versions;
    std::string email; // already trimmed; empty when no reply is wanted
    bool wantsReply = false;
    std::string logs;
    bool includeDiagnostics = false;
};

// The request's fields in their fixed order.
std::vector<FormField> feedbackFields(const FeedbackFormValues& values);

// The message, "Reply to: " + email when there is one, and the version line,
// separated by blank lines.
std::string feedbackMailBody(const std::string& message, const std::string& email,
                             const std::string& versions);

} // namespace KestruneCore
