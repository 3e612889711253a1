// A service's check file, and the details text made from it.
#include "FuzzInput.h"

#include "health/ServiceDetails.h"
#include "services/ServiceCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto check =
        ServiceCheck::load(KestruneFuzz::inputFile("svc.check", KestruneFuzz::text(data, size)));
    if (check) {
        check->line();
        nextStep(check->cause);
    }
    return 0;
}
