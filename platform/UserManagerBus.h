// The user's systemd manager over D-Bus (sd-bus): transient units and scopes started,
// stopped, killed and reset with asynchronous calls, so that a unit slow to stop
// never makes the caller wait. Replies and the manager's unit signals are read when
// the caller's loop finds fd() readable and calls dispatch(). Property reads are
// blocking but answered by the manager at once (they never wait for a job).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct sd_bus;

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
    void stopUnit(const std::string& name);
    void killUnit(const std::string& name, int signal);
    void resetFailedUnit(const std::string& name);

    // "active", "activating", "deactivating", "inactive", "failed"…; "" when the
    // manager cannot be asked.
    std::string activeState(const std::string& name);
    // The main process of a service unit, 0 when none.
    int mainPid(const std::string& name);

    // Unit signals: a job ended (unit, result) or a unit was unloaded.
    std::function<void(const std::string& unit, const std::string& result)> jobDone;
    std::function<void(const std::string& unit)> unitGone;

    // The descriptor to poll for input.
    int fd() const;
    // Handles every reply and signal that has arrived; writes out queued calls.
    void dispatch();

private:
    explicit UserManagerBus(sd_bus* bus);
    struct Call;
    Call newCall(const char* method);
    void send(Call& call, Failed failed);
    sd_bus* bus_;
};

} // namespace KestruneCore
