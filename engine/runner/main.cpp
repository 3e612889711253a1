// kestrune-runner: the start runner on its own, so that each of the many runners that
// wait as long as their services run maps only this small program, never what the
// engine itself loads (the bus library, plist, text segmentation).
#include "engine/StartRunner.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    // Only the engine starts it: "--name value" pairs, as `kestrune-engine exec-service`
    // takes them.
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; i += 2) {
        std::string_view name = argv[i];
        if (i + 1 >= argc || name.substr(0, 2) != "--") {
            std::fprintf(stderr, "kestrune-runner: started by kestrune-engine, not by hand\n");
            return 2;
        }
        if (name == "--home")
            ::setenv("HOME", argv[i + 1], 1);
        else
            options[std::string(name)] = argv[i + 1];
    }
    auto status = KestruneEngine::runStartRunner(options);
    if (!status) {
        std::fprintf(stderr, "kestrune-runner: needs --key\n");
        return 2;
    }
    return *status;
}
