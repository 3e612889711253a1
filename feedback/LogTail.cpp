#include "feedback/LogTail.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool readAt(int fd, std::string& out, off_t from, std::size_t length) {
    out.resize(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, out.data() + done, length - done, from + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break; // the file shrank meanwhile
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return true;
}

// Non-empty lines of `text`, newest last; when `firstIsPartial`, the text before the
// first LF is left out unless `keepPartial`.
std::vector<std::string> linesOf(std::string_view text, bool firstIsPartial, bool keepPartial,
                                 std::size_t count) {
    std::vector<std::string_view> found;
    std::size_t end = text.size();
    while (found.size() < count) {
        std::size_t lf = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
        std::size_t start = lf == std::string_view::npos ? 0 : lf + 1;
        bool isFirst = lf == std::string_view::npos;
        if (end > start && (!isFirst || !firstIsPartial || keepPartial))
            found.push_back(text.substr(start, end - start));
        if (isFirst)
            break;
        end = lf;
    }
    return {found.rbegin(), found.rend()};
}

} // namespace

std::vector<std::string> lastNonEmptyLines(const std::string& path, std::size_t count,
                                           std::size_t maxBytes) {
    if (count == 0)
        return {};
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    auto size = static_cast<std::uintmax_t>(st.st_size);
    std::size_t window = std::min<std::size_t>(64u << 10, maxBytes);
    std::string buf;
    for (;;) {
        std::size_t length = static_cast<std::size_t>(std::min<std::uintmax_t>(window, size));
        off_t from = static_cast<off_t>(size - length);
        if (!readAt(fd.get(), buf, from, length))
            return {};
        bool partial = from > 0;
        bool last = !partial || window >= maxBytes;
        auto lines = linesOf(buf, partial, last, count);
        if (lines.size() >= count || last)
            return lines;
        // Doubling re-reads at most as much as it has read so far.
        window = std::min(window * 2, maxBytes);
    }
}

} // namespace KestruneCore
