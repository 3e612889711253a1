// Fetching the icon a running service's web page advertises, in the background, into
// the live icon folder.
#pragma once

#include <cstddef>
#include <string>

namespace KestruneCore {

// Neither the page nor the icon is read beyond this many bytes.
inline constexpr std::size_t maxLiveIconBytes = 1024u * 1024u;

// Starts, at most once per destination for the life of the process, a background
// fetch: the page at `pageURL` (3 seconds at most), then the icon its first <link>
// names or else /favicon.ico on the same host (3 seconds at most), stored at
// `destination` with its bytes unchanged, atomically, and only when it answered
// exactly 200 with a body that loads as an image. Redirects: at most 3, http and
// https only. Returns at once; failures end the attempt silently. Main thread only.
void fetchLiveIcon(const std::string& pageURL, const std::string& destination);

// Blocks until every fetch started so far has ended.
void waitForLiveIconFetches();

} // namespace KestruneCore
