#include "services/ServiceLog.h"

#include "core/LogCap.h"
#include "core/Paths.h"

namespace KestruneCore {

std::string serviceLogPath(const std::string& name) {
    std::string safe = name;
    for (auto& c : safe)
        if (c == '/')
            c = '_';
    return logsFolder() + "/kestrune-" + safe + ".log";
}

bool capServiceLog(const std::string& name) {
    return capLogFile(serviceLogPath(name), serviceLogCapBytes);
}

} // namespace KestruneCore
