#include "engine/FileEvents.h"

#include <unistd.h>

namespace KestruneEngine {

void forEachFileEvent(int inotifyFd, const std::function<void(const inotify_event&)>& handle) {
    alignas(inotify_event) char buf[8192];
    for (;;) {
        ssize_t n = ::read(inotifyFd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (char* p = buf; p < buf + n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            handle(*ev);
        }
    }
}

} // namespace KestruneEngine
