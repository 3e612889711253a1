#include "engine/AppKeeper.h"

#include "core/ActivityLog.h"
#include "core/LogCap.h"
#include "core/Paths.h"
#include "engine/EntryState.h"
#include "health/Backoff.h"
#include "health/StartRecords.h"
#include "health/StemClash.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>
#include <sys/wait.h>

namespace KestruneEngine {

namespace {

constexpr double firstRunningCheck = 0.25;
constexpr std::size_t appOutputCapBytes = 1024u * 1024u;

class AppRules {
public:
    AppRules(const KestruneCore::AppEntry& entry, const PassContext& ctx)
        : entry_(entry), ctx_(ctx), st_(ctx.stateDir, appStem(entry)), now_(ctx.now) {}

    EntryOutcome apply() {
        auto trying = st_.whole(".trying");
        if (ctx_.env.appIsRunning(entry_.path)) {
            if (trying) {
                double t = static_cast<double>(*trying);
                auto seconds = elapsedSeconds(t, now_);
                KestruneCore::log(entry_.name,
                                  "started: running after " + std::to_string(seconds) + "s");
                recordStart(entry_.name, t, now_, seconds, "relaunch");
                st_.writeSeconds(".healthy", now_);
            }
            for (auto suffix : {".trying", ".next", ".attempts", ".toggled"})
                st_.remove(suffix);
            if (!st_.exists(".healthy"))
                st_.writeSeconds(".healthy", now_);
            // A running app keeps writing its output: kept to a bounded size.
            KestruneCore::capLogFile(st_.path(".output"), appOutputCapBytes);
            EntryOutcome out = EntryOutcome::healthy();
            if (ctx_.env.appProcesses)
                out.pids = ctx_.env.appProcesses(entry_.path);
            // Without a process to watch, look again shortly.
            if (out.pids.empty())
                out.due = now_ + 1;
            return out;
        }
        st_.remove(".healthy");

        int attempts = st_.count(".attempts");
        if (attempts >= retryLimit)
            return EntryOutcome::keeping(Kind::retryLimit, {});
        if (auto next = st_.whole(".next"); next && now_ < static_cast<double>(*next))
            return EntryOutcome::keeping(Kind::relaunchFailed, {}, static_cast<double>(*next));

        if (trying) {
            // An app that died at once is not waited for: its end says why.
            if (auto reason = ctx_.env.appEnded ? ctx_.env.appEnded(st_.stem()) : std::nullopt) {
                st_.remove(".trying");
                return failed(*reason);
            }
            double t = static_cast<double>(*trying);
            auto expected = static_cast<double>(KestruneCore::expectedStartSeconds(
                entry_, KestruneCore::startRecords(entry_.name), std::nullopt));
            if (now_ - t <= expected) {
                // Look for it soon after the open, then less often.
                double gap = std::clamp((now_ - t), firstRunningCheck, 5.0);
                return EntryOutcome::problem(Kind::relaunching, "relaunching",
                                             std::min(now_ + gap, t + expected + 0.001));
            }
            st_.remove(".trying");
            int failed = std::min(attempts + 1, 1000000);
            st_.writeWhole(".attempts", failed);
            if (failed >= retryLimit) {
                KestruneCore::log(entry_.name, retryLimitMessage());
                return EntryOutcome::problem(Kind::retryLimit,
                                             "not running " +
                                                 std::to_string(static_cast<long long>(expected)) +
                                                 "s after opening it");
            }
        }
        return open();
    }

private:
    EntryOutcome open() {
        KestruneCore::log(entry_.name, "ACTION: not running -> open");
        std::string error = ctx_.env.openApp(entry_.path, st_.stem());
        if (!error.empty())
            return failed(error);
        st_.remove(".next");
        st_.writeWhole(".trying", static_cast<long long>(std::floor(now_)));
        st_.write(".trigger", "relaunch");
        return EntryOutcome::problem(Kind::relaunching, "relaunching", now_ + firstRunningCheck);
    }

    // An open that failed, at once or by the app's early end.
    EntryOutcome failed(const std::string& error) {
        KestruneCore::log(entry_.name, "open failed: " + error);
        int failed = std::min(st_.count(".attempts") + 1, 1000000);
        st_.writeWhole(".attempts", failed);
        if (failed >= retryLimit) {
            KestruneCore::log(entry_.name, retryLimitMessage());
            st_.remove(".next");
            return EntryOutcome::problem(Kind::retryLimit, error);
        }
        auto next = static_cast<long long>(std::floor(now_)) + backoffSeconds(failed);
        st_.writeWhole(".next", next);
        return EntryOutcome::problem(Kind::relaunchFailed, error, static_cast<double>(next));
    }

    const KestruneCore::AppEntry& entry_;
    const PassContext& ctx_;
    EntryState st_;
    double now_;
};

} // namespace

std::string appStem(const KestruneCore::AppEntry& entry) {
    return KestruneCore::entryStem(entry);
}

std::string appOutputPath(const std::string& stem) {
    return EntryState(KestruneCore::stateFolder(), stem).path(".output");
}

std::string appEndReason(int waitStatus, const std::string& output) {
    std::string reason = WIFSIGNALED(waitStatus)
                             ? "killed by signal " + std::to_string(WTERMSIG(waitStatus))
                             : "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    std::string lower = output;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Toolkits word it differently; each means the app found no display to show on.
    for (std::string_view says :
         {"cannot open display", "can't open display", "could not connect to display"})
        if (lower.find(says) != std::string::npos)
            return reason + " (cannot open display)";
    return reason;
}

EntryOutcome applyApp(const KestruneCore::AppEntry& entry, const PassContext& ctx) {
    return AppRules(entry, ctx).apply();
}

} // namespace KestruneEngine
