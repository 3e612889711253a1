#include "engine/AgentInstaller.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <cstdlib>
#include <plist/plist.h>
#include <unistd.h>

namespace KestruneEngine {

AgentFiles agentFiles() {
    return {KestruneCore::userUnitFolder() + "/" + std::string(KestruneCore::engineUnit),
            KestruneCore::agentPlistPath()};
}

std::string systemdQuoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '%':
            out += "%%";
            break;
        case '$':
            out += "$$";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

std::string systemdUnitText(const std::string& enginePath, const std::optional<std::string>& home) {
    std::string exec = systemdQuoted(enginePath) + " serve";
    if (home)
        exec += " --home " + systemdQuoted(*home);
    return "[Unit]\n"
           "Description=Kestrune keep-alive engine\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           exec +
           "\n"
           "Restart=always\n"
           "RestartSec=2\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::string launchAgentPlist(const std::string& enginePath,
                             const std::optional<std::string>& home) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Label", plist_new_string(std::string(KestruneCore::label).c_str()));
    plist_t args = plist_new_array();
    plist_array_append_item(args, plist_new_string(enginePath.c_str()));
    plist_array_append_item(args, plist_new_string("serve"));
    if (home) {
        plist_array_append_item(args, plist_new_string("--home"));
        plist_array_append_item(args, plist_new_string(home->c_str()));
    }
    plist_dict_set_item(dict, "ProgramArguments", args);
    plist_dict_set_item(dict, "KeepAlive", plist_new_bool(1));
    plist_dict_set_item(dict, "RunAtLoad", plist_new_bool(1));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    std::string out = xml ? std::string(xml, length) : std::string();
    if (xml)
        std::free(xml); // allocated with malloc by libplist
    plist_free(dict);
    return out;
}

int installSystemdAgent(const std::string& enginePath, const std::optional<std::string>& home,
                        const CommandRunner& run) {
    auto path = agentFiles().systemdUnitPath;
    KestruneCore::makeFolders(KestruneCore::parentFolder(path));
    if (!KestruneCore::writeFileAtomically(path, systemdUnitText(enginePath, home)))
        return 1;
    if (int s = run({"systemctl", "--user", "daemon-reload"}); s != 0)
        return s;
    return run({"systemctl", "--user", "enable", "--now", std::string(KestruneCore::engineUnit)});
}

int uninstallSystemdAgent(const CommandRunner& run) {
    auto path = agentFiles().systemdUnitPath;
    int status = 0;
    if (KestruneCore::fileExists(path)) {
        status =
            run({"systemctl", "--user", "disable", "--now", std::string(KestruneCore::engineUnit)});
        ::unlink(path.c_str());
        run({"systemctl", "--user", "daemon-reload"});
    }
    return status;
}

int installLaunchAgent(const std::string& enginePath, const std::optional<std::string>& home,
                       const CommandRunner& run) {
    auto path = agentFiles().launchAgentPath;
    KestruneCore::makeFolders(KestruneCore::parentFolder(path));
    if (!KestruneCore::writeFileAtomically(path, launchAgentPlist(enginePath, home)))
        return 1;
    std::string domain = KestruneCore::domainTarget();
    // Loading an agent that is already loaded fails; unload first so install can be
    // repeated and picks up a changed definition.
    run({"/bin/launchctl", "bootout", KestruneCore::serviceTarget()});
    return run({"/bin/launchctl", "bootstrap", domain, path});
}

int uninstallLaunchAgent(const CommandRunner& run) {
    auto path = agentFiles().launchAgentPath;
    int status = 0;
    if (KestruneCore::fileExists(path)) {
        status = run({"/bin/launchctl", "bootout", KestruneCore::serviceTarget()});
        ::unlink(path.c_str());
    }
    return status;
}

} // namespace KestruneEngine
