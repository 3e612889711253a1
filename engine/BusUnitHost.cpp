// A unit that ignores SIGTERM is the manager's to kill when its stop timeout runs out,
// while the engine goes on.
#include "engine/BusUnitHost.h"

#include "core/ActivityLog.h"
#include "core/Paths.h"
#include "engine/EntryState.h"
#include "engine/StartRunner.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <set>

namespace KestruneEngine {

namespace {

constexpr std::string_view unitPrefix = "kestrune-svc-";

bool isOurUnit(const std::string& name) {
    return name.rfind(unitPrefix, 0) == 0;
}

// A key as a unit name may hold it: anything but letters, digits, '_', '.' and '-'
// becomes '_'.
std::string unitNamePart(std::string key) {
    for (char& c : key) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok)
            c = '_';
    }
    return key.empty() ? "app" : key;
}

class BusUnitHost : public ServiceHost {
public:
    BusUnitHost(std::string enginePath, std::unique_ptr<KestruneCore::UserManagerBus> bus)
        : runner_(runnerCommand(enginePath)), bus_(std::move(bus)) {
        bus_->jobDone = [this](const std::string& unit, const std::string& result) {
            if (auto known = units_.find(unit); known != units_.end() && known->second.starting) {
                // The manager reports the unit's state before its job's end; this
                // only covers a report that never came.
                known->second.starting = false;
                if (result == "done" && known->second.activeState.empty())
                    known->second.activeState = "active";
                news_ = true;
            }
            // An app's scope has started (or will not): its app goes on either way.
            if (auto gate = gates_.find(unit); gate != gates_.end()) {
                if (result != "done")
                    KestruneCore::log("Kestrune", "app " + gate->second.key +
                                                      " stays in the engine's unit: its scope " +
                                                      result);
                gates_.erase(gate);
            }
        };
        // Once the manager has unloaded a unit, nothing of it runs and its name is free.
        bus_->unitGone = [this](const std::string& unit) {
            retiring_.erase(unit);
            if (units_.erase(unit))
                news_ = true;
        };
        bus_->followedPrefix = unitPrefix;
        bus_->unitChanged = [this](const std::string& unit,
                                   const KestruneCore::UserManagerBus::UnitChange& change) {
            auto& known = units_[unit];
            if (change.activeState && *change.activeState != known.activeState) {
                known.activeState = *change.activeState;
                news_ = true;
            }
            if (change.mainPid && known.mainPid != change.mainPid) {
                known.mainPid = change.mainPid;
                news_ = true;
            }
        };
        prime();
        news_ = false;
    }

    StartOutcome start(const StartRequest& r) override {
        if (isOurUnit(r.replaces))
            retire(r.replaces);
        std::string unit = serviceUnitName(r.stem);
        if (retiring_.count(unit)) {
            // Still stopping: the new start does not wait for the name.
            unit = freshName(r.stem);
        } else if (runs(unit)) {
            // Left active by an earlier runner (its command may have left a server
            // behind): that goes, and the new start does not wait for it.
            retire(unit);
            unit = freshName(r.stem);
        } else if (auto known = units_.find(unit);
                   known != units_.end() && known->second.activeState == "failed") {
            bus_->resetFailedUnit(unit); // handled before the start that follows it
        }
        KestruneCore::UserManagerBus::TransientService service;
        service.name = unit;
        service.description = "Kestrune start runner for " + r.stem;
        // Only the stem (file-name-safe) and fixed words go on the unit's command
        // line, which the manager expands; the rest goes in the environment.
        service.argv = runner_;
        service.argv.insert(service.argv.end(), {"--key", r.stem});
        if (r.began > 0) {
            service.argv.push_back("--began");
            service.argv.push_back(secondsText(r.began));
        }
        service.environment = {"HOME=" + r.home, std::string(serviceMarkerVariable) + "=" + r.stem,
                               std::string(runnerDirVariable) + "=" + r.dir,
                               std::string(runnerNameVariable) + "=" + r.name,
                               std::string(runnerMethodVariable) + "=" + r.method};
        service.remainAfterExit = true;
        service.stopTimeoutSeconds = stopGraceSeconds;
        std::string stem = r.stem;
        double began = r.began;
        // Under way from now on, whatever the manager has yet to say about it.
        units_[unit] = Unit{{}, std::nullopt, true, false};
        bus_->startService(service, [this, unit, stem, began](const std::string& error) {
            if (auto known = units_.find(unit); known != units_.end() && known->second.starting)
                units_.erase(known);
            // Refused after the pass moved on: the next pass counts a failed start,
            // with the manager's words as its cause.
            EntryState(KestruneCore::stateFolder(), stem)
                .write(".exit", exitRecordText({127, nowSeconds(),
                                                began > 0 ? std::optional(began) : std::nullopt,
                                                startRefusedCause(error)}));
        });
        return {unit, {}};
    }

    bool isAlive(const std::string&, const std::string& handle) override {
        return isOurUnit(handle) && runs(handle);
    }

    void stop(const std::string&, const std::string& handle) override {
        if (isOurUnit(handle))
            retire(handle);
    }

