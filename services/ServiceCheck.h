// The keep-alive engine's latest check of one service, the key that names a service's
// state files, and where its check file and log lie.
#pragma once

#include "core/ActivityLog.h"
#include "core/Paths.h"
#include "services/ServiceLog.h"

#include <cstddef>
#include <optional>
#include <string>

namespace KestruneCore {

struct ServiceCheck {
    Clock::time_point time; // when the check ran
    std::string url;        // the address checked; empty when checked by ports only
    std::string result;     // the engine's short verdict, shown verbatim
    std::string cause;      // why it failed; empty when it did not

    bool operator==(const ServiceCheck&) const = default;

    // The first non-empty line of a check file: time, url, result and an optional
    // cause, TAB-separated. None when the file is missing, not UTF-8 text, has fewer
    // than three fields or a time that is not a plain number of seconds.
    static std::optional<ServiceCheck> load(const std::string& from);
    // The same from a check file's text.
    static std::optional<ServiceCheck> parse(std::string_view text);

    // The line a check file holds (LF-terminated): the time as seconds since 1970 with
    // six decimals, then the fields. TABs and line breaks inside a field become blanks
    // so the record cannot be split.
    std::string line() const;
    // Writes line() to `to` atomically. Returns whether the file was replaced.
    bool save(const std::string& to) const;
};

// "svc_" + the name with every user-perceived character that is not a single ASCII
// letter, digit, ".", "_" or "-" replaced by "_", after appending a line feed (so the
// key always ends in "_"). The engine names a service's check and back-off files by it.
std::string serviceKey(const std::string& name);

// stateDir + "/" + serviceKey(name) + ".check"
std::string serviceCheckPath(const std::string& name, const std::string& stateDir = stateFolder());

} // namespace KestruneCore
