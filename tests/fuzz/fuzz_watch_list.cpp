// The watch list as any editor may have left it, read and written back: what is
// saved must read back as the same list.
#include "FuzzInput.h"

#include "core/WatchList.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    std::string path = KestruneFuzz::inputFile("apps.tsv", KestruneFuzz::text(data, size));
    WatchList list = load(path);
    std::string text = watchListText(list);
    std::string again = KestruneFuzz::inputFile("apps-again.tsv", text);
    if (load(again) != list)
        std::abort();
    removing(0, list);
    adding("/A/New.app", list);
    return 0;
}
