#include "core/OwnedFd.h"

#include <unistd.h>

namespace KestruneCore {

void OwnedFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

} // namespace KestruneCore
