#include "ctl/LogCommand.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCtl {

std::vector<std::string> lastLogLines(const std::string& path, std::size_t count) {
    if (count == 0)
        return {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {};
    }
    // Blocks are read from the end towards the start until `count` lines are whole.
    // A line keeps at most its last maxLogLineBytes, and no more than count + 1 such
    // lines' worth is read, so neither memory nor reading grows with the file, however
    // it ends (a crash can leave a long run of NULs).
    std::vector<std::string> newestFirst;
    std::string line;       // the end of the line being gathered
    bool lineHasLf = false; // the last line of a file may lack its LF
    auto prepend = [&](const char* bytes, std::size_t length) {
        std::size_t room = maxLogLineBytes - line.size();
        if (length > room) {
            bytes += length - room;
            length = room;
        }
        line.insert(0, bytes, length);
    };
    auto finish = [&] {
        // Like splitLines: one CR before the LF goes, empty lines are skipped.
        if (lineHasLf && !line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            newestFirst.push_back(std::move(line));
        line.clear();
        lineHasLf = true;
    };
    const auto budget = static_cast<unsigned long long>(count + 1) * maxLogLineBytes;
    unsigned long long scanned = 0;
    auto pos = static_cast<unsigned long long>(st.st_size);
    std::vector<char> block(64 * 1024);
    while (pos > 0 && newestFirst.size() < count && scanned < budget) {
        auto n = static_cast<std::size_t>(std::min<unsigned long long>(block.size(), pos));
        ssize_t got = ::pread(fd, block.data(), n, static_cast<off_t>(pos - n));
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(n))
            break;
        pos -= n;
        scanned += n;
        std::size_t end = n;
        for (std::size_t i = n; i-- > 0 && newestFirst.size() < count;) {
            if (block[i] != '\n')
                continue;
            prepend(block.data() + i + 1, end - i - 1);
            finish();
            end = i;
        }
        if (newestFirst.size() < count)
            prepend(block.data(), end);
    }
    ::close(fd);
    // The file's first line, or the end of a line too long to read back to its start.
    if (newestFirst.size() < count)
        finish();
    std::reverse(newestFirst.begin(), newestFirst.end());
    return newestFirst;
}

int showLog(const Context& ctx, long count) {
    for (const auto& line :
         lastLogLines(KestruneCore::logPath(), static_cast<std::size_t>(std::max(0L, count))))
        ctx.out << line << '\n';
    return exitOk;
}

} // namespace KestruneCtl
