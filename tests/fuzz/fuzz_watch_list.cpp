// The watch list as any editor may have left it, read and written back: saving what
// was read keeps every entry, and saving it again changes nothing.
#include "FuzzInput.h"

#include "core/WatchList.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace KestruneCore;
    WatchList list = load(KestruneFuzz::inputFile("apps.tsv", KestruneFuzz::text(data, size)));
    std::string text = watchListText(list);
    WatchList again = load(KestruneFuzz::inputFile("apps-again.tsv", text));
    if (again.size() != list.size() || watchListText(again) != text)
        std::abort();
    removing(0, list);
    adding("/A/New.app", list);
    return 0;
}
