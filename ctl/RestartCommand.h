// `kestrunectl restart NAME`: asks the keep-alive engine to stop a service whole and
// start it at once.
#pragma once

#include "ctl/Context.h"

#include <string>

namespace KestruneCtl {

int restartService(const Context& ctx, const std::string& nameOrPath);

} // namespace KestruneCtl
