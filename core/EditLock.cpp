#include "core/EditLock.h"

#include "core/FileIO.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace KestruneCore {

std::string editLockPath(const std::string& path) {
    std::string folder = parentFolder(path);
    return (folder.empty() ? std::string(".") : folder) + "/." + lastPathComponent(path) + ".lock";
}

EditLock::EditLock(const std::string& path, std::chrono::milliseconds wait) {
    int fd = openLockFile(editLockPath(path));
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_.reset(fd);
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error_ = std::strerror(errno);
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            timedOut_ = true;
            break;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    ::close(fd);
}

} // namespace KestruneCore
