// What one pass shares between the app and service rules, and what each entry's
// rules give back.
#pragma once

#include "engine/EnginePass.h"
#include "engine/EntryState.h"

#include <optional>
#include <string>
#include <vector>

namespace KestruneEngine {

struct PassContext {
    const PassEnvironment& env;
    double now;
    std::string stateDir;
};

// An entry's problem after this pass, and when it wants the next pass.
struct EntryOutcome {
    enum class Mode {
        none, // no problem
        set,  // this problem; `since` carries over while the kind stays the same
        keep  // whatever problem was recorded before, else this one
    };
    Mode mode = Mode::none;
    std::string kind;
    std::string detail;
    std::optional<double> due;
    std::vector<int> pids;
    std::optional<double> at; // when this happened, if not at the pass's time
    // Set when all that is due next is the service's own check (at `due`): the moment
    // from which that check may be made along with others falling due.
    std::optional<double> checkFrom;

    static EntryOutcome healthy(std::optional<double> due = std::nullopt) {
        return {Mode::none, {}, {}, due, {}, {}, {}};
    }
    static EntryOutcome problem(std::string kind, std::string detail,
                                std::optional<double> due = std::nullopt) {
        return {Mode::set, std::move(kind), std::move(detail), due, {}, {}, {}};
    }
    static EntryOutcome keeping(std::string kind, std::string detail,
                                std::optional<double> due = std::nullopt) {
        return {Mode::keep, std::move(kind), std::move(detail), due, {}, {}, {}};
    }
};

// Problem kinds.
namespace Kind {
inline constexpr const char* relaunching = "not-running-relaunching";
inline constexpr const char* hungRestarting = "hung-restarting";
inline constexpr const char* relaunchFailed = "relaunch-failed";
inline constexpr const char* unknownStart = "unknown-start";
inline constexpr const char* retryLimit = "retry-limit";
inline constexpr const char* retrying = "retrying";
inline constexpr const char* needsAdmin = "needs-admin";
inline constexpr const char* watchOnlyDown = "watch-only-down";
inline constexpr const char* unsafeToRerun = "unsafe-to-rerun";
inline constexpr const char* nameClash = "name-clash";
} // namespace Kind

// "retry limit reached after 5 attempts"
std::string retryLimitMessage();

// Appends one start record and logs nothing; `started` and `ended` are epochs.
void recordStart(const std::string& name, double started, double ended, long long seconds,
                 const std::string& trigger);

// Whole seconds between two epochs, rounded, never negative.
long long elapsedSeconds(double from, double to);

// The inode of a file, 0 when it is missing: tells a file written anew from the old.
unsigned long long fileInode(const std::string& path);

// When the start under way began (stem.trying, to the fraction when known).
std::optional<double> startBegan(const EntryState& st);

} // namespace KestruneEngine
