// Several kestrunectl processes editing one watch list: no change is lost, a killed
// editor never leaves a torn file or a held lock (and what it left half-written goes
// with the next edit), and a failed write says why.
#include "CtlHome.h"

#include "core/FileIO.h"
#include "core/WatchList.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace KestruneTest;

extern char** environ;

namespace {

std::set<std::string> listedPaths(const CtlHome& home) {
    std::set<std::string> paths;
    for (const auto& e : KestruneCore::load(home.watchListPath()))
        paths.insert(e.path);
    return paths;
}

// Started without waiting; standard output discarded, standard error to `errFd`
// when given. Unlike runProcess, signals the test ignores stay ignored.
pid_t spawnCtl(const CtlHome& home, const std::vector<std::string>& args,
               const std::vector<std::string>& prefix = {}, int errFd = -1) {
    std::vector<std::string> argv = prefix;
    for (const char* a : {KESTRUNECTL_PATH, "--home"})
        argv.emplace_back(a);
    argv.push_back(home.path());
    argv.insert(argv.end(), {"--agent-backend", "none"});
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

TEST(CtlConcurrentEdits, TwoWritersAddingAtOnceKeepEveryEntry) {
    CtlHome home;
    constexpr int perWriter = 30;
    std::vector<std::thread> writers;
    std::vector<int> failures(2, 0);
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < perWriter; ++i) {
                // Distinct folder names: two services whose names share a stem are refused.
                std::string dir = home.dir().mkdir("w" + std::to_string(w) + "/w" +
                                                   std::to_string(w) + "svc" + std::to_string(i));
                if (home.run({"add-service", dir}).status != 0)
                    ++failures[w];
            }
        });
    }
    for (auto& t : writers)
        t.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0}));
    EXPECT_EQ(listedPaths(home).size(), 2u * perWriter);
}

TEST(CtlConcurrentEdits, WritersKilledMidEditLeaveACompleteFileAndNoHeldLock) {
    CtlHome home;
    std::string kept = home.dir().mkdir("kept");
    ASSERT_EQ(home.run({"add-service", kept}).status, 0);
    std::mt19937 random(7);
    std::set<std::string> candidates = {kept};
    for (int round = 0; round < 40; ++round) {
        std::vector<pid_t> pids;
        for (int k = 0; k < 3; ++k) {
            std::string dir =
                home.dir().mkdir("r" + std::to_string(round) + "-" + std::to_string(k));
            candidates.insert(dir);
            pids.push_back(spawnCtl(home, {"add-service", dir}));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        for (pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        // Every line whole: all five fields of a service, the last line ended.
        std::string text = readAll(home.watchListPath());
        ASSERT_TRUE(text.empty() || text.back() == '\n') << text;
        for (const auto& line : KestruneCore::splitLines(text)) {
            auto fields = KestruneCore::splitFields(line);
            ASSERT_TRUE(fields.size() == 5 && candidates.count(fields[2])) << line;
        }
        ASSERT_TRUE(listedPaths(home).count(kept));
    }
    // What the killed editors left behind, made older than a live writer's file.
    const std::string folder = KestruneCore::parentFolder(home.watchListPath());
    auto leftovers = [&] {
        std::vector<std::string> names;
        DIR* d = ::opendir(folder.c_str());
        for (struct dirent* e; d && (e = ::readdir(d));)
            if (std::string_view(e->d_name).starts_with(".apps.tsv.tmp-"))
                names.push_back(folder + "/" + e->d_name);
        if (d)
            ::closedir(d);
        return names;
    };
    const auto left = leftovers();
    for (const auto& name : left) {
        struct timespec hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        ::utimensat(AT_FDCWD, name.c_str(), hourAgo, 0);
    }
    // A killed holder released its lock: the next edit goes through at once, and
    // clears the left-overs.
    std::string last = home.dir().mkdir("last");
    auto r = home.run({"add-service", last});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(listedPaths(home).count(last));
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << left.size() << " were left";
}

TEST(CtlConcurrentEdits, FailedWriteSaysWhyAndChangesNothing) {
    CtlHome home;
    std::string kept = home.dir().mkdir("kept");
    ASSERT_EQ(home.run({"add-service", kept}).status, 0);
    auto before = readAll(home.watchListPath());
    // No file may grow past 0 bytes, as on a full disk; the signal that would end the
    // writer is ignored, and exec keeps it ignored.
    auto old = std::signal(SIGXFSZ, SIG_IGN);
    for (auto& [args, what] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"add-service", home.dir().mkdir("new")}, "the watch list"},
             {{"master", "off"}, "the master switch"}}) {
        // A pipe, since a file could not take the error line either.
        int pipeFds[2];
        ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        pid_t pid = spawnCtl(home, args, {"prlimit", "--fsize=0", "--"}, pipeFds[1]);
        ::close(pipeFds[1]);
        std::string output;
        char buf[4096];
        for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;)
            output.append(buf, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << output;
        EXPECT_NE(output.find("could not write " + what), std::string::npos) << output;
        EXPECT_NE(output.find(": File too large"), std::string::npos) << output;
    }
    std::signal(SIGXFSZ, old);
    EXPECT_EQ(readAll(home.watchListPath()), before);
    EXPECT_FALSE(KestruneCore::fileExists(home.masterPath()));
}
