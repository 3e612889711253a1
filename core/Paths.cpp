#include "core/Paths.h"

#include "core/FileIO.h"

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

std::string dataFolder() {
    return parentFolder(dataPath());
}
std::string dataPath() {
    return home("~/Library/Application Support/Kestrune/apps.tsv");
}
std::string seedPath() {
    return dataFolder() + "/apps.seed.tsv";
}
std::string masterPath() {
    return dataFolder() + "/master";
}
std::string stateFolder() {
    return dataFolder() + "/state";
}
std::string logsFolder() {
    return home("~/Library/Logs");
}

} // namespace KestruneCore
