#include "ctl/Context.h"

namespace KestruneCtl {

int Context::fail(const std::string& message, int status) const {
    std::string line = message;
    for (auto& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    err << "kestrunectl: " << line << '\n';
    return status;
}

} // namespace KestruneCtl
