#include "engine/ServiceKeeper.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/StartMethod.h"
#include "engine/StartRunner.h"
#include "engine/StateCache.h"
#include "health/RestartRequest.h"
#include "services/ServiceCheck.h"

#include <algorithm>
#include <cmath>
#include <csignal>

namespace KestruneEngine {

namespace {

using KestruneCore::log;

// First re-check of a start this soon after it began, then each gap doubles up to
// half a second, so a start is noticed (and timed) within a fraction of a second.
constexpr double firstStartCheck = 0.1;
constexpr double longestStartCheckGap = 0.5;
constexpr int needsAdminTailLines = 20;
constexpr double runnerEndSettleSeconds = 1.0;
constexpr double logCapGapSeconds = 60.0;
constexpr double checkFileRefreshSeconds = 30.0;

int intervalOf(const std::optional<KestruneCore::ServiceConfig>& config) {
    if (config && config->interval && *config->interval > 0)
        return *config->interval;
    return defaultIntervalSeconds;
}

// The check file is stem + ".check" (the stem being the service key), read through the
// core's reader.
std::optional<double> lastCheckTime(const EntryState& st) {
    auto text = st.text(".check");
    if (!text)
        return std::nullopt;
    auto check = KestruneCore::ServiceCheck::parse(*text);
    if (!check)
        return std::nullopt;
    return std::chrono::duration<double>(check->time.time_since_epoch()).count();
}

// When a start under way should be checked next.
double nextStartCheck(double began, std::optional<double> lastCheck, int interval) {
    if (!lastCheck || *lastCheck < began)
        return began + firstStartCheck;
    double gap = std::clamp(*lastCheck - began, firstStartCheck,
                            std::min(longestStartCheckGap, static_cast<double>(interval)));
    return *lastCheck + gap;
}

// How long after the last check the next is due: the interval, or a second while a
// failure is being confirmed.
double checkGap(const EntryState& st, int interval) {
    return st.count(".fails") > 0 ? std::min(confirmSeconds, static_cast<double>(interval))
                                  : static_cast<double>(interval);
}

// How much earlier than its due time a check is made when others are made: a service
// checked at a full interval goes with those falling due within a short while, so
// services checked together stay together and the engine wakes once per interval.
double checkSlack(double gap, int interval) {
    return gap < interval ? 0.0 : std::min(1.0, interval * 0.2);
}

bool mentionsAdmin(const std::string& name) {
    auto tail = KestruneCore::readFileTail(KestruneCore::serviceLogPath(name), 64 * 1024);
    if (!tail)
        return false;
    auto lines = KestruneCore::splitLines(*tail);
    std::size_t from = lines.size() > needsAdminTailLines ? lines.size() - needsAdminTailLines : 0;
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].find("sudo") != std::string::npos ||
            lines[i].find("password") != std::string::npos)
            return true;
    return false;
}

// SIGKILL or SIGTERM the engine did not send: the engine signals only runners it
// replaces, whose ends belong to an earlier start.
bool killedFromOutside(int status) {
    return status == 128 + SIGKILL || status == 128 + SIGTERM;
}

std::string exitCause(const KestruneCore::AppEntry& entry, int status) {
    return startEndMessage(entry.method, status);
}

class ServiceRules {
public:
    ServiceRules(const ServicePlan& plan, const std::optional<HealthOutcome>& check,
                 const PassContext& ctx)
        : lastCheck_(plan.lastCheck), plan_(plan), entry_(plan.entry), st_(plan.state),
          check_(check), ctx_(ctx), now_(ctx.now), interval_(intervalOf(plan.config)),
          grace_(plan.config ? plan.config->grace : KestruneCore::ServiceConfig().grace) {}

