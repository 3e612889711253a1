#include "platform/EngineServeLock.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <fcntl.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

// The whole file. Open-file-description locks belong to the open file, not the
// process, so the engine's children never share them and a second open in the same
// process sees them as any other process would.
struct flock wholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

} // namespace

std::string serveLockPath() {
    return stateFolder() + "/serve.lock";
}

std::optional<EngineServeLock> EngineServeLock::hold(const std::string& path) {
    // Never through a symbolic link: the state folder is not trusted.
    int fd = openLockFile(path);
    if (fd < 0)
        return std::nullopt;
    // Shared: holding it never keeps anything else from running.
    auto lock = wholeFile(F_RDLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return EngineServeLock(fd);
}

bool engineIsServing(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    // An exclusive lock would conflict with any holder's shared one.
    auto probe = wholeFile(F_WRLCK);
    bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

} // namespace KestruneCore
