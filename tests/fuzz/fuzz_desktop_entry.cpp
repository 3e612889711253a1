// A .desktop file: its [Desktop Entry] group and its Exec line.
#include "FuzzInput.h"

#include "platform/BundleInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    auto bytes = KestruneFuzz::text(data, size);
    if (auto entry = parseDesktopEntry(bytes))
        desktopExecArguments(entry->exec);
    desktopExecArguments(bytes);
    bundleInfo(KestruneFuzz::inputFile("notes.desktop", bytes));
    return 0;
}