    EntryOutcome apply() {
        if (plan_.toggled) {
            st_.remove(".toggled");
            for (auto suffix : {".fails", ".attempts", ".next", ".crashes"})
                st_.remove(suffix);
        }
        if (check_)
            recordCheck();
        if (plan_.restart) {
            // The user's request: back-off is forgotten, whatever runs goes (the host
            // stops the last runner whole) and a new start begins at once.
            st_.remove(KestruneCore::restartRequestSuffix);
            if (isStartable()) {
                for (auto suffix : {".fails", ".attempts", ".next", ".crashes"})
                    st_.remove(suffix);
                return start("restart", "restart requested");
            }
        }
        if (plan_.toggled)
            resumeStartUnderWay();

        if (auto began = startBegan(st_))
            return whileStarting(*began);

        int attempts = st_.count(".attempts");
        if (auto next = st_.whole(".next")) {
            if (now_ < static_cast<double>(*next))
                return EntryOutcome::keeping(Kind::retrying, {}, static_cast<double>(*next));
            if (check_ && check_->ok) {
                st_.remove(".next");
                return healthy();
            }
            return start("retry", "retry " + std::to_string(attempts));
        }

        auto exit = st_.exitRecord();
        auto healthySince = st_.seconds(".healthy");
        bool endedSinceHealthy = exit && (!healthySince || exit->time >= *healthySince);

        if (attempts >= retryLimit) {
            // Given up: only the user or the service itself turning healthy ends this.
            if (check_ && check_->ok) {
                st_.remove(".attempts");
                return healthy();
            }
            std::string cause = check_ ? check_->cause : std::string();
            return untilNextCheck(EntryOutcome::keeping(Kind::retryLimit, cause));
        }

        if (!plan_.config) {
            // Nothing to check: start it when asked, restart it when the start command
            // this engine launched ends.
            if (!isStartable())
                return EntryOutcome::healthy();
            if (plan_.toggled)
                return start("switched on", "switched on in Settings");
            if (endedSinceHealthy)
                return down(exit->status != 0 ? exitCause(entry_, exit->status)
                                              : "the start command ended");
            return EntryOutcome::healthy();
        }

        if (!check_)
            return untilNextCheck(EntryOutcome::keeping({}, {}));

        if (check_->ok) {
            st_.remove(".fails");
            meet();
            if (!healthySince)
                st_.writeSeconds(".healthy", now_);
            else if (now_ - *healthySince >= healthyResetSeconds)
                st_.remove(".attempts");
            if (endedSinceHealthy) {
                // Its runner ended but it still answers: what the runner started may
                // be on its way out, so look again shortly; answering a while later,
                // it outlives its runner and the end is no longer news.
                if (now_ < exit->time + runnerEndSettleSeconds)
                    return EntryOutcome::healthy(exit->time + runnerEndSettleSeconds);
                st_.remove(".exit");
            }
            return untilNextCheck(EntryOutcome::healthy());
        }

        if (endedSinceHealthy && isStartable())
            return down(check_->cause); // its start command ended: no tolerance

        int fails = std::min(st_.count(".fails") + 1, 1000000);
        st_.writeWhole(".fails", fails);
        int retries = std::max(0, plan_.config->retries);
        if (!plan_.toggled && fails < retries + 1 && !firstSight()) {
            // The next checks confirm it a second apart, so a dev server that restarts
            // itself is tolerated without waiting whole intervals.
            return EntryOutcome::healthy(now_ + std::min(confirmSeconds, double(interval_)));
        }

        if (!isStartable()) {
            if (check_->down)
                return EntryOutcome::problem(Kind::unknownStart, check_->cause, nextCheckDue());
            return EntryOutcome::problem(Kind::watchOnlyDown, check_->cause, nextCheckDue());
        }
        if (check_->down)
            return down(check_->cause);
        if (plan_.config->restart == KestruneCore::RestartPolicy::onFailure) {
            auto handle = st_.text(".pid");
            if (handle && ctx_.env.host->isAlive(st_.stem(), *handle))
                return start("unhealthy", "unhealthy", Kind::hungRestarting);
            // Started outside Kestrune: rerunning its start command could start a
            // second copy next to the one that hangs.
            return EntryOutcome::problem(Kind::unsafeToRerun, check_->cause, nextCheckDue());
        }
        return EntryOutcome::problem(Kind::watchOnlyDown, check_->cause, nextCheckDue());
    }

private:
    bool isStartable() const {
        return KestruneCore::StartMethod(entry_.method).kind !=
               KestruneCore::StartMethod::Kind::unknown;
    }

    double nextCheckDue() const {
        auto last = lastCheck_;
        double gap = checkGap(st_, interval_);
        return last && *last <= now_ ? *last + gap : now_ + gap;
    }

