// What our own code reads of a health check's address and reply: the host and port
// of the declared address (the reply itself is read by libcurl, which hands us only
// its status number).
#include "FuzzInput.h"

#include "services/HealthCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string url(KestruneFuzz::text(data, size));
    KestruneCore::urlParts(url, true);
    KestruneCore::urlParts(url, false);
    return 0;
}
