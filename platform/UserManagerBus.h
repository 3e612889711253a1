// The user's systemd manager over D-Bus (sd-bus): transient units and scopes started,
// stopped, killed and reset, and their properties read, with asynchronous calls, so
// that a manager busy seeing off a unit slow to stop never makes the caller wait.
// Replies and the manager's unit signals are read when the caller's loop finds fd()
// readable and calls dispatch().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;
struct sd_bus_message;

namespace KestruneCore {

class UserManagerBus {
public:
    // The manager's own socket in $XDG_RUNTIME_DIR first, else the session bus; none
    // when neither answers.
    static std::unique_ptr<UserManagerBus> connect();
    ~UserManagerBus();
    UserManagerBus(const UserManagerBus&) = delete;
    UserManagerBus& operator=(const UserManagerBus&) = delete;

    // Called with the manager's error text when it refuses a start.
    using Failed = std::function<void(const std::string& error)>;

    struct TransientService {
        std::string name; // "….service"
        std::string description;
        std::vector<std::string> argv;        // argv[0] an absolute path
        std::vector<std::string> environment; // "NAME=value"
        bool remainAfterExit = false;
        unsigned stopTimeoutSeconds = 5;
    };
    void startService(const TransientService& unit, Failed failed);
    // A scope holding processes that already run, e.g. in "app.slice".
    void startScope(const std::string& name, const std::string& slice, const std::vector<int>& pids,
                    Failed failed);
    void stopUnit(const std::string& name, Failed failed = nullptr);
    void killUnit(const std::string& name, int signal);
    void resetFailedUnit(const std::string& name);

    // The loaded units whose names match a glob pattern, with their ActiveState
    // ("active", "activating", "deactivating", "inactive", "failed"…). Blocking: for
    // start-up, before anything is kept; none when the manager does not answer.
    struct ListedUnit {
        std::string name;
        std::string activeState;
    };
    std::optional<std::vector<ListedUnit>> listUnits(const std::string& pattern);
    // A service unit's main process (0 when none or the unit is not loaded), read
    // asynchronously.
    void readMainPid(const std::string& name, std::function<void(int pid)> read);

    // Unit signals: a job ended (unit, result) or a unit was unloaded.
    std::function<void(const std::string& unit, const std::string& result)> jobDone;
    std::function<void(const std::string& unit)> unitGone;
    // A unit whose name starts with followedPrefix changed: what it says of the unit's
    // ActiveState and (services) MainPID; either may be missing.
    struct UnitChange {
        std::optional<std::string> activeState;
        std::optional<int> mainPid;
    };
    std::string followedPrefix;
    std::function<void(const std::string& unit, const UnitChange& change)> unitChanged;

    // The descriptor to poll for input.
    int fd() const;
    // Handles every reply and signal that has arrived; writes out queued calls.
    void dispatch();

private:
    explicit UserManagerBus(sd_bus* bus);
    struct Call;
    Call newCall(const char* method);
    using Replied = std::function<void(sd_bus_message* reply)>;
    void sendForReply(Call& call, Replied replied);
    void send(Call& call, Failed failed);
    sd_bus* bus_;
};

} // namespace KestruneCore
