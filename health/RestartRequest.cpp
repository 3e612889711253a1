#include "health/RestartRequest.h"

#include "core/FileIO.h"
#include "core/StartMethod.h"
#include "health/Backoff.h"

namespace KestruneCore {

RestartRefusal restartRefusal(const AppEntry& entry, bool masterOn) {
    if (entry.type != EntryType::service)
        return RestartRefusal::notAService;
    if (!masterOn)
        return RestartRefusal::masterOff;
    if (!entry.enabled)
        return RestartRefusal::switchedOff;
    if (StartMethod(entry.method).kind == StartMethod::Kind::unknown)
        return RestartRefusal::cannotStart;
    return RestartRefusal::none;
}

std::string restartRefusalText(const AppEntry& entry, RestartRefusal refusal) {
    switch (refusal) {
    case RestartRefusal::none:
        return {};
    case RestartRefusal::notAService:
        return entry.name + " is not a service; only services are restarted";
    case RestartRefusal::switchedOff:
        return entry.name + " is switched off; switch it on to start it";
    case RestartRefusal::masterOff:
        return "keeping alive is off; switch it on to restart " + entry.name;
    case RestartRefusal::cannotStart:
        return entry.name + " has no start command (scripts/launch.sh or a package script)";
    case RestartRefusal::unwritable:
        return "could not ask the keep-alive engine to restart " + entry.name;
    }
    return {};
}

RestartRefusal requestRestart(const AppEntry& entry, bool masterOn, const std::string& stateDir) {
    if (auto refusal = restartRefusal(entry, masterOn); refusal != RestartRefusal::none)
        return refusal;
    auto key = stateKey(entry);
    if (!key || !makeFolders(stateDir) ||
        !writeFileAtomically(stateDir + "/" + *key + std::string(restartRequestSuffix),
                             std::to_string(epochNow()) + "\n"))
        return RestartRefusal::unwritable;
    return RestartRefusal::none;
}

} // namespace KestruneCore
