// A temporary home with a watch list, service folders and a pass environment whose
// clock, health checks, service host and apps are all under the test's control.
#pragma once

#include "TempDir.h"
#include "core/AppEntry.h"
#include "engine/EnginePass.h"
#include "engine/EntryState.h"
#include "health/Problems.h"

#include <map>
#include <string>
#include <vector>

namespace KestruneEngineTest {

class FakeHost : public KestruneEngine::ServiceHost {
public:
    KestruneEngine::StartOutcome start(const KestruneEngine::StartRequest& r) override;
    bool isAlive(const std::string& stem, const std::string& handle) override;
    void stop(const std::string& stem, const std::string& handle) override;

    std::vector<KestruneEngine::StartRequest> starts;
    std::vector<std::string> stops; // stems
    std::map<std::string, bool> alive;
    std::string failWith;
};

class EngineHarness {
public:
    EngineHarness();

    // A service folder with an executable scripts/launch.sh and, when given, this
    // scripts/launch.json; added to the watch list (switched on).
    std::string addService(const std::string& name, const std::string& launchJson,
                           const std::string& method = "launch.sh");
    void addApp(const std::string& name, const std::string& path);
    void saveList();

    KestruneEngine::PassResult pass();
    std::vector<KestruneCore::Problem> problems() const;
    std::optional<KestruneCore::Problem> problemOf(const std::string& name) const;
    KestruneEngine::EntryState service(const std::string& name) const;
    std::string log() const;
    int starts(const std::string& name) const;
    // What the start runner leaves when the start command ends.
    void exitWith(const std::string& name, int status);

    static KestruneEngine::HealthOutcome healthy();
    static KestruneEngine::HealthOutcome refused();
    static KestruneEngine::HealthOutcome status(int code);

    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome scopedHome{tmp.path()};
    double now = 1800000000;
    FakeHost host;
    // Health by url; services without an entry are healthy.
    std::map<std::string, KestruneEngine::HealthOutcome> health;
    int checks = 0;
    std::map<std::string, bool> running;
    std::string openError;
    std::vector<std::string> opened;
    std::vector<KestruneCore::AppEntry> list;
    KestruneEngine::PassEnvironment env;
};

} // namespace KestruneEngineTest
