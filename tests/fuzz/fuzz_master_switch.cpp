// The master switch file, whatever it holds.
#include "FuzzInput.h"

#include "core/WatchList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KestruneCore::loadMaster(KestruneFuzz::inputFile("master", KestruneFuzz::text(data, size)));
    return 0;
}
