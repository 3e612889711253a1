#include "platform/UserManagerBus.h"

#include <cstdlib>
#include <poll.h>
#include <string_view>
#include <systemd/sd-bus.h>

namespace KestruneCore {

namespace {

constexpr const char* destination = "org.freedesktop.systemd1";
constexpr const char* managerPath = "/org/freedesktop/systemd1";
constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* unitPathPrefix = "/org/freedesktop/systemd1/unit";
// Property reads are answered at once; a manager that does not is treated as absent.
constexpr uint64_t readTimeoutUsec = 2'000'000;

// A path is put into a bus address as it is only when it needs no escaping.
bool plainPath(std::string_view path) {
    for (char c : path) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '/' || c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return !path.empty() && path.front() == '/';
}

sd_bus* openPrivateSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !plainPath(runtime))
        return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return nullptr;
    std::string address = "unix:path=" + std::string(runtime) + "/systemd/private";
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

std::string unitPath(const std::string& name) {
    char* path = nullptr;
    if (sd_bus_path_encode(unitPathPrefix, name.c_str(), &path) < 0)
        return {};
    std::string out = path;
    std::free(path);
    return out;
}

// What an asynchronous call keeps until its reply: what to do with it.
struct Pending {
    std::function<void(sd_bus_message* reply)> replied;
};

int onReply(sd_bus_message* reply, void* data, sd_bus_error*) {
    auto* pending = static_cast<Pending*>(data);
    if (pending->replied)
        pending->replied(reply);
    return 0;
}

void forget(void* data) {
    delete static_cast<Pending*>(data);
}

int onJobRemoved(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<UserManagerBus*>(data);
    uint32_t id = 0;
    const char *job = nullptr, *unit = nullptr, *result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &job, &unit, &result) >= 0 && self->jobDone)
        self->jobDone(unit, result);
    return 0;
}

int onUnitRemoved(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<UserManagerBus*>(data);
    const char *unit = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &unit, &path) >= 0 && self->unitGone)
        self->unitGone(unit);
    return 0;
}

// Appends one (sv) property whose value is a single basic value.
template <class T> void property(sd_bus_message* m, const char* name, const char* type, T value) {
    sd_bus_message_append(m, "(sv)", name, type, value);
}

void stringsProperty(sd_bus_message* m, const char* name, const std::vector<std::string>& items) {
    sd_bus_message_open_container(m, 'r', "sv");
    sd_bus_message_append(m, "s", name);
    sd_bus_message_open_container(m, 'v', "as");
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& item : items)
        sd_bus_message_append(m, "s", item.c_str());
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
}

// Reads a PropertiesChanged body's changed values, keeping the two kept of a unit.
void readChanges(sd_bus_message* m, UserManagerBus::UnitChange& change) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0)
            return;
        std::string_view key = name;
        if (key == "ActiveState") {
            const char* state = nullptr;
            if (sd_bus_message_read(m, "v", "s", &state) < 0)
                return;
            change.activeState = state;
        } else if (key == "MainPID") {
            uint32_t pid = 0;
            if (sd_bus_message_read(m, "v", "u", &pid) < 0)
                return;
            change.mainPid = static_cast<int>(pid);
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return;
        }
        if (sd_bus_message_exit_container(m) < 0)
            return;
    }
}

int onPropertiesChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<UserManagerBus*>(data);
    if (!self->unitChanged)
        return 0;
    char* unit = nullptr;
    // Every unit of the manager reports here; only the followed ones are read further.
    if (sd_bus_path_decode(sd_bus_message_get_path(m), unitPathPrefix, &unit) <= 0)
        return 0;
    std::string name = unit;
    std::free(unit);
    if (name.rfind(self->followedPrefix, 0) != 0)
        return 0;
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0)
        return 0;
    UserManagerBus::UnitChange change;
    readChanges(m, change);
    if (change.activeState || change.mainPid)
        self->unitChanged(name, change);
    return 0;
}

} // namespace

