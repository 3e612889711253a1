#include "engine/EngineLock.h"

#include "core/FileIO.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace KestruneEngine {

std::optional<EngineLock> EngineLock::acquire(const std::string& path,
                                              std::chrono::milliseconds wait) {
    // Never through a symbolic link: the state folder is not trusted.
    int fd = KestruneCore::openLockFile(path);
    if (fd < 0)
        return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return EngineLock(fd);
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        // The other holder is a pass that ends within seconds; a short sleep keeps
        // this from spinning without needing a timer for a rare case.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return std::nullopt;
}

} // namespace KestruneEngine
