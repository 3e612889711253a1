// The command line of kestrune-engine: serve, run, install, uninstall, exec-service,
// --version; every command takes --home DIR.
#pragma once

namespace KestruneEngine {

int runEngineCommand(int argc, char** argv);

} // namespace KestruneEngine
