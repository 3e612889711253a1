// An .app bundle's Contents/Info.plist, XML or binary.
#include "FuzzInput.h"

#include "platform/BundleInfo.h"

#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string bundle = [] {
        std::string b = KestruneFuzz::folder() + "/Notes.app";
        ::mkdir(b.c_str(), 0755);
        ::mkdir((b + "/Contents").c_str(), 0755);
        return b;
    }();
    KestruneFuzz::inputFile("Notes.app/Contents/Info.plist", KestruneFuzz::text(data, size));
    KestruneCore::bundleInfo(bundle);
    KestruneCore::infoPlistString(bundle, "CFBundleName");
    return 0;
}
