// Decides when a problem is worth a notification: the first time a name shows a
// problem, and when its trouble escalates from being restarted to needing the user.
#pragma once

#include "health/Problems.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Kestrune {

class Notifier {
public:
    using Post = std::function<void(const std::string& title, const std::string& body)>;

    explicit Notifier(Post post) : post_(std::move(post)) {}

    // Posts what is new or worse than at the last update, then remembers each name's
    // worst severity (names no longer listed are forgotten).
    void update(const std::vector<KestruneCore::Problem>& problems);

private:
    std::map<std::string, KestruneCore::Severity> last_;
    Post post_;
};

} // namespace Kestrune