struct UserManagerBus::Call {
    sd_bus_message* message = nullptr;
    ~Call() { sd_bus_message_unref(message); }
};

UserManagerBus::UserManagerBus(sd_bus* bus) : bus_(bus) {
    sd_bus_set_method_call_timeout(bus_, readTimeoutUsec);
    // The manager sends job and unit signals only to subscribers; on its private
    // socket there is no bus daemon, so the matches stay local.
    sd_bus_match_signal(bus_, nullptr, nullptr, managerPath, managerInterface, "JobRemoved",
                        onJobRemoved, this);
    sd_bus_match_signal(bus_, nullptr, nullptr, managerPath, managerInterface, "UnitRemoved",
                        onUnitRemoved, this);
    // A unit's state and main process as they change, so that nobody has to ask.
    sd_bus_add_match(bus_, nullptr,
                     "type='signal',interface='org.freedesktop.DBus.Properties',"
                     "member='PropertiesChanged',path_namespace='/org/freedesktop/systemd1/unit'",
                     onPropertiesChanged, this);
    sd_bus_call_method_async(bus_, nullptr, destination, managerPath, managerInterface, "Subscribe",
                             nullptr, nullptr, "");
}

UserManagerBus::~UserManagerBus() {
    // Calls made just before the end (a single pass) still reach the manager.
    sd_bus_flush_close_unref(bus_);
}

std::unique_ptr<UserManagerBus> UserManagerBus::connect() {
    sd_bus* bus = openPrivateSocket();
    if (!bus && sd_bus_open_user(&bus) < 0)
        return nullptr;
    std::unique_ptr<UserManagerBus> manager(new UserManagerBus(bus));
    // Only a manager that answers counts as one.
    char* version = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_get_property_string(bus, destination, managerPath, managerInterface, "Version",
                                       &error, &version);
    sd_bus_error_free(&error);
    std::free(version);
    if (r < 0)
        return nullptr;
    return manager;
}

UserManagerBus::Call UserManagerBus::newCall(const char* method) {
    Call call;
    sd_bus_message_new_method_call(bus_, &call.message, destination, managerPath, managerInterface,
                                   method);
    return call;
}

void UserManagerBus::sendForReply(Call& call, Replied replied) {
    if (!call.message)
        return replied(nullptr);
    sd_bus_slot* slot = nullptr;
    auto* pending = new Pending{std::move(replied)};
    if (sd_bus_call_async(bus_, &slot, call.message, onReply, pending, 0) < 0) {
        pending->replied(nullptr);
        delete pending;
        return;
    }
    // The bus owns the slot from here; the handler goes with it.
    sd_bus_slot_set_destroy_callback(slot, forget);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

void UserManagerBus::send(Call& call, Failed failed) {
    if (!failed)
        return sendForReply(call, nullptr);
    sendForReply(call, [failed = std::move(failed)](sd_bus_message* reply) {
        if (!reply)
            return failed("the manager cannot be reached");
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            const sd_bus_error* error = sd_bus_message_get_error(reply);
            failed(error && error->message ? error->message : "the manager refused");
        }
    });
}

void UserManagerBus::startService(const TransientService& unit, Failed failed) {
    auto call = newCall("StartTransientUnit");
    sd_bus_message* m = call.message;
    if (!m)
        return failed("the manager cannot be reached");
    sd_bus_message_append(m, "ss", unit.name.c_str(), "fail");
    sd_bus_message_open_container(m, 'a', "(sv)");
    property(m, "Description", "s", unit.description.c_str());
    property(m, "RemainAfterExit", "b", int(unit.remainAfterExit));
    property(m, "TimeoutStopUSec", "t", uint64_t(unit.stopTimeoutSeconds) * 1'000'000);
    property(m, "CollectMode", "s", "inactive-or-failed");
    stringsProperty(m, "Environment", unit.environment);
    sd_bus_message_open_container(m, 'r', "sv");
    sd_bus_message_append(m, "s", "ExecStart");
    sd_bus_message_open_container(m, 'v', "a(sasb)");
    sd_bus_message_open_container(m, 'a', "(sasb)");
    sd_bus_message_open_container(m, 'r', "sasb");
    sd_bus_message_append(m, "s", unit.argv.empty() ? "" : unit.argv[0].c_str());
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& arg : unit.argv)
        sd_bus_message_append(m, "s", arg.c_str());
    sd_bus_message_close_container(m);
    sd_bus_message_append(m, "b", 0);
    for (int i = 0; i < 4; ++i)
        sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_append(m, "a(sa(sv))", 0);
    send(call, std::move(failed));
}

