#include "core/LogCap.h"

#include "core/EditLock.h"
#include "core/FileIO.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace KestruneCore {

namespace {

// Copies `length` bytes of `from` starting at `offset` into `to`, in the kernel where
// it can (a sparse run of NULs costs no memory either way).
bool copyRange(int from, off_t offset, int to, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::copy_file_range(from, &offset, to, nullptr, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
            break;
        if (n <= 0)
            return n == 0;
        length -= static_cast<std::size_t>(n);
    }
    std::vector<char> buf(64 * 1024);
    while (length > 0) {
        ssize_t n = ::pread(from, buf.data(), std::min(buf.size(), length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return false;
            done += w;
        }
        offset += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool atCap(int fd, std::size_t maxBytes, struct stat& st) {
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<unsigned long long>(st.st_size) >= maxBytes;
}

} // namespace

bool capLogFile(const std::string& path, std::size_t maxBytes) {
    struct stat st {};
    // The common case, on every check: one stat and nothing else.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) < maxBytes)
        return false;
    EditLock lock(path, std::chrono::milliseconds(2000));
    if (!lock.held())
        return false;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool rotated = false;
    // Looked at again under the lock: another process may have capped it meanwhile.
    if (atCap(fd, maxBytes, st)) {
        std::string kept = path + ".1";
        std::string folder = parentFolder(kept);
        std::string tmpl = (folder.empty() ? std::string(".") : folder) + "/." +
                           lastPathComponent(kept) + ".tmp-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        int out = ::mkostemp(name.data(), O_CLOEXEC);
        if (out >= 0) {
            ::fchmod(out, 0644);
            auto size = static_cast<std::size_t>(st.st_size);
            bool copied = copyRange(fd, static_cast<off_t>(size - maxBytes), out, maxBytes);
            copied = ::close(out) == 0 && copied;
            if (copied && ::rename(name.data(), kept.c_str()) == 0)
                rotated = ::ftruncate(fd, 0) == 0;
            else
                ::unlink(name.data());
        }
    }
    ::close(fd);
    return rotated;
}

} // namespace KestruneCore
