// Runs the icon-link finder over arbitrary bytes as a page.
#include "icons/IconLink.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view html(reinterpret_cast<const char*>(data), size);
    if (auto link = KestruneCore::iconLink(html, "http://127.0.0.1:5173/app/index.html"))
        (void)link->size();
    return 0;
}
