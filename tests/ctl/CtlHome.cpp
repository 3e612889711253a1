#include "CtlHome.h"

#include "platform/Process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace KestruneTest {

CtlHome::CtlHome() {
    dir_.mkdir(".config/kestrune");
    dir_.mkdir(".local/state/kestrune");
    dir_.mkdir(".cache/kestrune");
}

CtlRun CtlHome::run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {KESTRUNECTL_PATH, "--home", path(), "--agent-backend",
                                     fakeSystemctl_ ? "systemd" : "none"};
    argv.insert(argv.end(), args.begin(), args.end());
    KestruneCore::ProcessOptions options;
    if (fakeSystemctl_) {
        const char* pathVar = std::getenv("PATH");
        options.environment.emplace_back("PATH", dir_ / "fakebin" + ":" +
                                                     (pathVar ? pathVar : "/usr/bin:/bin"));
    }
    options.captureStderr = true;
    options.workingDirectory = path();
    options.timeLimit = std::chrono::seconds(60);
    auto r = KestruneCore::runProcess(argv, options);
    return {r.started && !r.timedOut ? r.exitStatus : -1, r.output};
}

void CtlHome::useFakeSystemctl(int activeStatus) {
    dir_.write("fakebin/systemctl",
               "#!/bin/sh\n"
               "echo \"$*\" >> \"" +
                   dir_ / "systemctl-calls" +
                   "\"\n"
                   "case \"$*\" in *is-active*) exit " +
                   std::to_string(activeStatus) +
                   ";; esac\n"
                   "exit 0\n",
               true);
    fakeSystemctl_ = true;
}

std::string CtlHome::systemctlCalls() const {
    return readAll(dir_ / "systemctl-calls");
}

void CtlHome::markEngineServing(bool serving) {
    serving_.reset();
    if (serving)
        serving_ = KestruneCore::EngineServeLock::hold(stateFolder() + "/serve.lock");
}

std::string CtlHome::dataFolder() const {
    return dir_ / ".config/kestrune";
}
std::string CtlHome::stateFolder() const {
    return dir_ / ".local/state/kestrune";
}
std::string CtlHome::cacheFolder() const {
    return dir_ / ".cache/kestrune";
}
std::string CtlHome::watchListPath() const {
    return dataFolder() + "/apps.tsv";
}
std::string CtlHome::masterPath() const {
    return dataFolder() + "/master";
}
std::string CtlHome::logPath() const {
    return stateFolder() + "/kestrune.log";
}

void CtlHome::writeWatchList(const std::string& text) const {
    dir_.write(".config/kestrune/apps.tsv", text);
}
void CtlHome::writeProblems(const std::string& text) const {
    writeState("problems.tsv", text);
}
void CtlHome::writeLog(const std::string& text) const {
    dir_.write(".local/state/kestrune/kestrune.log", text);
}
void CtlHome::writeMaster(const std::string& text) const {
    dir_.write(".config/kestrune/master", text);
}
void CtlHome::writeState(const std::string& name, const std::string& text) const {
    dir_.write(".local/state/kestrune/" + name, text);
}

std::string CtlHome::makeService(const std::string& relative, const std::string& launchJson) const {
    dir_.write(relative + "/scripts/launch.sh", "#!/bin/sh\nexit 0\n", true);
    if (!launchJson.empty())
        dir_.write(relative + "/scripts/launch.json", launchJson);
    return dir_ / relative;
}

std::vector<std::pair<std::string, std::string>> CtlHome::snapshot() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path())) {
        // An edit lock file is left empty beside what it guards; it holds nothing.
        std::string name = e.path().filename().string();
        bool lockFile = e.is_regular_file() && name.starts_with(".") && name.ends_with(".lock") &&
                        e.file_size() == 0;
        if (e.is_regular_file() && !lockFile)
            files.emplace_back(e.path().string(), readAll(e.path().string()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace KestruneTest
