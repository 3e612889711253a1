#include "platform/Migration.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "platform/AgentBackend.h"

#include <plist/plist.h>

#include <cstdio>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Moves only when the source exists and the destination does not.
void move(const std::string& from, const std::string& to) {
    if (!exists(from) || exists(to))
        return;
    makeFolders(parentFolder(to));
    std::rename(from.c_str(), to.c_str());
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

    const std::string logs = h + "/Library/Logs";
    const std::string prefix = "tolvane";
    for (const auto& name : listFolder(logs)) {
        if (name.rfind(prefix, 0) == 0)
            move(logs + "/" + name, logs + "/kestrune" + name.substr(prefix.size()));
    }

    if (h == home("~"))
        copyDefaults(h);

    std::string formerPlist = h + "/Library/LaunchAgents/" + std::string(formerLabel) + ".plist";
    if (exists(formerPlist)) {
        if (launchctl)
            launchctl({"bootout", domainTarget() + "/" + std::string(formerLabel)});
        ::unlink(formerPlist.c_str());
    }
}

} // namespace KestruneCore
