#include "core/FileIO.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The temporary-file name writeFileAtomically gives `path`, up to the random part:
// "." + its name + ".tmp-", then six letters or digits.
constexpr std::string_view temporaryMark = ".tmp-";
constexpr std::size_t temporaryRandomLength = 6;

std::string temporaryPrefix(const std::string& path) {
    return "." + lastPathComponent(path) + std::string(temporaryMark);
}

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + temporaryRandomLength || !name.starts_with(prefix))
        return false;
    for (char c : name.substr(prefix.size()))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

// A link's text read from where the link is: relative texts start at its folder.
std::string besideLink(const std::string& link, const std::string& text) {
    if (!text.empty() && text.front() == '/')
        return text;
    std::string folder = parentFolder(link);
    if (folder.empty())
        return text;
    return folder == "/" ? "/" + text : folder + "/" + text;
}

} // namespace

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    // Asked before opening: opening a device can act on it (a modem line, a watchdog),
    // and a FIFO would block. The descriptor is asked again, in case the path was
    // swapped in between.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode) ||
        static_cast<unsigned long long>(before.st_size) > limit)
        return std::nullopt;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > limit) {
            ::close(fd);
            return std::nullopt;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> readUtf8File(const std::string& path, std::size_t limit) {
    auto bytes = readFile(path, limit);
    if (!bytes || !isValidUtf8(*bytes))
        return std::nullopt;
    return bytes;
}

std::optional<std::string> readFileTail(const std::string& path, std::size_t maxBytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    auto size = static_cast<unsigned long long>(st.st_size);
    off_t start = size > maxBytes ? static_cast<off_t>(size - maxBytes) : 0;
    std::string out;
    char buf[65536];
    off_t pos = start;
    while (out.size() < maxBytes) {
        std::size_t want = std::min(sizeof buf, maxBytes - out.size());
        ssize_t n = ::pread(fd, buf, want, pos);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        pos += n;
    }
    ::close(fd);
    return out;
}

bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned min;
        unsigned cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view content) {
    int ignored = 0;
    return writeFileAtomically(path, content, ignored);
}

namespace {

// The temporary file writeFileAtomically fills beside `path`: its name, or none (its
// error in `errorNumber`) when it could not be made and filled.
std::optional<std::string> writtenTemporary(const std::string& path, std::string_view content,
                                            int& errorNumber) {
    errorNumber = 0;
    std::string folder = parentFolder(path);
    std::string tmpl =
        (folder.empty() ? std::string(".") : folder) + "/" + temporaryPrefix(path) + "XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        errorNumber = errno;
        return std::nullopt;
    }
    // mkostemp creates 0600; our files are ordinary user files.
    ::fchmod(fd, 0644);
    bool ok = writeAll(fd, content);
    if (!ok)
        errorNumber = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        errorNumber = errno;
    }
    if (!ok) {
        ::unlink(name.data());
        return std::nullopt;
    }
    return std::string(name.data());
}

} // namespace

bool writeFileAtomically(const std::string& path, std::string_view content, int& errorNumber) {
    auto written = writtenTemporary(path, content, errorNumber);
    if (!written)
        return false;
    if (::rename(written->c_str(), path.c_str()) == 0)
        return true;
    errorNumber = errno;
    ::unlink(written->c_str());
    return false;
}

namespace {

// Whether no other process has the file open: a write lease is granted only then. Taken
// and given back at once; an open in between (only another writer of the spare could)
// merely waits for the release, and its notice comes as SIGURG, which is ignored.
bool openHereOnly(int fd) {
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0 || ::fcntl(fd, F_SETLEASE, F_WRLCK) != 0)
        return false;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return true;
}

