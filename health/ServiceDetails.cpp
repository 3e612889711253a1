#include "health/ServiceDetails.h"

#include "health/StartRecords.h"
#include "services/ServiceConfig.h"

#include <string_view>

namespace KestruneCore {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

std::string nextStep(const std::string& forCause) {
    const std::string& cause = forCause;
    if (cause.find("port 80") != std::string::npos)
        return "Restart the Zenthal proxy (it runs as root, so it may need your password).";
    if (endsWith(cause, "doesn't resolve"))
        return "Check /etc/hosts has an entry for this name, or run the project's "
               "ensure-local-domain script.";
    if (startsWith(cause, "No reply within") || startsWith(cause, "Got "))
        return "Open the site in a browser to see what it's doing; if it's still starting, "
               "wait and check again.";
    if (startsWith(cause, "Port ") || startsWith(cause, "Nothing answering"))
        return "Run scripts/launch.sh from the project folder.";
    if (startsWith(cause, "launch.sh exited"))
        return "Open the service log to see what failed, then run scripts/launch.sh again.";
    if (startsWith(cause, "Needs your admin password"))
        return "Run scripts/launch.sh in Terminal and enter your password when asked.";
    return "Open the service log for more detail.";
}

std::string serviceDetails(const AppEntry& /*entry*/, const std::optional<ServiceCheck>& check,
                           const std::optional<Problem>& problem) {
    std::string text;
    if (!check) {
        text = "No check recorded yet.";
    } else {
        text = "URL: " + (check->url.empty() ? std::string("(ports only)") : check->url) +
               "\nResult: " + check->result + "\nChecked: " + timestamp(check->time);
    }
    std::string cause;
    if (problem && !problem->detail.empty())
        cause = problem->detail;
    else if (check && !check->cause.empty())
        cause = check->cause;
    if (!cause.empty())
        text += "\nCause: " + cause + "\nNext step: " + nextStep(cause);
    else if (check)
        text += "\nStatus: healthy";
    return text;
}

std::string serviceDetailsText(const AppEntry& entry) {
    std::optional<Problem> problem;
    for (const auto& p : loadProblems(problemsPath())) {
        if (p.name == entry.name) {
            problem = p;
            break;
        }
    }
    std::string text =
        serviceDetails(entry, ServiceCheck::load(serviceCheckPath(entry.name)), problem);
    // A malformed declaration leaves the service unchecked; say why rather than nothing.
    auto load = ServiceConfig::load(entry.path);
    if (load.kind == ServiceConfig::Load::Kind::malformed)
        text += "\nConfiguration: " +
                (load.cause.empty() ? std::string("scripts/launch.json is malformed") : load.cause);
    auto records = startRecords(entry.name);
    if (!records.empty()) {
        text += "\n\nRecent starts";
        if (auto typical = typicalStartup(records))
            text += " (usually " + std::to_string(typical->median) + "s, slowest " +
                    std::to_string(typical->slowest) + "s)";
        text += ":\n" + startHistory(records);
    }
    return text;
}

} // namespace KestruneCore
