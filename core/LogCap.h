// Keeps an append-only log file from growing without bound: past its cap, its newest
// bytes move to one ".1" file beside it and the log starts again empty.
#pragma once

#include <cstddef>
#include <string>

namespace KestruneCore {

// If the regular file at `path` holds `maxBytes` or more, copies its last `maxBytes`
// to `path` + ".1" (atomically, replacing an older one) and truncates it to nothing,
// under the file's edit lock. Truncating in place rather than renaming is what lets a
// process that still holds the log open with O_APPEND (a running start command) go on
// writing to the capped file: its next write lands at the new end. Lines written
// between the copy and the truncation are lost. Whether it rotated.
bool capLogFile(const std::string& path, std::size_t maxBytes);

} // namespace KestruneCore