void UserManagerBus::startScope(const std::string& name, const std::string& slice,
                                const std::vector<int>& pids, Failed failed) {
    auto call = newCall("StartTransientUnit");
    sd_bus_message* m = call.message;
    if (!m)
        return failed("the manager cannot be reached");
    sd_bus_message_append(m, "ss", name.c_str(), "fail");
    sd_bus_message_open_container(m, 'a', "(sv)");
    property(m, "Slice", "s", slice.c_str());
    property(m, "CollectMode", "s", "inactive-or-failed");
    sd_bus_message_open_container(m, 'r', "sv");
    sd_bus_message_append(m, "s", "PIDs");
    sd_bus_message_open_container(m, 'v', "au");
    sd_bus_message_open_container(m, 'a', "u");
    for (int pid : pids)
        sd_bus_message_append(m, "u", uint32_t(pid));
    for (int i = 0; i < 3; ++i)
        sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_append(m, "a(sa(sv))", 0);
    send(call, std::move(failed));
}

void UserManagerBus::stopUnit(const std::string& name, Failed failed) {
    auto call = newCall("StopUnit");
    sd_bus_message_append(call.message, "ss", name.c_str(), "replace");
    send(call, std::move(failed));
}

void UserManagerBus::killUnit(const std::string& name, int signal) {
    auto call = newCall("KillUnit");
    sd_bus_message_append(call.message, "ssi", name.c_str(), "all", signal);
    send(call, nullptr);
}

void UserManagerBus::resetFailedUnit(const std::string& name) {
    auto call = newCall("ResetFailedUnit");
    sd_bus_message_append(call.message, "s", name.c_str());
    send(call, nullptr);
}

std::optional<std::vector<UserManagerBus::ListedUnit>>
UserManagerBus::listUnits(const std::string& pattern) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r =
        sd_bus_call_method(bus_, destination, managerPath, managerInterface, "ListUnitsByPatterns",
                           &error, &reply, "asas", 0, 1, pattern.c_str());
    sd_bus_error_free(&error);
    if (r < 0)
        return std::nullopt;
    std::vector<ListedUnit> units;
    if (sd_bus_message_enter_container(reply, 'a', "(ssssssouso)") >= 0) {
        const char *name = nullptr, *active = nullptr;
        while (sd_bus_message_read(reply, "(ssssssouso)", &name, nullptr, nullptr, &active, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr) > 0)
            units.push_back({name, active});
    }
    sd_bus_message_unref(reply);
    return units;
}

void UserManagerBus::readMainPid(const std::string& name, std::function<void(int pid)> read) {
    Call call;
    auto path = unitPath(name);
    sd_bus_message_new_method_call(bus_, &call.message, destination, path.c_str(),
                                   "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(call.message, "ss", "org.freedesktop.systemd1.Service", "MainPID");
    sendForReply(call, [read = std::move(read)](sd_bus_message* reply) {
        uint32_t pid = 0;
        if (reply && !sd_bus_message_is_method_error(reply, nullptr) &&
            sd_bus_message_read(reply, "v", "u", &pid) < 0)
            pid = 0;
        read(static_cast<int>(pid));
    });
}

int UserManagerBus::fd() const {
    return sd_bus_get_fd(bus_);
}

void UserManagerBus::dispatch() {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    // A call too big for the socket at once waits here; the manager reads promptly.
    sd_bus_flush(bus_);
}

} // namespace KestruneCore
