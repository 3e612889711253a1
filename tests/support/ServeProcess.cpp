#include "ServeProcess.h"

#include <spawn.h>
#include <vector>

extern char** environ;

namespace KestruneTest {

pid_t spawnServe(const std::string& engine, const std::string& home) {
    std::vector<std::string> args{engine, "serve", "--home", home};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

} // namespace KestruneTest
