#include "core/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace KestruneCore {

namespace {

std::string userHome(const std::string& user) {
    if (user.empty()) {
        if (const char* h = std::getenv("HOME"); h && *h)
            return h;
    }
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* result = nullptr;
    int rc = user.empty() ? ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result)
                          : ::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &result);
    if (rc != 0 || !result || !result->pw_dir)
        return {};
    return result->pw_dir;
}

} // namespace

std::string home(const std::string& path) {
    if (path.empty() || path[0] != '~')
        return path;
    auto slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string dir = userHome(user);
    if (dir.empty())
        return path;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return slash == std::string::npos ? dir : dir + path.substr(slash);
}

std::string abbreviatingWithTilde(const std::string& path) {
    std::string h = home("~");
    if (h.empty() || h == "/" || h[0] != '/')
        return path;
    if (path == h)
        return "~";
    if (path.size() > h.size() && path.compare(0, h.size(), h) == 0 && path[h.size()] == '/')
        return "~" + path.substr(h.size());
    return path;
}

namespace {

// A base folder from its variable when set and absolute (a relative one is ignored,
// as the XDG rules say), else its default under the home folder.
std::string baseFolder(const char* variable, const std::string& homeFolder, const char* fallback) {
    std::string dir;
    if (const char* v = std::getenv(variable); v && v[0] == '/')
        dir = v;
    else
        dir = homeFolder + fallback;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

} // namespace

BaseFolders baseFolders(const std::string& homeFolder) {
    return {baseFolder("XDG_CONFIG_HOME", homeFolder, "/.config"),
            baseFolder("XDG_STATE_HOME", homeFolder, "/.local/state"),
            baseFolder("XDG_CACHE_HOME", homeFolder, "/.cache")};
}

BaseFolders baseFolders() {
    return baseFolders(home("~"));
}

std::string dataFolder() {
    return baseFolders().config + "/kestrune";
}
std::string dataPath() {
    return dataFolder() + "/apps.tsv";
}
std::string seedPath() {
    return dataFolder() + "/apps.seed.tsv";
}
std::string masterPath() {
    return dataFolder() + "/master";
}
std::string stateFolder() {
    return baseFolders().state + "/kestrune";
}
std::string logsFolder() {
    return stateFolder();
}
std::string cacheFolder() {
    return baseFolders().cache + "/kestrune";
}
std::string discoveredPath() {
    return cacheFolder() + "/discovered.tsv";
}
std::string liveIconFolder() {
    return cacheFolder() + "/icons";
}
std::string feedbackFolder() {
    return cacheFolder() + "/feedback";
}
std::string userUnitFolder() {
    return baseFolders().config + "/systemd/user";
}

} // namespace KestruneCore
