// The start-up times file and everything computed from its records.
#include "FuzzInput.h"

#include "health/StartRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto bytes = KestruneFuzz::text(data, size);
    auto records = parseStartRecords("web", bytes);
    startHistory(records);
    if (auto typical = typicalStartup(records)) {
        expectedWindow(*typical);
        approx(typical->median);
    }
    AppEntry entry{"web", "/srv/web", true, EntryType::service, "launch.sh"};
    expectedStartSeconds(entry, records, std::nullopt);
    healthyDurations({"web", "api"}, bytes);
    return 0;
}
