// Handing a feedback message to the user's mail client.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace KestruneCore {

struct FeedbackMail {
    std::vector<std::string> recipients;
    std::string subject;
    std::string body;
    std::vector<std::string> attachments; // absolute file paths

    bool operator==(const FeedbackMail&) const = default;
};

// The arguments after the program name: "--utf8", subject, body, one "--attach" per
// file, then the recipients.
std::vector<std::string> mailComposerArguments(const FeedbackMail& mail);

// Runs xdg-email (found through PATH) with those arguments, without a shell. True
// when it exits with status 0, or is still running after `patience` (a mail client
// that stays in the foreground has the message); false when it is missing or fails.
bool composeMail(const FeedbackMail& mail,
                 std::chrono::milliseconds patience = std::chrono::seconds(5));

// "mailto:" + address + "?subject=…&body=…", every byte outside the unreserved
// characters percent-encoded (the "@" of the address kept).
std::string mailtoURL(const std::string& address, const std::string& subject,
                      const std::string& body);

} // namespace KestruneCore
