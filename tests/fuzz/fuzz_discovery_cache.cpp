// The cache of found service folders and the suggestions made from it.
#include "FuzzInput.h"

#include "discovery/Discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto found = Discovery::loadCache(
        KestruneFuzz::inputFile("discovered.tsv", KestruneFuzz::text(data, size)));
    WatchList watched = {{"web", "/srv/web", true, EntryType::service, "launch.sh"}};
    Discovery::suggestions(found, watched);
    for (const auto& path : found)
        Discovery::standardizedPath(path);
    Discovery::saveCache(found, KestruneFuzz::folder() + "/discovered-again.tsv");
    return 0;
}
