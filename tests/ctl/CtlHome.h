// A temporary home folder for running the real kestrunectl binary against, with
// helpers to lay out the files the tray program and the engine keep there.
#pragma once

#include "TempDir.h"

#include "platform/EngineServeLock.h"

#include <optional>
#include <string>
#include <vector>

namespace KestruneTest {

struct CtlRun {
    int status = -1;
    std::string output; // standard output and error together
};

class CtlHome {
public:
    CtlHome();

    const std::string& path() const { return dir_.path(); }
    const TempDir& dir() const { return dir_; }

    // kestrunectl --home <this> --agent-backend none <args...>, or with the systemd
    // backend once useFakeSystemctl was called.
    CtlRun run(const std::vector<std::string>& args) const;

    // Puts a systemctl first in PATH that records its arguments (one call a line in
    // systemctlCalls()) and answers `activeStatus` to "is-active", 0 to the rest.
    void useFakeSystemctl(int activeStatus);
    std::string systemctlCalls() const;
    // Holds (or lets go of) the lock a serving engine holds, as the engine would.
    void markEngineServing(bool serving);

    std::string dataFolder() const;
    std::string stateFolder() const; // also holds the logs
    std::string cacheFolder() const;
    std::string watchListPath() const;
    std::string masterPath() const;
    std::string logPath() const;

    void writeWatchList(const std::string& text) const;
    void writeProblems(const std::string& text) const;
    void writeLog(const std::string& text) const;
    void writeMaster(const std::string& text) const;
    void writeState(const std::string& name, const std::string& text) const;
    // A folder with an executable scripts/launch.sh and, when given, scripts/launch.json.
    std::string makeService(const std::string& relative, const std::string& launchJson = {}) const;

    // Every regular file under the home folder with its content, to show that a
    // command changed nothing.
    std::vector<std::pair<std::string, std::string>> snapshot() const;

private:
    TempDir dir_;
    bool fakeSystemctl_ = false;
    std::optional<KestruneCore::EngineServeLock> serving_;
};

} // namespace KestruneTest
