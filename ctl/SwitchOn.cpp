#include "ctl/SwitchOn.h"

#include "core/ActivityLog.h"
#include "core/WatchList.h"
#include "health/AppLiveness.h"
#include "health/Backoff.h"
#include "platform/AppLauncher.h"

namespace KestruneCtl {

using namespace KestruneCore;

bool switchedOn(const Context& ctx, const AppEntry& entry) {
    resetBackoff(entry);
    bool running = entry.type == EntryType::app && appIsRunning(entry.path);
    switch (switchOnAction(entry, loadMaster(), running)) {
    case SwitchOnAction::none:
        return true;
    case SwitchOnAction::launchApp: {
        log(entry.name, "ACTION: switched on in Settings -> launching now");
        auto launched = openApplication(entry.path);
        if (!launched) {
            log(entry.name, "launch failed: " + launched.error);
            ctx.fail("launch failed: " + launched.error);
            return false;
        }
        ctx.out << "Launching " << entry.name << '\n';
        return true;
    }
    case SwitchOnAction::checkNow:
        log(entry.name, "switched on in Settings -> checking now (starts it if down)");
        ctx.lc({"kickstart", ctx.serviceTarget});
        ctx.out << "Asked the keep-alive engine to check " << entry.name << " now\n";
        return true;
    }
    return true;
}

} // namespace KestruneCtl
