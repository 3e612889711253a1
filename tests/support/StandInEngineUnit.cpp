#include "StandInEngineUnit.h"

#include "core/FileIO.h"
#include "platform/AgentBackend.h"
#include "platform/Process.h"

#include <cstdlib>
#include <string>

namespace KestruneTest {

bool underUserManager() {
    const char* flag = std::getenv("KESTRUNE_TEST_USER_MANAGER");
    return flag && std::string(flag) == "1";
}

bool installStandInEngineUnit() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    auto systemctl = KestruneCore::findInPath("systemctl");
    if (!underUserManager() || !runtime || !systemctl)
        return false;
    std::string folder = std::string(runtime) + "/systemd/user";
    KestruneCore::makeFolders(folder);
    if (!KestruneCore::writeFileAtomically(folder + "/" + std::string(KestruneCore::engineUnit),
                                           "[Service]\nExecStart=/bin/sleep infinity\n"
                                           "[Install]\nWantedBy=default.target\n"))
        return false;
    return KestruneCore::runProcess({*systemctl, "--user", "daemon-reload"}).exitStatus == 0;
}

} // namespace KestruneTest