    // `out`, due when the next check is, which is all that is due next.
    EntryOutcome untilNextCheck(EntryOutcome out) const {
        out.due = nextCheckDue();
        out.checkFrom = *out.due - checkSlack(checkGap(st_, interval_), interval_);
        return out;
    }

    void meet() const { ctx_.env.met->insert(st_.stem()); }

    // Down, and neither seen healthy nor started by this engine, with no runner of
    // ours alive: nothing to tolerate, it was simply never started.
    bool firstSight() const {
        if (!check_->down || ctx_.env.met->count(st_.stem()) || !isStartable())
            return false;
        auto handle = st_.text(".pid");
        return !handle || handle->empty() || !ctx_.env.host->isAlive(st_.stem(), *handle);
    }

    void recordCheck() {
        KestruneCore::ServiceCheck record;
        record.time = KestruneCore::Clock::time_point(
            std::chrono::duration_cast<KestruneCore::Clock::duration>(
                std::chrono::duration<double>(now_)));
        record.url = check_->url;
        record.result = check_->result;
        record.cause = check_->cause;
        bool eventful = !check_->ok || plan_.toggled || plan_.restart || st_.exists(".trying");
        if (eventful || !recordStillTells(record))
            st_.rewrite(".check", record.line());
        lastCheck_ = now_;
        auto& memory = (*ctx_.env.checkMemory)[st_.stem()];
        memory.lastCheck = now_;
        // A start command may be filling its log; keep it within its cap. While a start
        // is under way or the service fails that is looked at every check, otherwise
        // now and then: what runs healthy rarely floods its log.
        auto& due = memory.logCapDue;
        if (eventful || now_ >= due || now_ < due - logCapGapSeconds) {
            KestruneCore::capServiceLog(entry_.name);
            due = now_ + logCapGapSeconds;
        }
    }

    // Whether the check file may stay as it is: only under serve (which remembers when
    // it last checked), when it says the same but for a time less than a while ago.
    // Every new file costs the file system an inode, which at 30 services checked each
    // 5 s was most of an idle engine's work; readers see the same verdict, at most
    // that much older.
    bool recordStillTells(const KestruneCore::ServiceCheck& record) const {
        if (!StateCache::active())
            return false;
        auto text = st_.text(".check");
        auto held = text ? KestruneCore::ServiceCheck::parse(*text) : std::nullopt;
        if (!held || held->url != record.url || held->result != record.result ||
            held->cause != record.cause)
            return false;
        double age = std::chrono::duration<double>(record.time - held->time).count();
        return age >= 0 && age < checkFileRefreshSeconds;
    }

    EntryOutcome healthy() {
        st_.remove(".fails");
        meet();
        if (!st_.exists(".healthy"))
            st_.writeSeconds(".healthy", now_);
        return untilNextCheck(EntryOutcome::healthy());
    }

    // Switched off and on while a start of ours is still under way: the back-off
    // reset left its runner's record, and that start carries on (now as the user's)
    // rather than a second copy being started beside it.
    void resumeStartUnderWay() const {
        auto began = st_.seconds(".began");
        auto handle = st_.text(".pid");
        if (!began || !handle || handle->empty() || st_.exists(".trying") ||
            !ctx_.env.host->isAlive(st_.stem(), *handle))
            return;
        st_.writeWhole(".trying", static_cast<long long>(std::floor(*began)));
        st_.write(".trigger", "switched on");
    }

    EntryOutcome whileStarting(double trying) {
        std::string label = "starting with " + entry_.method;
        auto exit = st_.exitRecord();
        if (exit && (exit->time < trying - 1 || !exit->belongsTo(trying)))
            exit.reset(); // left over from an earlier start
        if (check_ && check_->ok)
            return started(trying);
        if (exit && killedFromOutside(exit->status))
            return killedWhileStarting(trying, *exit);
        if (exit && !exit->cause.empty())
            return startFailed(exit->cause, false);
        if (exit && exit->status != 0) {
            std::string cause = exitCause(entry_, exit->status);
            bool admin = mentionsAdmin(entry_.name);
            return startFailed(admin ? "Needs your admin password" : cause, admin);
        }
        if (!plan_.config) {
            // Nothing to check: a start command that returns cleanly, or one still
            // running after the grace period, has started as far as anyone can tell.
            if (exit || now_ - trying >= grace_)
                return startedUnchecked(trying);
            return EntryOutcome::problem(Kind::relaunching, label, trying + grace_);
        }
        auto due = std::min(nextStartCheck(trying, lastCheck_, interval_), trying + grace_);
        if (!check_)
            return EntryOutcome::keeping(Kind::relaunching, label, std::max(due, now_));
        if (now_ - trying < grace_)
            return EntryOutcome::problem(Kind::relaunching, label, std::max(due, now_));
        return startFailed(check_->cause, false);
    }

