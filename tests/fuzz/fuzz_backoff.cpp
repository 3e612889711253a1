// Back-off and other epoch files: a number of seconds, and the due retries of a
// state folder holding such a file.
#include "FuzzInput.h"

#include "health/Backoff.h"

#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    static const std::string state = [] {
        std::string dir = KestruneFuzz::folder() + "/state";
        ::mkdir(dir.c_str(), 0755);
        return dir;
    }();
    auto bytes = KestruneFuzz::text(data, size);
    epochValue(bytes);
    epoch(KestruneFuzz::inputFile("state/svc_web_.next", bytes));
    dueRetries(state, 1700000000);
    return 0;
}
