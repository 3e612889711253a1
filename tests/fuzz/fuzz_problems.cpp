// The engine's problems file.
#include "FuzzInput.h"

#include "health/Problems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KestruneCore::parseProblems(KestruneFuzz::text(data, size));
    return 0;
}
