#include "platform/RunningApps.h"

#include "core/FileIO.h"
#include "platform/BundleInfo.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

constexpr std::size_t maxEnvironBytes = 1024u * 1024u;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::optional<std::string> readLink(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf)
        return std::nullopt;
    std::string target(buf, static_cast<std::size_t>(n));
    // A program replaced on disk (an update) is still the same app while it runs.
    constexpr std::string_view deleted = " (deleted)";
    if (endsWith(target, deleted))
        target.resize(target.size() - deleted.size());
    return target;
}

// One process of ours, with its environment read only when asked for.
struct ProcessView {
    std::string dir;
    pid_t pid = 0;
    std::string executable;
    bool environRead = false;
    std::optional<std::string> desktopFile;
    std::optional<std::string> appImage;
    uid_t me = 0;

    // Whether the process belongs to the current user; asked only of processes that
    // matter, as each question costs a system call.
    bool ours() const {
        struct stat st {};
        return ::stat(dir.c_str(), &st) == 0 && st.st_uid == me;
    }

    void readEnviron() {
        if (environRead)
            return;
        environRead = true;
        auto env = readFile(dir + "/environ", maxEnvironBytes);
        if (!env)
            return;
        std::string_view rest(*env);
        while (!rest.empty()) {
            auto end = rest.find('\0');
            std::string_view var = rest.substr(0, end);
            auto take = [&](std::string_view key, std::optional<std::string>& into) {
                if (var.size() > key.size() && var.substr(0, key.size()) == key)
                    into = std::string(var.substr(key.size()));
            };
            take("GIO_LAUNCHED_DESKTOP_FILE=", desktopFile);
            take("APPIMAGE=", appImage);
            if (end == std::string_view::npos)
                break;
            rest.remove_prefix(end + 1);
        }
    }
};

// Calls `visit` for each process whose executable can be read until it returns true.
template <typename Visit> bool forEachProcess(const std::string& procRoot, Visit&& visit) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(procRoot.c_str()), ::closedir);
    if (!dir)
        return false;
    const uid_t me = ::getuid();
    while (dirent* d = ::readdir(dir.get())) {
        const char* name = d->d_name;
        if (*name < '1' || *name > '9')
            continue;
        bool numeric = true;
        for (const char* c = name; *c; ++c)
            numeric = numeric && *c >= '0' && *c <= '9';
        if (!numeric)
            continue;
        ProcessView p;
        p.dir = procRoot + "/" + name;
        p.me = me;
        auto exe = readLink(p.dir + "/exe");
        if (!exe)
            continue;
        p.pid = static_cast<pid_t>(std::strtol(name, nullptr, 10));
        p.executable = std::move(*exe);
        if (visit(p))
            return true;
    }
    return false;
}

std::optional<std::string> enclosingAppBundle(const std::string& executable) {
    std::string macos = parentFolder(executable);
    if (lastPathComponent(macos) != "MacOS")
        return std::nullopt;
    std::string contents = parentFolder(macos);
    if (lastPathComponent(contents) != "Contents")
        return std::nullopt;
    std::string bundle = parentFolder(contents);
    if (!endsWith(bundle, ".app"))
        return std::nullopt;
    return bundle;
}

} // namespace

bool isAppImage(const std::string& path) {
    // ELF files whose padding holds "AI" and the AppImage type (1 or 2) at offset 8.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    unsigned char head[11] = {};
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ssize_t n = regular ? ::pread(fd, head, sizeof head, 0) : -1;
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof head) && head[0] == 0x7F && head[1] == 'E' &&
           head[2] == 'L' && head[3] == 'F' && head[8] == 'A' && head[9] == 'I' &&
           (head[10] == 1 || head[10] == 2);
}

std::vector<std::string> bundlePathsOf(const std::string& executable,
                                       const std::optional<std::string>& desktopFile,
                                       const std::optional<std::string>& appImage) {
    std::vector<std::string> paths{executable};
    if (auto bundle = enclosingAppBundle(executable))
        paths.push_back(*bundle);
    if (desktopFile)
        paths.push_back(*desktopFile);
    if (appImage)
        paths.push_back(*appImage);
    return paths;
}

std::vector<RunningApp> runningApplications(const std::string& procRoot) {
    std::vector<RunningApp> apps;
    forEachProcess(procRoot, [&](ProcessView& p) {
        if (!p.ours())
            return false;
        p.readEnviron();
        apps.push_back({p.pid, bundlePathsOf(p.executable, p.desktopFile, p.appImage)});
        return false;
    });
    return apps;
}

namespace {

template <typename OnMatch>
void matchProcesses(const std::string& path, const std::string& procRoot, OnMatch&& onMatch) {
    if (path.empty())
        return;
    std::optional<std::string> program;
    const bool desktop = isDesktopFile(path);
    if (desktop)
        program = desktopExecProgram(path);
    // Environments are read only when they can name the path: GIO names .desktop files,
    // an AppImage's runtime names the AppImage. Most paths are neither, which spares a
    // read of every process's environment.
    const bool appImage = !desktop && isAppImage(path);
    forEachProcess(procRoot, [&](ProcessView& p) {
        bool match = p.executable == path || (program && p.executable == *program) ||
                     enclosingAppBundle(p.executable) == path;
        if (!match && (desktop || appImage) && p.ours()) {
            p.readEnviron();
            match = (desktop && p.desktopFile == path) || (appImage && p.appImage == path);
        }
        return match && p.ours() && onMatch(p.pid);
    });
}

} // namespace

std::vector<pid_t> processesRunning(const std::string& path, const std::string& procRoot) {
    std::vector<pid_t> pids;
    matchProcesses(path, procRoot, [&](pid_t pid) {
        pids.push_back(pid);
        return false;
    });
    return pids;
}

bool isBundleRunning(const std::string& path, const std::string& procRoot) {
    bool found = false;
    matchProcesses(path, procRoot, [&](pid_t) { return found = true; });
    return found;
}

} // namespace KestruneCore
