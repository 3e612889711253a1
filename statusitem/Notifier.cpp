#include "statusitem/Notifier.h"

#include "health/StatusSummary.h"

namespace Kestrune {

using KestruneCore::Problem;
using KestruneCore::Severity;

void Notifier::update(const std::vector<Problem>& problems) {
    std::map<std::string, Severity> current;
    for (const auto& p : problems) {
        auto [it, inserted] = current.emplace(p.name, p.severity);
        if (!inserted && p.severity == Severity::stuck)
            it->second = Severity::stuck;
    }
    for (const auto& [name, severity] : current) {
        auto before = last_.find(name);
        bool escalated = before != last_.end() && before->second == Severity::restarting &&
                         severity == Severity::stuck;
        if (before != last_.end() && !escalated)
            continue;
        for (const auto& p : problems) {
            if (p.name == name && p.severity == severity) {
                if (post_)
                    post_(KestruneCore::menuLine(p, false), p.detail);
                break;
            }
        }
    }
    last_ = std::move(current);
}

} // namespace Kestrune