    std::optional<int> runnerPid(const std::string&, const std::string& handle) override {
        auto known = units_.find(handle);
        if (!isOurUnit(handle) || known == units_.end())
            return std::nullopt;
        auto& unit = known->second;
        if (!unit.mainPid && !unit.reading) {
            // Asked for, not waited for: the answer is news, and serve asks again.
            unit.reading = true;
            bus_->readMainPid(handle, [this, handle](int pid) {
                auto known = units_.find(handle);
                if (known == units_.end())
                    return;
                known->second.reading = false;
                if (!known->second.mainPid) {
                    known->second.mainPid = pid;
                    news_ = true;
                }
            });
        }
        int pid = unit.mainPid.value_or(0);
        if (pid <= 1)
            return std::nullopt;
        // Asked again for the same process once serve has seen it end: until the
        // manager has reaped it and says so, it is no longer one to watch (watching
        // it would wake serve at once, again and again).
        if (unit.handedOut == pid && !processRuns(pid))
            return std::nullopt;
        unit.handedOut = pid;
        return pid;
    }

    void adoptApp(const std::string& key, int pid,
                  std::shared_ptr<KestruneCore::StartGate> gate) override {
        std::string scope = "app-kestrune-" + unitNamePart(key) + "-" + randomSuffix() + ".scope";
        gates_[scope] = {std::move(gate), key, std::chrono::steady_clock::now() + appScopeWait};
        bus_->startScope(scope, "app.slice", {pid}, [this, key, scope](const std::string& error) {
            // It still runs, only inside the engine's own unit.
            KestruneCore::log("Kestrune", "app " + key + " stays in the engine's unit: " + error);
            gates_.erase(scope);
        });
    }

    int eventFd() const override { return bus_->fd(); }

    bool dispatch() override {
        bus_->dispatch();
        // The app stopped waiting at the same bound and has started where it was.
        auto now = std::chrono::steady_clock::now();
        for (auto gate = gates_.begin(); gate != gates_.end();) {
            if (gate->second.until > now) {
                ++gate;
                continue;
            }
            KestruneCore::log("Kestrune", "app " + gate->second.key +
                                              " started before its scope was made: the user "
                                              "manager did not answer within " +
                                              std::to_string(appScopeWait.count() / 1000) + " s");
            gate = gates_.erase(gate);
        }
        bool news = news_;
        news_ = false;
        return news;
    }

private:
    // Asked to stop once; asked again while still stopping, it had its chance.
    void retire(const std::string& unit) {
        if (!retiring_.insert(unit).second)
            return bus_->killUnit(unit, SIGKILL);
        // A unit already gone (not loaded) leaves its name free at once.
        bus_->stopUnit(unit, [this, unit](const std::string&) { retiring_.erase(unit); });
    }

    // What runs already (left by an earlier engine); from here on the manager's
    // signals keep the record, so a pass never has to ask. Signals that came in
    // meanwhile are applied after the listing, in the order the manager sent them.
    void prime() {
        auto listed = bus_->listUnits(std::string(unitPrefix) + "*");
        if (!listed)
            return;
        primed_ = true;
        for (const auto& unit : *listed)
            units_[unit.name].activeState = unit.activeState;
        bus_->dispatch();
    }

    // Whether the unit or anything its runner left behind may still run, as the
    // manager last said; a start of ours not yet answered counts as running.
    bool runs(const std::string& unit) {
        // Never "not running" for want of asking: a unit left by an earlier engine
        // would get a second copy beside it.
        if (!primed_)
            prime();
        auto known = units_.find(unit);
        if (known == units_.end())
            return false; // not loaded: our units are collected once they stop
        const auto& state = known->second.activeState;
        return known->second.starting || state == "active" || state == "activating" ||
               state == "deactivating" || state == "reloading" || state == "refreshing";
    }

    std::string freshName(const std::string& stem) {
        for (;;) {
            std::string name = std::string(unitPrefix) + stem + "-" + randomSuffix() + ".service";
            if (!retiring_.count(name) && !runs(name))
                return name;
        }
    }

    std::string randomSuffix() {
        std::uniform_int_distribution<unsigned> pick(0, 0xffffff);
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "%06x", pick(random_));
        return suffix;
    }

    static double nowSeconds() {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }

    std::vector<std::string> runner_;
    std::unique_ptr<KestruneCore::UserManagerBus> bus_;
    std::set<std::string> retiring_;
    // Our units as the manager last reported them, by name; a unit missing here is not
    // loaded.
    struct Unit {
        std::string activeState;
        std::optional<int> mainPid; // unknown until reported or read
        bool starting = false;      // our start call not yet answered by its job's end
        bool reading = false;       // a read of mainPid under way
        int handedOut = 0;          // the main process last given to serve to watch
    };
    std::map<std::string, Unit> units_;
    bool primed_ = false; // the manager has listed our units once
    // Apps held back until their scopes exist, by scope name.
    struct Gate {
        std::shared_ptr<KestruneCore::StartGate> release;
        std::string key;
        std::chrono::steady_clock::time_point until;
    };
    std::map<std::string, Gate> gates_;
    std::mt19937 random_{std::random_device{}()};
    bool news_ = false;
};

} // namespace

std::unique_ptr<ServiceHost> makeBusUnitHost(std::string enginePath,
                                             std::unique_ptr<KestruneCore::UserManagerBus> bus) {
    return std::make_unique<BusUnitHost>(std::move(enginePath), std::move(bus));
}

} // namespace KestruneEngine
