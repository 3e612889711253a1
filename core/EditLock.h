// The exclusive advisory lock every read-modify-write of a shared file holds, so two
// editors (the tray program, kestrunectl, a script) never save over each other's
// change. Readers take no lock: writes stay atomic renames.
#pragma once

#include "core/OwnedFd.h"

#include <chrono>
#include <string>

namespace KestruneCore {

// How long an editor waits for another one to finish before giving up.
inline constexpr std::chrono::milliseconds defaultEditLockWait{10000};

// The lock file beside `path`: ".<name>.lock" in the same folder.
std::string editLockPath(const std::string& path);

class EditLock {
public:
    // Takes flock(LOCK_EX) on the lock file beside `path`, creating it (never through
    // a symbolic link), waiting at most `wait`. Check held() and error().
    explicit EditLock(const std::string& path,
                      std::chrono::milliseconds wait = defaultEditLockWait);
    EditLock(const EditLock&) = delete;
    EditLock& operator=(const EditLock&) = delete;

    bool held() const { return bool(fd_); }
    bool timedOut() const { return timedOut_; }
    // Why it is not held: the system's text for the failing call, or empty.
    const std::string& error() const { return error_; }

private:
    OwnedFd fd_;
    bool timedOut_ = false;
    std::string error_;
};

} // namespace KestruneCore