    EntryOutcome started(double began) {
        auto seconds = elapsedSeconds(began, now_);
        log(entry_.name, "started: healthy after " + std::to_string(seconds) + "s");
        auto trigger = st_.text(".trigger").value_or("down");
        recordStart(entry_.name, began, now_, seconds, trigger);
        meet();
        for (auto suffix : {".trying", ".began", ".next", ".fails", ".exit"})
            st_.remove(suffix);
        st_.writeSeconds(".healthy", now_);
        return untilNextCheck(EntryOutcome::healthy());
    }

    EntryOutcome startedUnchecked(double trying) {
        auto seconds = elapsedSeconds(trying, now_);
        log(entry_.name, "started: health unknown after " + std::to_string(seconds) + "s");
        for (auto suffix : {".trying", ".began", ".next", ".exit"})
            st_.remove(suffix);
        st_.writeSeconds(".healthy", now_);
        return EntryOutcome::healthy();
    }

    // Killed by someone else (the OOM killer, a user's kill) before it was up: a crash,
    // not a broken service, so it starts again at once; its end marker is logged
    // already. Only when every one of the last restarts was killed too, each within
    // seconds of the one before, is it a crash loop and counts as a failed start.
    EntryOutcome killedWhileStarting(double trying, const ExitRecord& exit) {
        int crashes = 1;
        if (exit.time - trying < crashWindowSeconds)
            crashes = std::min(st_.count(".crashes") + 1, 1000000);
        st_.remove(".exit");
        if (crashes > crashLoopCount) {
            st_.remove(".crashes");
            return startFailed(exitCause(entry_, exit.status), false);
        }
        st_.writeWhole(".crashes", crashes);
        return start("down", "down");
    }

    // It is not running: start it at once, unless this is the third time in a row it
    // died within seconds of turning healthy; then it counts as a failed start.
    EntryOutcome down(const std::string& cause) {
        auto healthySince = st_.seconds(".healthy");
        int crashes = 0;
        if (healthySince && now_ - *healthySince < crashWindowSeconds)
            crashes = std::min(st_.count(".crashes") + 1, 1000000);
        if (crashes > 0)
            st_.writeWhole(".crashes", crashes);
        else
            st_.remove(".crashes");
        st_.remove(".healthy");
        if (crashes >= crashLoopCount) {
            st_.remove(".exit");
            return startFailed(cause, false);
        }
        return start("down", "down");
    }

    EntryOutcome start(const std::string& trigger, const std::string& why,
                       const char* kind = Kind::relaunching) {
        std::string actualTrigger = plan_.toggled ? "switched on" : trigger;
        std::string actualWhy = plan_.toggled ? "switched on in Settings" : why;
        StartRequest request{st_.stem(),    entry_.name,    entry_.path, entry_.method,
                             ctx_.env.home, ctx_.env.now(), {}};
        // Whatever an earlier start left running goes first (the host sees to it), so
        // that a leftover child cannot keep holding the port the new start needs.
        if (auto handle = st_.text(".pid"); handle && !handle->empty()) {
            if (ctx_.env.host->isAlive(st_.stem(), *handle))
                request.replaces = *handle;
        }
        // The runner being replaced is told to end (SIGTERM); its end marker comes
        // now, before the new start's marker, and the runner itself stays silent
        // since it is no longer the current start (see .began below).
        if (!request.replaces.empty() && !st_.exists(".exit"))
            log(entry_.name, startEndMessage(entry_.method, 128 + SIGTERM));
        st_.remove(".exit");
        st_.remove(".healthy");
        log(entry_.name, "ACTION: " + actualWhy + " -> starting with " + entry_.method);
        // The start's time is the moment the runner began, not the pass's; written
        // before any runner is told to end, so the one replaced knows it.
        double began = ctx_.env.now();
        request.began = began;
        st_.writeSeconds(".began", began);
        auto outcome = ctx_.env.host->start(request);
        if (!outcome.ok())
            return startFailed(startRefusedCause(outcome.error), false);
        meet();
        st_.writeWhole(".trying", static_cast<long long>(std::floor(began)));
        st_.write(".trigger", actualTrigger);
        st_.write(".pid", outcome.handle);
        st_.remove(".fails");
        auto out =
            EntryOutcome::problem(kind, "starting with " + entry_.method, began + firstStartCheck);
        out.at = began;
        return out;
    }

