#include "engine/ChildExits.h"

#include <map>
#include <mutex>
#include <sys/wait.h>

namespace KestruneEngine {

namespace {

std::mutex mutex;
std::map<int, int> reaped; // pid -> wait status

void reapLocked() {
    int raw = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &raw, WNOHANG)) > 0) {
        // Statuses nobody asks for (an app's own children) must not pile up.
        if (reaped.size() > 1000)
            reaped.clear();
        reaped[pid] = raw;
    }
}

} // namespace

void reapChildren() {
    std::lock_guard lock(mutex);
    reapLocked();
}

std::optional<int> takeChildStatus(int pid) {
    std::lock_guard lock(mutex);
    reapLocked();
    auto it = reaped.find(pid);
    if (it == reaped.end())
        return std::nullopt;
    int raw = it->second;
    reaped.erase(it);
    return raw;
}

void forgetChild(int pid) {
    std::lock_guard lock(mutex);
    reaped.erase(pid);
}

} // namespace KestruneEngine
