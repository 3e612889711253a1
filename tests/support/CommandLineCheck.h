// Runs a program with each of a table of command lines and checks the answer: status 0
// with standard output starting as given, or a usage error that is one line on
// standard error, names the program and the fault, and points to --help.
#pragma once

#include "platform/Process.h"

#include <string>
#include <vector>

namespace KestruneTest {

struct CommandLineCase {
    std::vector<std::string> args;
    int status;
    std::string output; // the start of standard output, or a part of the error line
};

// `program` is the executable's path; `name` what its messages begin with.
void expectCommandLines(const std::string& program, const std::string& name,
                        const std::vector<std::string>& leading,
                        const std::vector<CommandLineCase>& cases,
                        const KestruneCore::ProcessOptions& options = {});

} // namespace KestruneTest
