#include "platform/Migration.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "platform/AgentBackend.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isRealFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A link is made again at its new place, pointing where it pointed before: a
// relative target would otherwise resolve from the new folder.
bool moveLink(const std::string& from, const std::string& to) {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink(from.c_str(), buf.data(), buf.size());
    if (n <= 0 || std::size_t(n) >= buf.size())
        return false;
    std::string target(buf.data(), std::size_t(n));
    if (target[0] != '/') {
        // Resolved now, while the old folder still exists to be resolved through.
        char* folder = ::realpath(parentFolder(from).c_str(), nullptr);
        if (!folder)
            return false;
        target = std::filesystem::path(std::string(folder) + "/" + target).lexically_normal();
        std::free(folder);
    }
    return ::symlink(target.c_str(), to.c_str()) == 0 && ::unlink(from.c_str()) == 0;
}

// A regular file on another file system: copied beside the destination, put in
// place only if nothing is there yet (link fails on an existing name), then the
// source removed.
bool copyAcross(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return false;
    struct stat st {};
    std::string tmp = to + ".moving-XXXXXX";
    int out = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) ? ::mkstemp(tmp.data()) : -1;
    bool ok = out >= 0;
    char buf[65536];
    for (ssize_t n; ok && (n = ::read(in, buf, sizeof buf)) != 0;) {
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = ::write(out, buf + done, std::size_t(n - done));
            if (w > 0)
                done += w;
            else
                ok = w < 0 && errno == EINTR;
        }
    }
    ::close(in);
    if (out >= 0) {
        ok = ok && ::fchmod(out, st.st_mode & 07777) == 0 && ::fsync(out) == 0;
        ok = ::close(out) == 0 && ok;
        ok = ok && ::link(tmp.c_str(), to.c_str()) == 0;
        ::unlink(tmp.c_str());
    }
    return ok && ::unlink(from.c_str()) == 0;
}

// Moves a file, link or folder only when the source exists and the destination
// does not; the check and the move are one step, so a file another process makes
// at the destination meanwhile is never replaced. Returns whether it moved.
bool move(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0 || exists(to))
        return false;
    makeFolders(parentFolder(to));
    if (S_ISLNK(st.st_mode))
        return moveLink(from, to);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS) // a file system without the flag
        return !exists(to) && std::rename(from.c_str(), to.c_str()) == 0;
    if (errno == EXDEV && S_ISREG(st.st_mode))
        return copyAcross(from, to);
    return false;
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// Moves every entry of the folder `from` into the folder `to`, keeping whatever `to`
// holds already, then removes `from` if that left it empty. A plain file is moved.
void moveInto(const std::string& from, const std::string& to) {
    if (!isRealFolder(from)) {
        move(from, to);
        return;
    }
    if (move(from, to)) // the whole folder at once when nothing is there yet
        return;
    if (!isRealFolder(to) && !(::mkdir(to.c_str(), 0755) == 0 || isRealFolder(to)))
        return;
    for (const auto& name : listFolder(from))
        moveInto(from + "/" + name, to + "/" + name);
    ::rmdir(from.c_str());
}

// tolvane.log becomes kestrune.log, tolvane-shop.log kestrune-shop.log (a
// case-sensitive prefix); nothing is renamed over an existing file.
void renameFormerLogs(const std::string& folder) {
    const std::string prefix = "tolvane";
    for (const auto& name : listFolder(folder)) {
        if (name.rfind(prefix, 0) == 0)
            move(folder + "/" + name, folder + "/kestrune" + name.substr(prefix.size()));
    }
}

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// A defaults domain's dictionary, or none when the file is missing, unreadable or
// not a dictionary.
PlistPtr readDomain(const std::string& path) {
    auto bytes = readFile(path);
    if (!bytes || bytes->empty())
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), uint32_t(bytes->size()), &root);
    PlistPtr owned(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return nullptr;
    return owned;
}

void copyDefaults(const std::string& home) {
    std::string from = defaultsPath(home, std::string(formerLabel));
    std::string to = defaultsPath(home, std::string(label));
    PlistPtr old = readDomain(from);
    if (!old)
        return;
    PlistPtr current = readDomain(to);
    if (current && plist_dict_get_size(current.get()) > 0)
        return;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(old.get(), &xml, &length);
    if (!xml)
        return;
    std::string text(xml, length);
    plist_to_xml_free(xml);
    makeFolders(parentFolder(to));
    writeFileAtomically(to, text);
}

} // namespace

std::string defaultsPath(const std::string& home, const std::string& domain) {
    return home + "/Library/Preferences/" + domain + ".plist";
}

void runLaunchctl(const std::vector<std::string>& args) {
    lc(args);
}

void migrateFromFormerName(const std::string& homeArg,
                           const std::function<void(const std::vector<std::string>&)>& launchctl) {
    const std::string h = homeArg.empty() ? home("~") : homeArg;
    if (h.empty())
        return;

    move(h + "/Library/Application Support/" + std::string(formerName),
         h + "/Library/Application Support/Kestrune");

    renameFormerLogs(h + "/Library/Logs");

    // The former name's own base folders; its logs lived in its state folder.
    const BaseFolders base = baseFolders(h);
    for (const std::string& folder : {base.config, base.state, base.cache})
        move(folder + "/tolvane", folder + "/kestrune");
    renameFormerLogs(base.state + "/kestrune");

    if (h == home("~"))
        copyDefaults(h);

    std::string formerPlist = h + "/Library/LaunchAgents/" + std::string(formerLabel) + ".plist";
    if (exists(formerPlist)) {
        if (launchctl)
            launchctl({"bootout", domainTarget() + "/" + std::string(formerLabel)});
        ::unlink(formerPlist.c_str());
    }
}

void migrateFromEarlierLayout(const std::string& homeArg) {
    const std::string h = homeArg.empty() ? home("~") : homeArg;
    if (h.empty() || h[0] != '/')
        return;
    const std::string library = h + "/Library";
    const std::string support = library + "/Application Support";
    const std::string old = support + "/Kestrune";
    const std::string logs = library + "/Logs";
    const BaseFolders base = baseFolders(h);
    const std::string config = base.config + "/kestrune";
    const std::string state = base.state + "/kestrune";
    const std::string cache = base.cache + "/kestrune";

    bool found = isRealFolder(old);
    if (found) {
        // Only our own names: anything else the folder holds is left where it is.
        for (const char* name :
             {"apps.tsv", "apps.seed.tsv", "master", ".apps.tsv.lock", ".master.lock"})
            move(old + "/" + name, config + "/" + name);
        moveInto(old + "/discovered.tsv", cache + "/discovered.tsv");
        moveInto(old + "/feedback", cache + "/feedback");
        moveInto(old + "/state/icons", cache + "/icons");
        moveInto(old + "/state", state); // the engine's folder: all of it is ours
    }
    for (const auto& name : listFolder(logs)) {
        if (name.rfind("kestrune", 0) == 0 && name.size() >= 4 &&
            name.compare(name.size() - 4, 4, ".log") == 0) {
            move(logs + "/" + name, state + "/" + name);
            found = true;
        }
    }
    if (!found)
        return;
    // rmdir removes only empty folders: what still holds anything stays.
    for (const std::string& folder : {old, support, logs, library})
        ::rmdir(folder.c_str());
}

} // namespace KestruneCore