// Fills the file the last swap put aside (the spare) with `content`, when that is safe:
// a regular file of ours with no other name, that nobody has open. A reader still
// holding it opened it while it was the live file, and must never see it change;
// nobody opens it by its spare name but a writer.
bool refilledSpare(const std::string& spare, std::string_view content) {
    int fd = ::open(spare.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && openHereOnly(fd);
    if (ok && (st.st_mode & 07777) != 0644)
        ::fchmod(fd, 0644);
    // Written over in place, then cut to length: a file emptied first would be written
    // out at its close by ext4, as a rename over it would.
    for (std::size_t at = 0; ok && at < content.size();) {
        ssize_t n = ::pwrite(fd, content.data() + at, content.size() - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        at += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok && static_cast<std::size_t>(st.st_size) > content.size())
        ok = ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
    return ::close(fd) == 0 && ok;
}

} // namespace

bool rewriteFileAtomically(const std::string& path, std::string_view content) {
    // The old content is kept under the spare name and refilled at the next write, so
    // a file rewritten every few seconds never costs the file system a new inode
    // (which on ext4 grows dearer with every recently freed one it has to pass over).
    std::string folder = parentFolder(path);
    std::string spare =
        (folder.empty() ? std::string(".") : folder) + "/." + lastPathComponent(path) + ".spare";
    if (refilledSpare(spare, content)) {
        if (::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0)
            return true;
        // No file yet: the spare becomes it.
        if (errno == ENOENT && ::rename(spare.c_str(), path.c_str()) == 0)
            return true;
    }
    int errorNumber = 0;
    auto written = writtenTemporary(path, content, errorNumber);
    if (!written)
        return false;
    // Swapped, the old content is left under the temporary name and goes with it.
    if (::renameat2(AT_FDCWD, written->c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(written->c_str());
        return true;
    }
    // No file yet, or a file system that cannot swap: an ordinary rename.
    if (::rename(written->c_str(), path.c_str()) == 0)
        return true;
    ::unlink(written->c_str());
    return false;
}

std::optional<std::string> writeTarget(const std::string& path, int& errorNumber) {
    errorNumber = 0;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        std::string resolved = real;
        std::free(real);
        return resolved;
    }
    if (errno != ENOENT) {
        errorNumber = errno;
        return std::nullopt;
    }
    // Dangling: follow the chain by hand to the name that does not exist yet.
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        if (::lstat(at.c_str(), &st) != 0)
            return at;
        if (!S_ISLNK(st.st_mode))
            return at; // it appeared meanwhile
        char text[4096];
        ssize_t n = ::readlink(at.c_str(), text, sizeof text);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) {
            errorNumber = n < 0 ? errno : ENAMETOOLONG;
            return std::nullopt;
        }
        at = besideLink(at, std::string(text, static_cast<std::size_t>(n)));
    }
    errorNumber = ELOOP;
    return std::nullopt;
}

bool writeThroughLinkAtomically(const std::string& path, std::string_view content) {
    int ignored = 0;
    return writeThroughLinkAtomically(path, content, ignored);
}

bool writeThroughLinkAtomically(const std::string& path, std::string_view content,
                                int& errorNumber) {
    auto target = writeTarget(path, errorNumber);
    return target && writeFileAtomically(*target, content, errorNumber);
}

int removeStaleTemporaries(const std::string& path, std::chrono::seconds olderThan) {
    std::string folder = parentFolder(path);
    int dirFd = ::open(folder.empty() ? "." : folder.c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (dirFd < 0)
        return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    const std::string prefix = temporaryPrefix(path);
    const auto before = std::chrono::system_clock::now() - olderThan;
    const auto cutoff = std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch());
    std::vector<std::string> stale;
    while (struct dirent* e = ::readdir(dir)) {
        if (!isTemporaryName(e->d_name, prefix))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_mtim.tv_sec < cutoff.count())
            stale.emplace_back(e->d_name);
    }
    int removed = 0;
    for (const auto& name : stale)
        removed += ::unlinkat(dirFd, name.c_str(), 0) == 0;
    ::closedir(dir);
    return removed;
}

int openLockFile(const std::string& path) {
    const int flags = O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0)
        fd = ::open(path.c_str(), flags, 0644);
    return fd;
}

bool makeFolders(const std::string& path) {
    if (path.empty())
        return false;
    if (isDirectory(path))
        return true;
    std::string parent = parentFolder(path);
    if (!parent.empty() && parent != path && !isDirectory(parent))
        makeFolders(parent);
    if (::mkdir(path.c_str(), 0755) == 0)
        return true;
    return errno == EEXIST && isDirectory(path);
}

std::string parentFolder(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos || p == "/")
        return p;
    return p.substr(slash + 1);
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t lf = text.find('\n', start);
        bool last = lf == std::string_view::npos;
        std::size_t end = last ? text.size() : lf;
        std::size_t stop = end;
        if (!last && stop > start && text[stop - 1] == '\r')
            --stop;
        if (stop > start)
            lines.emplace_back(text.substr(start, stop - start));
        if (last)
            break;
        start = lf + 1;
    }
    return lines;
}

std::string singleLineField(std::string text) {
    for (auto& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

bool appendToFile(const std::string& path, std::string_view data) {
    // Never through a symbolic link (it could point anywhere), never into a FIFO or a
    // device, and never waiting for one to open.
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == static_cast<ssize_t>(data.size());
}

std::vector<std::string> splitFields(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.emplace_back(line.substr(start));
            return fields;
        }
        fields.emplace_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace KestruneCore
