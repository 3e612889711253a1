// Whether a keep-alive engine is serving, learned from a lock it holds for as long as
// it serves. Asking needs no child process and never takes the lock, so it cannot
// delay the engine; a killed engine holds nothing, so the answer is never stale.
#pragma once

#include "core/OwnedFd.h"

#include <optional>
#include <string>

namespace KestruneCore {

// The lock file in the state folder.
std::string serveLockPath();

class EngineServeLock {
public:
    // Holds a shared open-file-description lock on `path` (created if needed) until
    // destroyed. None when the file cannot be opened or locked.
    static std::optional<EngineServeLock> hold(const std::string& path = serveLockPath());

private:
    // The last descriptor of the open file releases its lock.
    explicit EngineServeLock(int fd) : fd_(fd) {}
    OwnedFd fd_;
};

// True while some process holds the serve lock on `path`. Only asks (F_OFD_GETLK);
// creates nothing.
bool engineIsServing(const std::string& path = serveLockPath());

} // namespace KestruneCore
