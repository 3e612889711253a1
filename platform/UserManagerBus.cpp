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
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", name.c_str(), &path) < 0)
        return {};
    std::string out = path;
    std::free(path);
    return out;
}

// What an asynchronous call keeps until its reply: the caller's failure handler.
struct Pending {
    UserManagerBus::Failed failed;
};

int onReply(sd_bus_message* reply, void* data, sd_bus_error*) {
    auto* pending = static_cast<Pending*>(data);
    if (pending->failed && sd_bus_message_is_method_error(reply, nullptr)) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        pending->failed(error && error->message ? error->message : "the manager refused");
    }
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

void UserManagerBus::send(Call& call, Failed failed) {
    if (!call.message)
        return;
    sd_bus_slot* slot = nullptr;
    auto* pending = new Pending{std::move(failed)};
    if (sd_bus_call_async(bus_, &slot, call.message, onReply, pending, 0) < 0) {
        if (pending->failed)
            pending->failed("the manager cannot be reached");
        delete pending;
        return;
    }
    // The bus owns the slot from here; the handler goes with it.
    sd_bus_slot_set_destroy_callback(slot, forget);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
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

void UserManagerBus::stopUnit(const std::string& name) {
    auto call = newCall("StopUnit");
    sd_bus_message_append(call.message, "ss", name.c_str(), "replace");
    send(call, nullptr);
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

std::string UserManagerBus::activeState(const std::string& name) {
    auto path = unitPath(name);
    char* state = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r =
        sd_bus_get_property_string(bus_, destination, path.c_str(), "org.freedesktop.systemd1.Unit",
                                   "ActiveState", &error, &state);
    sd_bus_error_free(&error);
    std::string out = r >= 0 && state ? state : "";
    std::free(state);
    return out;
}

int UserManagerBus::mainPid(const std::string& name) {
    auto path = unitPath(name);
    uint32_t pid = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_get_property_trivial(bus_, destination, path.c_str(),
                                        "org.freedesktop.systemd1.Service", "MainPID", &error, 'u',
                                        &pid);
    sd_bus_error_free(&error);
    return r >= 0 ? static_cast<int>(pid) : 0;
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
