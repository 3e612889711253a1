#include "EngineTestSupport.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "services/ServiceCheck.h"

#include <atomic>

namespace KestruneEngineTest {

using namespace KestruneEngine;

StartOutcome FakeHost::start(const StartRequest& r) {
    starts.push_back(r);
    if (!r.replaces.empty())
        stop(r.stem, r.replaces);
    if (!failWith.empty())
        return {{}, failWith};
    alive[r.stem] = true;
    return {"4242:1", {}};
}

bool FakeHost::isAlive(const std::string& stem, const std::string&) {
    return alive[stem];
}

void FakeHost::stop(const std::string& stem, const std::string&) {
    stops.push_back(stem);
    alive[stem] = false;
}

EngineHarness::EngineHarness() {
    KestruneCore::makeFolders(KestruneCore::logsFolder());
    KestruneCore::makeFolders(KestruneCore::stateFolder());
    env.now = [this] { return now; };
    env.check = [this](const KestruneCore::ServiceConfig& config) {
        ++checks;
        auto it = health.find(config.url.value_or(""));
        auto out = it == health.end() ? healthy() : it->second;
        out.url = config.url.value_or("");
        return out;
    };
    env.host = &host;
    env.appIsRunning = [this](const std::string& path) { return running[path]; };
    env.appProcesses = [](const std::string&) { return std::vector<int>{}; };
    env.openApp = [this](const std::string& path, const std::string&) {
        opened.push_back(path);
        return openError;
    };
    env.home = tmp.path();
    env.lockWait = std::chrono::milliseconds(100);
}

std::string EngineHarness::addService(const std::string& name, const std::string& launchJson,
                                      const std::string& method) {
    static std::atomic<int> counter{0};
    std::string folder = "projects/p" + std::to_string(counter++);
    tmp.write(folder + "/scripts/launch.sh", "#!/bin/sh\nexit 0\n", true);
    if (!launchJson.empty())
        tmp.write(folder + "/scripts/launch.json", launchJson);
    list.push_back({name, tmp / folder, true, KestruneCore::EntryType::service, method});
    saveList();
    return tmp / folder;
}

void EngineHarness::addApp(const std::string& name, const std::string& path) {
    list.push_back({name, path, true, KestruneCore::EntryType::app, ""});
    saveList();
}

void EngineHarness::saveList() {
    KestruneCore::save(list);
}

PassResult EngineHarness::pass() {
    return runPass(env);
}

std::vector<KestruneCore::Problem> EngineHarness::problems() const {
    return KestruneCore::loadProblems();
}

std::optional<KestruneCore::Problem> EngineHarness::problemOf(const std::string& name) const {
    for (const auto& p : problems())
        if (p.name == name)
            return p;
    return std::nullopt;
}

EntryState EngineHarness::service(const std::string& name) const {
    return EntryState(KestruneCore::stateFolder(), KestruneCore::serviceKey(name));
}

std::string EngineHarness::log() const {
    return KestruneTest::readAll(KestruneCore::logPath());
}

int EngineHarness::starts(const std::string& name) const {
    int n = 0;
    for (const auto& s : host.starts)
        n += s.name == name;
    return n;
}

void EngineHarness::exitWith(const std::string& name, int status) {
    service(name).write(".exit", exitRecordText({status, now, std::nullopt}));
}

HealthOutcome EngineHarness::healthy() {
    return {true, false, "", "healthy (200)", ""};
}

HealthOutcome EngineHarness::refused() {
    return {false, true, "", "refused", "Nothing answering at the address"};
}

HealthOutcome EngineHarness::status(int code) {
    auto c = std::to_string(code);
    return {false, false, "", "HTTP " + c, "Got " + c + " from the address"};
}

} // namespace KestruneEngineTest
