// A service folder's scripts/launch.json and the texts made from its declaration.
#include "FuzzInput.h"

#include "health/ServiceSubtitle.h"
#include "services/ServiceConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto loaded = ServiceConfig::parse(KestruneFuzz::text(data, size));
    if (auto config = loaded.value()) {
        AppEntry entry{"web", "/srv/web", true, EntryType::service, "launch.sh"};
        unwatchedSubtitle(entry, config, std::nullopt);
    }
    return 0;
}
