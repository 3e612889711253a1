#include "discovery/Discovery.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "services/ServiceConfig.h"
#include "services/ServiceFolder.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace Discovery {

namespace {

// The walk works relative to open folder descriptors and trusts the entry type that
// the listing reports, so an ordinary folder costs one listing and a leaf one stat.
// It remembers every folder it entered by device and inode, so links that lead to a
// folder again (a loop, or many links to one place) never walk it twice: the cost
// follows the number of real folders, not the number of paths to them.
class Walker {
public:
    std::vector<std::string> found;

    explicit Walker(const std::string& home) {
        // The home folder is walked on its own terms (walkHome); a link back to it
        // would only repeat that.
        if (struct stat st{}; ::stat(home.c_str(), &st) == 0)
            walked_[identity(st)] = std::numeric_limits<int>::max();
    }

    void walkRoot(const std::string& root) {
        std::string path = root;
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
    struct IdentityHash {
        std::size_t operator()(const Identity& id) const {
            return std::hash<ino_t>()(id.ino) * 31u + std::hash<dev_t>()(id.dev);
        }
    };
    static Identity identity(const struct stat& st) { return {st.st_dev, st.st_ino}; }

    // Every folder entered, with the most levels that were left below it then. A
    // folder reached again with more levels left (a link high up the tree to a folder
    // first met deep down) is walked again, so nothing the depth limits allow is
    // missed; at most once per level, so the cost stays linear.
    std::unordered_map<Identity, int, IdentityHash> walked_;
    // The folders whose start script is already in `found`: one path per project,
    // the first the walk met.
    std::unordered_set<Identity, IdentityHash> reported_;

    bool walkedDeepEnough(const Identity& folder, int depth) const {
        auto it = walked_.find(folder);
        return it != walked_.end() && it->second >= depth;
    }

    void record(const Identity& folder, const std::string& path) {
        if (reported_.insert(folder).second)
            found.push_back(path + std::string(launchSuffix));
    }

    void recordIfLaunchScript(int parentFd, const char* name, const std::string& path) {
        std::string rel = name;
        rel += launchSuffix;
        struct stat st {};
        if (::fstatat(parentFd, rel.c_str(), &st, 0) != 0)
            return;
        struct stat folder {};
        if (::fstatat(parentFd, name, &folder, 0) == 0)
            record(identity(folder), path);
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
        // A folder on the way down to this one was entered with more levels left, so a
        // link back up the tree ends here too.
        if (::fstat(fd, &self) != 0 || walkedDeepEnough(identity(self), depth)) {
            ::close(fd);
            return;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            recordIfLaunchScript(parentFd, name, path);
            return;
        }
        walked_[identity(self)] = depth;

        // Names of the sub-folders to visit, NUL-separated, in listing order: the
        // folders themselves first, then the links to folders (with what they lead
        // to), so a folder is reported under its own name before any link's.
        std::string folders;
        std::string links;
        std::vector<Identity> linked;
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
            if (e->d_type == DT_DIR) {
                folders.append(child);
                folders.push_back('\0');
            } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
                    links.append(child);
                    links.push_back('\0');
                    linked.push_back(identity(st));
                }
            }
        }

        if (!listed) {
            folders.clear();
            links.clear();
            recordIfLaunchScript(parentFd, name, path);
        } else if (sawScripts) {
            struct stat st {};
            if (::fstatat(fd, launchSuffix.data() + 1, &st, 0) == 0)
                record(identity(self), path);
        }

        std::size_t base = path.size();
        auto visitEach = [&](const std::string& names, const std::vector<Identity>* leadsTo) {
            std::size_t index = 0;
            for (std::size_t at = 0; at < names.size(); ++index) {
                const char* child = names.c_str() + at;
                std::size_t len = std::char_traits<char>::length(child);
                at += len + 1;
                // Checked only now: a sibling visited first may have walked it already.
                if (leadsTo && walkedDeepEnough((*leadsTo)[index], depth - 1))
                    continue;
                path += '/';
                path.append(child, len);
                visit(fd, child, path, depth - 1);
                path.resize(base);
            }
        };
        visitEach(folders, nullptr);
        visitEach(links, &linked);
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
    Walker walker(home);
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
    // Paths that lead to one folder through links name one service: the first in
    // sorted order stands for it.
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<std::string> out;
    for (const auto& dir : folders) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second)
            continue;
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
