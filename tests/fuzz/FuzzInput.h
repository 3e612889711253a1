// What every fuzz target shares: the input as text, and a private folder (also HOME,
// so nothing can reach the real home folder) to put the input in a file for readers
// that take a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace KestruneFuzz {

inline std::string_view text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A folder made once per process; HOME points at it from then on.
inline const std::string& folder() {
    static const std::string path = [] {
        char name[] = "/tmp/kestrune-fuzz-XXXXXX";
        std::string made = ::mkdtemp(name) ? name : "/tmp";
        ::setenv("HOME", made.c_str(), 1);
        return made;
    }();
    return path;
}

// Writes the bytes to folder() + "/" + relative (its folder must exist) and gives
// the full path.
inline std::string inputFile(const std::string& relative, std::string_view bytes) {
    std::string path = folder() + "/" + relative;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        for (std::string_view rest = bytes; !rest.empty();) {
            ssize_t n = ::write(fd, rest.data(), rest.size());
            if (n <= 0)
                break;
            rest.remove_prefix(static_cast<size_t>(n));
        }
        ::close(fd);
    }
    return path;
}

} // namespace KestruneFuzz