    EntryOutcome startFailed(const std::string& cause, bool admin) {
        log(entry_.name, "start failed: " + cause);
        int attempts = std::min(st_.count(".attempts") + 1, 1000000);
        st_.writeWhole(".attempts", attempts);
        st_.remove(".trying");
        st_.remove(".began");
        st_.remove(".exit");
        if (attempts >= retryLimit) {
            log(entry_.name, retryLimitMessage());
            st_.remove(".next");
            return EntryOutcome::problem(Kind::retryLimit, cause, now_ + interval_);
        }
        auto next = static_cast<long long>(std::ceil(now_ + retryDelaySeconds(attempts)));
        st_.writeWhole(".next", next);
        return EntryOutcome::problem(admin ? Kind::needsAdmin : Kind::retrying, cause,
                                     static_cast<double>(next));
    }

    std::optional<double> lastCheck_;
    const ServicePlan& plan_;
    const KestruneCore::AppEntry& entry_;
    const EntryState& st_;
    const std::optional<HealthOutcome>& check_;
    const PassContext& ctx_;
    double now_;
    int interval_;
    int grace_;
};

} // namespace

ServicePlan planService(const KestruneCore::AppEntry& entry, const std::string& stem,
                        const PassContext& ctx) {
    ServicePlan plan{entry, EntryState(ctx.stateDir, stem), std::nullopt, false, false, {}};
    plan.lastCheck = lastCheckTime(plan.state);
    // A check that left the file as it was is remembered here.
    if (auto memory = ctx.env.checkMemory->find(stem); memory != ctx.env.checkMemory->end())
        if (!plan.lastCheck || memory->second.lastCheck > *plan.lastCheck)
            plan.lastCheck = memory->second.lastCheck;
    auto load = KestruneCore::ServiceConfig::load(entry.path);
    if (load.isOk() && (load.config.url || !load.config.ports.empty()))
        plan.config = load.config;
    plan.toggled = plan.state.exists(".toggled");
    plan.restart = plan.state.exists(KestruneCore::restartRequestSuffix);
    if (!plan.config || plan.restart)
        return plan; // a restart starts without a check
    if (plan.toggled) {
        plan.needsCheck = true;
        return plan;
    }
    const auto& st = plan.state;
    int interval = intervalOf(plan.config);
    auto last = plan.lastCheck;
    double now = ctx.now;
    if (auto began = startBegan(st)) {
        double t = *began;
        auto exit = st.exitRecord();
        plan.needsCheck = (exit && exit->time >= t - 1 && exit->belongsTo(t)) ||
                          now >= t + plan.config->grace || now >= nextStartCheck(t, last, interval);
        return plan;
    }
    if (auto next = st.whole(".next")) {
        plan.needsCheck = now >= static_cast<double>(*next);
        return plan;
    }
    auto exit = st.exitRecord();
    auto healthySince = st.seconds(".healthy");
    if (exit && (!healthySince || exit->time >= *healthySince)) {
        plan.needsCheck = true;
        return plan;
    }
    double gap = checkGap(st, interval);
    plan.needsCheck = !last || *last > now || now + checkSlack(gap, interval) >= *last + gap;
    return plan;
}

EntryOutcome applyService(const ServicePlan& plan, const std::optional<HealthOutcome>& check,
                          const PassContext& ctx) {
    return ServiceRules(plan, check, ctx).apply();
}

} // namespace KestruneEngine
