#include "core/WatchListEdit.h"

#include "core/FileIO.h"

namespace KestruneCore {

EditOutcome editWatchList(const WatchListChange& change, const std::string& path) {
    EditOutcome outcome;
    if (fileExists(path) && !readUtf8File(path)) {
        outcome.error = "cannot read the watch list " + path + "; it was left unchanged";
        return outcome;
    }
    outcome.list = load(path);
    auto next = change(outcome.list);
    if (!next)
        return outcome;
    save(*next, path);
    if (readFile(path) != watchListText(*next)) {
        outcome.error = "could not write the watch list " + path;
        outcome.list = load(path);
        return outcome;
    }
    outcome.saved = true;
    outcome.list = std::move(*next);
    return outcome;
}

std::string editMaster(bool on, const std::string& path) {
    saveMaster(on, path);
    if (loadMaster(path) != on || !fileExists(path))
        return "could not write the master switch " + path;
    return {};
}

} // namespace KestruneCore
