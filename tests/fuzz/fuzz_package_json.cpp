// A service folder's package.json, as read to find how to start the folder.
#include "FuzzInput.h"

#include "core/StartMethod.h"

#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        std::string d = KestruneFuzz::folder() + "/project";
        ::mkdir(d.c_str(), 0755);
        return d;
    }();
    KestruneFuzz::inputFile("project/package.json", KestruneFuzz::text(data, size));
    KestruneCore::detectStartMethod(dir).label();
    return 0;
}
