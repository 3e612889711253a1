#include "engine/StateCache.h"

#include "core/FileIO.h"
#include "engine/FileEvents.h"

#include <cerrno>
#include <chrono>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneEngine {

namespace {

// State files are a line or two, the problems file a line per problem; anything
// larger is read from the file each time, never kept.
constexpr std::size_t largestKept = 1024 * 1024;
// A safety net for an event missed: everything is read again this often.
constexpr double forgetEverySeconds = 300;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StateCache* instance = nullptr;

} // namespace

StateCache* StateCache::active() {
    return instance;
}

void StateCache::activate(const std::string& folder) {
    if (!instance)
        instance = new StateCache(folder); // lives as long as the process
}

StateCache::StateCache(std::string folder)
    : folder_(std::move(folder)), inotifyFd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    watch();
}

void StateCache::watch() {
    // Another process's write ends with a rename (IN_MOVED_TO) or a close after
    // writing; a back-off reset removes files.
    watch_ = inotifyFd_ < 0 ? -1
                            : ::inotify_add_watch(inotifyFd_, folder_.c_str(),
                                                  IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE |
                                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    known_.clear();
    inodes_.clear();
    ownEvents_.clear();
    forgottenAt_ = steadySeconds();
}

std::string StateCache::nameOf(const std::string& path) const {
    if (path.size() <= folder_.size() + 1 || path.compare(0, folder_.size(), folder_) != 0 ||
        path[folder_.size()] != '/')
        return {};
    std::string name = path.substr(folder_.size() + 1);
    if (name.front() == '.' || name.find('/') != std::string::npos)
        return {};
    return name;
}

bool StateCache::covers(const std::string& path) const {
    return !nameOf(path).empty();
}

void StateCache::refresh() {
    std::lock_guard lock(mutex_);
    if (watch_ < 0) {
        // The folder was gone; until it is watched again nothing is kept.
        watch();
        return;
    }
    bool lost = false;
    forEachFileEvent(inotifyFd_, [&](const inotify_event& ev) {
        if (ev.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            lost = true;
            return;
        }
        if (!ev.len)
            return;
        std::string name(ev.name);
        if (auto own = ownEvents_.find(name); own != ownEvents_.end()) {
            if (--own->second == 0)
                ownEvents_.erase(own);
            return;
        }
        known_.erase(name);
        inodes_.erase(name);
    });
    if (lost) {
        if (watch_ >= 0)
            ::inotify_rm_watch(inotifyFd_, watch_);
        watch();
    } else if (steadySeconds() - forgottenAt_ >= forgetEverySeconds) {
        known_.clear();
        inodes_.clear();
        forgottenAt_ = steadySeconds();
    }
}

void StateCache::forget() {
    std::lock_guard lock(mutex_);
    known_.clear();
    inodes_.clear();
}

unsigned long long StateCache::inode(const std::string& path) {
    std::string name = nameOf(path);
    std::lock_guard lock(mutex_);
    if (!name.empty() && watch_ >= 0)
        if (auto it = inodes_.find(name); it != inodes_.end())
            return it->second;
    struct stat st {};
    auto found = ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
    if (!name.empty() && watch_ >= 0)
        inodes_[name] = found;
    return found;
}

std::optional<std::string> StateCache::read(const std::string& path) {
    std::string name = nameOf(path);
    std::lock_guard lock(mutex_);
    if (name.empty() || watch_ < 0)
        return KestruneCore::readFile(path, largestKept);
    if (auto it = known_.find(name); it != known_.end())
        return it->second;
    auto content = KestruneCore::readFile(path, largestKept);
    // Kept as missing only when it is: a large or odd file is read each time.
    if (content || !KestruneCore::fileExists(path))
        known_[name] = content;
    return content;
}

bool StateCache::write(const std::string& path, std::string_view content, bool often) {
    std::string name = nameOf(path);
    std::lock_guard lock(mutex_);
    bool ok = often ? KestruneCore::rewriteFileAtomically(path, content)
                    : KestruneCore::writeFileAtomically(path, content);
    if (name.empty() || watch_ < 0)
        return ok;
    inodes_.erase(name);
    if (ok) {
        // One event follows: the rename (or swap) that put the file in place.
        ++ownEvents_[name];
        if (content.size() <= largestKept)
            known_[name] = std::string(content);
        else
            known_.erase(name);
    } else {
        known_.erase(name);
    }
    return ok;
}

void StateCache::remove(const std::string& path) {
    std::string name = nameOf(path);
    std::lock_guard lock(mutex_);
    if (name.empty() || watch_ < 0) {
        ::unlink(path.c_str());
        return;
    }
    auto it = known_.find(name);
    if (it != known_.end() && !it->second)
        return; // known to be missing: nothing to do, no call to make
    inodes_.erase(name);
    if (::unlink(path.c_str()) == 0) {
        ++ownEvents_[name];
        known_[name] = std::nullopt;
    } else if (errno == ENOENT) {
        known_[name] = std::nullopt;
    } else {
        known_.erase(name);
    }
}

} // namespace KestruneEngine
