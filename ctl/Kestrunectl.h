// kestrunectl's entry: parses the arguments, points the core at the chosen home
// folder and agent backend, and runs one command.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace KestruneCtl {

// `args` without the program name. Returns the exit status: 0 done, 1 the action
// failed, 2 wrong usage. Never throws.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace KestruneCtl
