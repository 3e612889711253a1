// `kestrunectl paths` against a fresh home folder that the real engine and
// kestrunectl have just used: only the three base folders appear, and every file
// they made lies in a folder that `paths` names.
#include "TempDir.h"

#include "platform/Process.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

using namespace KestruneTest;

namespace {

KestruneCore::ProcessResult run(const TempDir& home, std::vector<std::string> argv) {
    KestruneCore::ProcessOptions options;
    options.environment = {{"HOME", home.path()},
                           {"KESTRUNE_SERVICE_HOST", "group"},
                           {"KESTRUNE_AGENT_BACKEND", "none"}};
    options.captureStderr = true;
    options.timeLimit = std::chrono::seconds(60);
    return KestruneCore::runProcess(argv, options);
}

KestruneCore::ProcessResult ctl(const TempDir& home, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KESTRUNECTL_PATH, "--home", home.path(), "--agent-backend",
                                     "none"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(home, argv);
}

bool inside(const std::string& path, const std::string& folder) {
    return path == folder || path.starts_with(folder + "/");
}

} // namespace

TEST(CtlPaths, AFreshHomeGetsOnlyTheBaseFoldersAndPathsNamesWhereEverythingWent) {
    TempDir home;
    std::string web = home.mkdir("projects/web");
    home.write("projects/web/scripts/launch.sh", "#!/bin/sh\necho started\n", true);
    home.write("projects/web/scripts/launch.json",
               R"({"healthcheck":{"url":"http://127.0.0.1:9/","retries":0}})");

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"add-service", web}, {"off", "web"}, {"on", "web"}, {"master", "on"}}) {
        auto r = ctl(home, args);
        EXPECT_EQ(r.exitStatus, 0) << args[0] << ": " << r.output;
    }
    auto engine = run(home, {KESTRUNE_ENGINE_PATH, "run", "--home", home.path()});
    EXPECT_TRUE(engine.succeeded()) << engine.output;

    auto listed = ctl(home, {"paths", "--json"});
    ASSERT_EQ(listed.exitStatus, 0) << listed.output;
    auto rows = nlohmann::json::parse(listed.output, nullptr, false);
    ASSERT_TRUE(rows.is_array()) << listed.output;
    std::vector<std::string> folders;
    std::string serviceLog;
    for (const auto& row : rows) {
        auto role = row.at("role").get<std::string>(), path = row.at("path").get<std::string>();
        if (role.ends_with("folder"))
            folders.push_back(path);
        if (role == "service log")
            serviceLog = path;
    }
    EXPECT_EQ(folders,
              (std::vector<std::string>{home / ".config/kestrune", home / ".local/state/kestrune",
                                        home / ".cache/kestrune"}));
    // The start command writes its log once it runs; the pass does not wait for it.
    for (int i = 0; i < 600 && !std::filesystem::exists(serviceLog); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(std::filesystem::exists(serviceLog)) << serviceLog;

    std::vector<std::string> made;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home.path())) {
        std::string path = e.path().string();
        if (!inside(path, home / "projects"))
            made.push_back(path);
    }
    EXPECT_GT(made.size(), 6u); // the list, the master file, the log, state files...
    for (const auto& path : made) {
        bool parentOfOne = std::any_of(folders.begin(), folders.end(),
                                       [&](const auto& f) { return f.starts_with(path + "/"); });
        bool underOne = std::any_of(folders.begin(), folders.end(),
                                    [&](const auto& f) { return inside(path, f); });
        EXPECT_TRUE(parentOfOne || underOne) << path;
    }
}
