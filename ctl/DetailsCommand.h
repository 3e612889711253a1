// `kestrunectl details NAME`: the text of a service's details sheet.
#pragma once

#include "ctl/Context.h"

#include <string>

namespace KestruneCtl {

int showDetails(const Context& ctx, const std::string& nameOrPath);

} // namespace KestruneCtl
