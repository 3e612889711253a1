#include "discovery/Discovery.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "services/ServiceConfig.h"
#include "services/ServiceFolder.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Discovery {

namespace {

// The walk works relative to open folder descriptors and trusts the entry type that
// the listing reports, so an ordinary folder costs one listing and a leaf one stat.
class Walker {
public:
    std::vector<std::string> found;

    void walkRoot(const std::string& root) {
        std::string path = root;
        chain_.clear();
        visit(AT_FDCWD, root.c_str(), path, rootDepth);
    }

    void walkHome(const std::string& home) {
        int fd = ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        chain_.clear();
        if (struct stat st{}; ::fstat(fd, &st) == 0)
            chain_.push_back({st.st_dev, st.st_ino});
        std::vector<std::string> names;
        bool ok = true;
        for (;;) {
            errno = 0;
            struct dirent* e = ::readdir(dir);
            if (!e) {
                ok = errno == 0;
                break;
            }
            std::string_view name(e->d_name);
            if (name.front() == '.' || skipDirs.contains(name) ||
                std::find(rootNames.begin(), rootNames.end(), name) != rootNames.end())
                continue;
            // Every other entry is visited without a type test: a plain file simply
            // yields nothing.
            names.emplace_back(name);
        }
        if (ok) {
            std::string path;
            for (const auto& name : names) {
                path = home;
                path += '/';
                path += name;
                visit(fd, name.c_str(), path, homeDepth - 1);
            }
        }
        ::closedir(dir);
    }

private:
    struct Identity {
        dev_t dev;
        ino_t ino;
        bool operator==(const Identity&) const = default;
    };

    // Folders on the way down to the one being visited: a link back to one of them
    // would only repeat what is being walked already.
    std::vector<Identity> chain_;

    bool inChain(const struct stat& st) const {
        return std::find(chain_.begin(), chain_.end(), Identity{st.st_dev, st.st_ino}) !=
               chain_.end();
    }

    void recordIfLaunchScript(int parentFd, const char* name, const std::string& path) {
        std::string rel = name;
        rel += launchSuffix;
        struct stat st {};
        if (::fstatat(parentFd, rel.c_str(), &st, 0) == 0)
            found.push_back(path + std::string(launchSuffix));
    }

    // `name` is opened relative to `parentFd`; `path` is its full path, used for the
    // results and restored before returning.
    void visit(int parentFd, const char* name, std::string& path, int depth) {
        if (depth <= 0) {
            recordIfLaunchScript(parentFd, name, path);
            return;
        }
        int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            // Not listable (or not a folder): its launch script may still be reachable.
            recordIfLaunchScript(parentFd, name, path);
            return;
        }
        struct stat self {};
        if (::fstat(fd, &self) != 0 || inChain(self)) {
            ::close(fd);
            return;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            recordIfLaunchScript(parentFd, name, path);
            return;
        }
        chain_.push_back({self.st_dev, self.st_ino});

        // Names of the sub-folders to visit, NUL-separated, in listing order.
        std::string children;
        bool sawScripts = false;
        bool listed = true;
        for (;;) {
            errno = 0;
            struct dirent* e = ::readdir(dir);
            if (!e) {
                listed = errno == 0;
                break;
            }
            std::string_view child(e->d_name);
            if (child == "scripts")
                sawScripts = true;
            if (child.front() == '.' || skipDirs.contains(child) || child.ends_with(".app"))
                continue;
            bool isFolder = e->d_type == DT_DIR;
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                struct stat st {};
                isFolder =
                    ::fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode) && !inChain(st);
            }
            if (!isFolder)
                continue;
            children.append(child);
            children.push_back('\0');
        }

        if (!listed) {
            children.clear();
            recordIfLaunchScript(parentFd, name, path);
        } else if (sawScripts) {
            struct stat st {};
            if (::fstatat(fd, launchSuffix.data() + 1, &st, 0) == 0)
                found.push_back(path + std::string(launchSuffix));
        }

        std::size_t base = path.size();
        for (std::size_t at = 0; at < children.size();) {
            const char* child = children.c_str() + at;
            std::size_t len = std::char_traits<char>::length(child);
            path += '/';
            path.append(child, len);
            visit(fd, child, path, depth - 1);
            path.resize(base);
            at += len + 1;
        }
        chain_.pop_back();
        ::closedir(dir);
    }
};

} // namespace

std::string cachePath() {
    return KestruneCore::discoveredPath();
}

bool qualifies(const std::string& dir) {
    if (!KestruneCore::isExecutableFile(dir + std::string(launchSuffix)))
        return false;
    auto loaded = KestruneCore::ServiceConfig::load(dir);
    if (!loaded.isOk())
        return false;
    const auto& config = loaded.config;
    return (config.url && !config.url->empty()) || !config.ports.empty();
}

std::vector<std::string> roots(const std::string& home) {
    std::vector<std::string> out;
    out.reserve(rootNames.size());
    for (const auto& name : rootNames)
        out.push_back(home + "/" + name);
    return out;
}

std::vector<std::string> walk(const std::string& home) {
    Walker walker;
    for (const auto& root : roots(home))
        walker.walkRoot(root);
    walker.walkHome(home);
    return std::move(walker.found);
}

std::vector<std::string> repos(const std::vector<std::string>& fromLaunchPaths) {
    std::set<std::string> folders;
    for (const auto& path : fromLaunchPaths) {
        if (path.ends_with(launchSuffix))
            folders.insert(path.substr(0, path.size() - launchSuffix.size()));
    }
    std::vector<std::string> out;
    for (const auto& dir : folders) {
        if (qualifies(dir))
            out.push_back(dir);
    }
    return out;
}

std::vector<std::string> fallbackScan(const std::string& home) {
    return repos(walk(home));
}

KestruneCore::WatchList suggestions(const std::vector<std::string>& found,
                                    const KestruneCore::WatchList& existing) {
    std::set<std::string> watched;
    for (const auto& entry : existing) {
        if (entry.type == KestruneCore::EntryType::service)
            watched.insert(standardizedPath(entry.path));
    }
    KestruneCore::WatchList out;
    for (const auto& path : found) {
        if (watched.contains(standardizedPath(path)))
            continue;
        out.push_back(KestruneCore::AppEntry{KestruneCore::serviceName(path), path, false,
                                             KestruneCore::EntryType::service, "launch.sh"});
    }
    return out;
}

void saveCache(const std::vector<std::string>& paths, const std::string& to) {
    KestruneCore::makeFolders(KestruneCore::parentFolder(to));
    std::string text;
    for (const auto& path : paths) {
        if (path.find('\n') != std::string::npos || !KestruneCore::isValidUtf8(path))
            continue;
        text += path;
        text += '\n';
    }
    KestruneCore::writeFileAtomically(to, text);
}

std::vector<std::string> loadCache(const std::string& from) {
    std::vector<std::string> out;
    auto text = KestruneCore::readUtf8File(from);
    if (!text)
        return out;
    // Split at LF only: the cache's lines are taken exactly as written.
    std::string_view rest(*text);
    while (!rest.empty()) {
        std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        if (!line.empty())
            out.emplace_back(line);
        if (lf == std::string_view::npos)
            break;
        rest.remove_prefix(lf + 1);
    }
    return out;
}

std::string standardizedPath(const std::string& path) {
    std::string expanded = KestruneCore::home(path);
    bool absolute = !expanded.empty() && expanded.front() == '/';
    std::vector<std::string_view> parts;
    std::string_view rest(expanded);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
            continue;
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += '/';
        out += parts[i];
    }
    if (out.empty() && !expanded.empty())
        out = ".";
    return out;
}

} // namespace Discovery
