// A state folder (and data folder) holding what no Kestrune program wrote: folders
// where files belong, a huge file, binary garbage, FIFOs and links leading out of
// the folder. The engine's pass and kestrunectl status must finish, never crash and
// never write anything outside.
#include "CtlHome.h"

#include "core/FileIO.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace KestruneTest;

namespace {

// Every entry under a folder with its content (its size only when large).
std::vector<std::pair<std::string, std::string>> filesUnder(const std::string& dir) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string what;
        if (e.is_regular_file())
            what = e.file_size() > (1u << 20) ? std::to_string(e.file_size())
                                              : readAll(e.path().string());
        files.emplace_back(e.path().string(), what);
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(CtlHostileState, EnginePassAndStatusSurviveAndWriteNothingOutside) {
    CtlHome home;
    TempDir outside;
    std::string victim = outside.write("victim.txt", "keep me\n");
    std::string big = outside / "big";
    {
        int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 100 << 20), 0); // 100 MB, sparse
        ::close(fd);
    }
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) & 0xff);

    std::string web =
        home.makeService("web", R"({"healthcheck":{"url":"http://127.0.0.1:9/","retries":0}})");
    // api has clean state, so the pass starts it and its output goes to its log.
    std::string api =
        home.makeService("api", R"({"healthcheck":{"url":"http://127.0.0.1:9/","retries":0}})");
    home.dir().write("api/scripts/launch.sh", "#!/bin/sh\necho started\n", true);
    home.writeWatchList("1\tweb\t" + web + "\tservice\tlaunch.sh\n1\tapi\t" + api +
                        "\tservice\tlaunch.sh\n0\tMail\t/nowhere/Mail.app\tapp\n\t\t\n1\n");
    const std::string state = home.stateFolder();
    const std::string key = "svc_web_";
    auto link = [](const std::string& to, const std::string& at) {
        ASSERT_EQ(::symlink(to.c_str(), at.c_str()), 0) << at;
    };
    ASSERT_EQ(::mkdir((state + "/problems.tsv").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((state + "/" + key + ".attempts").c_str(), 0755), 0);
    link(big, state + "/startup-times.tsv");
    link(victim, state + "/" + key + ".check");
    link(outside / "created-by-link", state + "/engine.lock");
    link(outside / "created-by-link-2", state + "/" + key + ".trigger");
    link("/dev/zero", state + "/" + key + ".trying");
    link("/dev/urandom", state + "/" + key + ".next");
    ASSERT_EQ(::mkfifo((state + "/" + key + ".pid").c_str(), 0644), 0);
    home.writeState(key + ".since", garbage);
    home.writeState("svc_Mail_.next", garbage);
    home.writeState("svc_api_.check.tmp", garbage);
    link(victim, home.masterPath());
    link(big, home.cacheFolder() + "/discovered.tsv");
    link(victim, home.logPath());
    link(victim, home.stateFolder() + "/kestrune-api.log");
    auto before = filesUnder(outside.path());

    KestruneCore::ProcessOptions options;
    options.timeLimit = std::chrono::seconds(120);
    options.captureStderr = true;
    options.environment = {{"HOME", home.path()},
                           {"KESTRUNE_SERVICE_HOST", "group"},
                           {"KESTRUNE_AGENT_BACKEND", "none"}};
    auto engine =
        KestruneCore::runProcess({KESTRUNE_ENGINE_PATH, "run", "--home", home.path()}, options);
    EXPECT_TRUE(engine.started && !engine.timedOut && engine.exitStatus < 128) << engine.output;

    for (const auto& args :
         {std::vector<std::string>{"status"},
          std::vector<std::string>{"status", "--json", "--no-probe"},
          std::vector<std::string>{"details", "web"}, std::vector<std::string>{"log", "-n", "5"}}) {
        auto r = home.run(args);
        EXPECT_TRUE(r.status >= 0 && r.status < 128) << args[0] << " " << r.status << r.output;
    }
    EXPECT_EQ(filesUnder(outside.path()), before);
}
