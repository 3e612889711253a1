// The file events waiting on a non-blocking inotify descriptor, read until none is left.
#pragma once

#include <functional>
#include <sys/inotify.h>

namespace KestruneEngine {

void forEachFileEvent(int inotifyFd, const std::function<void(const inotify_event&)>& handle);

} // namespace KestruneEngine
