#include "core/WatchListEdit.h"

#include "core/EditLock.h"
#include "core/FileIO.h"

#include <cerrno>
#include <cstring>

namespace KestruneCore {

namespace {

// The one line for an edit lock that was not had; empty when it is held.
std::string lockFailure(const EditLock& lock, const std::string& what, const std::string& path,
                        std::chrono::milliseconds wait) {
    if (lock.held())
        return {};
    if (lock.timedOut())
        return what + " " + path + " is being changed by another program (waited " +
               std::to_string((wait.count() + 999) / 1000) + " s); it was left unchanged";
    return "could not lock " + what + " " + path + ": " + lock.error();
}

// Writes atomically (through a link, to its target); the system's reason on failure.
std::optional<std::string> writeWithReason(const std::string& path, std::string_view text) {
    int error = 0;
    if (writeThroughLinkAtomically(path, text, error))
        return std::nullopt;
    return std::string(std::strerror(error ? error : EIO));
}

// Under the edit lock no other editor is mid-write, so the temporary files beside
// the file (beside a link's target) are what killed editors left behind.
void removeLeftovers(const std::string& path) {
    int ignored = 0;
    if (auto target = writeTarget(path, ignored))
        removeStaleTemporaries(*target);
}

bool prepareFolder(const std::string& path, std::string& error, const std::string& what) {
    std::string folder = parentFolder(path);
    if (folder.empty() || makeFolders(folder))
        return true;
    error = "could not create the folder of " + what + " " + path + ": " +
            std::strerror(errno ? errno : EIO);
    return false;
}

} // namespace

EditOutcome editWatchList(const WatchListChange& change, const std::string& path) {
    return editWatchList(change, path, defaultEditLockWait);
}

EditOutcome editWatchList(const WatchListChange& change, const std::string& path,
                          std::chrono::milliseconds lockWait) {
    EditOutcome outcome;
    if (!prepareFolder(path, outcome.error, "the watch list"))
        return outcome;
    EditLock lock(path, lockWait);
    if (auto why = lockFailure(lock, "the watch list", path, lockWait); !why.empty()) {
        outcome.error = why;
        outcome.list = load(path);
        return outcome;
    }
    removeLeftovers(path);
    // Read only now, so a change saved by another editor while we waited is kept.
    if (fileExists(path) && !readUtf8File(path)) {
        outcome.error = "cannot read the watch list " + path + "; it was left unchanged";
        return outcome;
    }
    outcome.list = load(path);
    auto next = change(outcome.list);
    if (!next)
        return outcome;
    std::string text = watchListText(*next);
    if (auto why = writeWithReason(path, text)) {
        outcome.error = "could not write the watch list " + path + ": " + *why;
        outcome.list = load(path);
        return outcome;
    }
    if (readFile(path) != text) {
        outcome.error = "could not write the watch list " + path + ": it does not read back";
        outcome.list = load(path);
        return outcome;
    }
    outcome.saved = true;
    outcome.list = std::move(*next);
    return outcome;
}

std::string editMaster(bool on, const std::string& path) {
    return editMaster(on, path, defaultEditLockWait);
}

std::string editMaster(bool on, const std::string& path, std::chrono::milliseconds lockWait) {
    std::string error;
    if (!prepareFolder(path, error, "the master switch"))
        return error;
    EditLock lock(path, lockWait);
    if (auto why = lockFailure(lock, "the master switch", path, lockWait); !why.empty())
        return why;
    removeLeftovers(path);
    if (auto why = writeWithReason(path, on ? "on\n" : "off\n"))
        return "could not write the master switch " + path + ": " + *why;
    if (loadMaster(path) != on || !fileExists(path))
        return "could not write the master switch " + path + ": it does not read back";
    return {};
}

} // namespace KestruneCore
