#include "engine/EngineCommand.h"

int main(int argc, char** argv) {
    return KestruneEngine::runEngineCommand(argc, argv);
}
