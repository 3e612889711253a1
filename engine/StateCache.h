// What `serve` knows of the files in its state folder, kept between passes so that
// an idle engine neither reads its own files again nor looks, pass after pass, for
// files that are not there. A file is read again only once inotify says another
// process wrote, replaced or removed it; the engine's own writes update the copy
// kept here. Single passes and other processes have none and use the files directly.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace KestruneEngine {

class StateCache {
public:
    // The cache of this process, made by `serve` for its state folder; none elsewhere.
    static StateCache* active();
    static void activate(const std::string& folder);

    // Whether `path` is a file of the folder this cache keeps (not a temporary or
    // lock file, whose names start with a dot).
    bool covers(const std::string& path) const;

    // Takes in what other processes changed since the last call. Called whenever the
    // engine may have waited (each wake of the loop, each pass once it holds its
    // locks), so what it reads afterwards is what the files say.
    void refresh();

    // A file's content, none when it is missing or not a small regular file.
    std::optional<std::string> read(const std::string& path);
    // writeFileAtomically (or, with `often`, rewriteFileAtomically) that also keeps
    // what was written.
    bool write(const std::string& path, std::string_view content, bool often = false);
    void remove(const std::string& path);
    // The file's inode (0 when missing): tells a file written anew from the old one.
    unsigned long long inode(const std::string& path);

    // Drops everything known: the next reads go to the files.
    void forget();

    explicit StateCache(std::string folder);
    StateCache(const StateCache&) = delete;
    StateCache& operator=(const StateCache&) = delete;

private:
    void watch();
    std::string nameOf(const std::string& path) const;

    std::mutex mutex_;
    std::string folder_;
    int inotifyFd_ = -1;
    int watch_ = -1;
    // Content by file name; none when known to be missing.
    std::map<std::string, std::optional<std::string>> known_;
    std::map<std::string, unsigned long long> inodes_;
    // Events the engine's own writes and removals are still to bring, by file name:
    // those say nothing new.
    std::map<std::string, int> ownEvents_;
    double forgottenAt_ = 0;
};

} // namespace KestruneEngine
