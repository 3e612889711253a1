// The exclusive lock that keeps two passes (a serve loop and a manual run, or two
// runs) from working on the same state at once.
#pragma once

#include "core/OwnedFd.h"

#include <chrono>
#include <optional>
#include <string>

namespace KestruneEngine {

class EngineLock {
public:
    // Takes an exclusive flock on `path` (created if needed), waiting at most `wait`.
    // None when the lock could not be had in time or the file cannot be opened.
    static std::optional<EngineLock> acquire(const std::string& path,
                                             std::chrono::milliseconds wait);

private:
    // Closing the only descriptor releases the flock.
    explicit EngineLock(int fd) : fd_(fd) {}
    KestruneCore::OwnedFd fd_;
};

} // namespace KestruneEngine
