#include "services/ServiceConfig.h"

#include "core/FileIO.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace KestruneCore {

std::string_view rawValue(RestartPolicy policy) {
    return policy == RestartPolicy::onFailure ? "on-failure" : "never";
}

std::optional<RestartPolicy> restartPolicy(std::string_view text) {
    if (text == "never")
        return RestartPolicy::never;
    if (text == "on-failure")
        return RestartPolicy::onFailure;
    return std::nullopt;
}

namespace {

using nlohmann::json;

// A JSON number (booleans only when allowed) as an int, truncated toward zero. A
// value outside the range of int is refused rather than wrapped.
std::optional<int> intValue(const json& v, bool booleansCount) {
    if (v.is_boolean())
        return booleansCount ? std::optional<int>(v.get<bool>() ? 1 : 0) : std::nullopt;
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
            return std::nullopt;
        return static_cast<int>(u);
    }
    if (v.is_number_integer()) {
        auto i = v.get<std::int64_t>();
        if (i < std::numeric_limits<int>::min() || i > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(i);
    }
    if (v.is_number_float()) {
        double d = std::trunc(v.get<double>());
        if (!std::isfinite(d) || d < std::numeric_limits<int>::min() ||
            d > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(d);
    }
    return std::nullopt;
}

// The integer reader: absent leaves the default, a non-boolean number is taken.
bool readInt(const json& obj, const char* key, int& out) {
    auto it = obj.find(key);
    if (it == obj.end())
        return true;
    auto v = intValue(*it, false);
    if (!v)
        return false;
    out = *v;
    return true;
}

bool readOptionalInt(const json& obj, const char* key, std::optional<int>& out) {
    int value = 0;
    if (obj.find(key) == obj.end())
        return true;
    if (!readInt(obj, key, value))
        return false;
    out = value;
    return true;
}

bool readText(const json& obj, const char* key, std::optional<std::string>& out) {
    auto it = obj.find(key);
    if (it == obj.end())
        return true;
    if (!it->is_string())
        return false;
    out = it->get<std::string>();
    return true;
}

// The number-list reader: an array of numbers (booleans count as 1 or 0), or a
// single number where `singleAllowed`.
bool readNumberList(const json& obj, const char* key, bool singleAllowed,
                    std::optional<std::vector<int>>& out) {
    auto it = obj.find(key);
    if (it == obj.end())
        return true;
    if (it->is_number()) {
        if (!singleAllowed)
            return false;
        auto v = intValue(*it, false);
        if (!v)
            return false;
        out = std::vector<int>{*v};
        return true;
    }
    if (!it->is_array())
        return false;
    std::vector<int> list;
    for (const auto& element : *it) {
        auto v = intValue(element, true);
        if (!v)
            return false;
        list.push_back(*v);
    }
    out = std::move(list);
    return true;
}

} // namespace

ServiceConfig::Load ServiceConfig::parse(std::string_view text) {
    json top = json::parse(text.begin(), text.end(), nullptr, false);
    if (top.is_discarded() || !top.is_object())
        return Load::malformed();

    ServiceConfig c;
    json empty = json::object();
    const json* hc = &empty;
    if (auto it = top.find("healthcheck"); it != top.end()) {
        if (!it->is_object())
            return Load::malformed();
        hc = &*it;
    }
    if (!readText(*hc, "url", c.url) || !readNumberList(*hc, "expected_status", true, c.expected) ||
        !readOptionalInt(*hc, "interval_seconds", c.interval) ||
        !readInt(*hc, "timeout_seconds", c.timeout) || !readInt(*hc, "retries", c.retries))
        return Load::malformed();

    const json& graceHolder = top.contains("start_grace_seconds") ? top : *hc;
    if (!readInt(graceHolder, "start_grace_seconds", c.grace))
        return Load::malformed();

    std::optional<std::vector<int>> ports;
    if (!readNumberList(top, "ports", false, ports))
        return Load::malformed();
    if (ports)
        c.ports = std::move(*ports);

    if (auto it = top.find("restart"); it != top.end()) {
        if (!it->is_string())
            return Load::malformed();
        auto policy = restartPolicy(it->get_ref<const std::string&>());
        if (!policy)
            return Load::malformed();
        c.restart = *policy;
    }
    if (!readText(top, "icon", c.icon))
        return Load::malformed();
    return Load::ok(std::move(c));
}

ServiceConfig::Load ServiceConfig::load(const std::string& dir) {
    auto text = readFile(dir + "/scripts/launch.json");
    if (!text)
        return Load::missing();
    return parse(*text);
}

} // namespace KestruneCore
