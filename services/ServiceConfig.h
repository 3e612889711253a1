// A service folder's declared health check, read from scripts/launch.json.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

enum class RestartPolicy { never, onFailure };

// "never" / "on-failure".
std::string_view rawValue(RestartPolicy policy);
// Exact and case-sensitive; any other text has no policy.
std::optional<RestartPolicy> restartPolicy(std::string_view text);

struct ServiceConfig {
    std::optional<std::string> url;
    std::optional<std::vector<int>> expected; // none: 200–399 accepted
    std::optional<int> interval;              // seconds between checks
    int timeout = 5;                          // seconds for one request
    int retries = 2;                          // failed checks tolerated
    int grace = 120;                          // start-up grace, seconds
    std::vector<int> ports;
    RestartPolicy restart = RestartPolicy::never;
    std::optional<std::string> icon;

    bool operator==(const ServiceConfig&) const = default;

    // The result of reading a folder's declaration (below).
    struct Load;

    // Reads dir + "/scripts/launch.json": missing when there is nothing to read,
    // malformed when any key has the wrong kind (no partial configuration) or the
    // file is larger than maxBytes. What was read is kept while the file's device,
    // inode, size and modification time stay the same.
    static Load load(const std::string& dir);
    static constexpr std::size_t maxBytes = 1024 * 1024;
    // The same rules applied to the text of a declaration.
    static Load parse(std::string_view json);
};

// ok with a configuration, missing (nothing readable) or malformed.
struct ServiceConfig::Load {
    enum class Kind { ok, missing, malformed };
    Kind kind = Kind::missing;
    ServiceConfig config; // meaningful only when kind is ok
    std::string cause;    // why it is malformed, when that is not the text's form

    static Load ok(ServiceConfig c) { return {Kind::ok, std::move(c), {}}; }
    static Load missing() { return {Kind::missing, {}, {}}; }
    static Load malformed(std::string cause = {}) {
        return {Kind::malformed, {}, std::move(cause)};
    }
    bool isOk() const { return kind == Kind::ok; }
    // The configuration when ok, else none.
    std::optional<ServiceConfig> value() const {
        return isOk() ? std::optional<ServiceConfig>(config) : std::nullopt;
    }
    bool operator==(const Load&) const = default;
};

} // namespace KestruneCore
