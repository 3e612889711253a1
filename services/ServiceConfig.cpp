#include "services/ServiceConfig.h"

#include "core/FileIO.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

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

namespace {

// What identifies one version of a file without reading it.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

// Every pass reads every folder's declaration; most never change between passes.
class LoadCache {
public:
    std::optional<ServiceConfig::Load> find(const std::string& path, const FileStamp& stamp) {
        std::lock_guard guard(mutex_);
        auto it = entries_.find(path);
        if (it == entries_.end() || !(it->second.first == stamp))
            return std::nullopt;
        return it->second.second;
    }
    void keep(const std::string& path, const FileStamp& stamp, const ServiceConfig::Load& load) {
        std::lock_guard guard(mutex_);
        if (entries_.size() >= 4096)
            entries_.clear(); // folders come and go; never grow without bound
        entries_.insert_or_assign(path, std::pair(stamp, load));
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::pair<FileStamp, ServiceConfig::Load>> entries_;
};

LoadCache& loadCache() {
    static LoadCache cache;
    return cache;
}

} // namespace

ServiceConfig::Load ServiceConfig::load(const std::string& dir) {
    std::string path = dir + "/scripts/launch.json";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Load::missing();
    FileStamp stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    if (auto known = loadCache().find(path, stamp))
        return *known;
    Load result;
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        result = Load::malformed("scripts/launch.json is larger than 1 MiB");
    } else {
        // Read with the limit too: the file may have grown since it was looked at.
        auto text = readFile(path, maxBytes);
        if (!text)
            return Load::missing();
        result = parse(*text);
    }
    loadCache().keep(path, stamp, result);
    return result;
}

} // namespace KestruneCore
