// The end of the activity log: its last lines, its time stamps and the slow starts
// read from it.
#include "FuzzInput.h"

#include "core/ActivityLog.h"
#include "core/LogSubtitle.h"
#include "feedback/LogTail.h"
#include "health/SlowStarts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto bytes = KestruneFuzz::text(data, size);
    std::string path = KestruneFuzz::inputFile("kestrune.log", bytes);
    lastNonEmptyLines(path, 5, 64);
    lastNonEmptyLines(path, 1000);
    logSubtitle(path);
    parseTimestamp(bytes.substr(0, 19));
    std::vector<AppEntry> apps = {{"web", "/srv/web", true, EntryType::service, "launch.sh"},
                                  {"Mail", "/A/Mail.app", true, EntryType::app, ""}};
    std::vector<Problem> problems = {{"web", "down", Severity::restarting, "", ""},
                                     {"Mail", "not-running", Severity::restarting, "", ""}};
    slowStarts(utf8Replacing(bytes), apps, problems,
               Clock::time_point(std::chrono::seconds(1800000000)),
               [](const AppEntry&) { return std::int64_t{60}; });
    return 0;
}
