// The fallback folder walk against find(1) with the same pruning and depth limits,
// over one generated tree shaped like a developer's home folder (about 50 000
// folders: project roots, node_modules trees, hidden folders, .app bundles); and the
// walk over a checkout with symbolic-link fan-out (K links beside the real folder on
// each of three levels), where every path through the links leads to four projects.
#include "TempDir.h"
#include "discovery/Discovery.h"
#include "platform/Process.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Tree {
    KestruneTest::TempDir dir;
    std::size_t folders = 0;

    void mk(const std::string& path) {
        if (::mkdir(path.c_str(), 0755) == 0)
            ++folders;
    }

    void touch(const std::string& path, bool executable) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        executable ? 0755 : 0644);
        if (fd >= 0)
            ::close(fd);
    }

    // A project: a start script, a source tree five levels deep, a docs folder,
    // and the folders the walk must not enter.
    void repo(const std::string& at, int n) {
        mk(at);
        if (n % 3 != 2) {
            mk(at + "/scripts");
            touch(at + "/scripts/launch.sh", true);
        }
        mk(at + "/src");
        for (int m = 0; m < 6; ++m) {
            std::string mod = at + "/src/mod" + std::to_string(m);
            mk(mod);
            for (int s = 0; s < 4; ++s) {
                std::string sub = mod + "/sub" + std::to_string(s);
                mk(sub);
                for (int l = 0; l < 3; ++l)
                    mk(sub + "/leaf" + std::to_string(l));
                touch(sub + "/index.ts", false);
            }
        }
        mk(at + "/docs");
        for (int d = 0; d < 4; ++d)
            mk(at + "/docs/d" + std::to_string(d));
        mk(at + "/node_modules");
        for (int p = 0; p < 40; ++p) {
            std::string pkg = at + "/node_modules/pkg" + std::to_string(p);
            mk(pkg);
            mk(pkg + "/lib");
            mk(pkg + "/dist");
            mk(pkg + "/scripts");
            touch(pkg + "/scripts/launch.sh", true);
        }
        mk(at + "/.git");
        mk(at + "/.git/objects");
        for (int o = 0; o < 32; ++o)
            mk(at + "/.git/objects/" + std::to_string(10 + o));
        mk(at + "/build");
        for (int b = 0; b < 10; ++b)
            mk(at + "/build/b" + std::to_string(b));
        if (n % 10 == 0) {
            mk(at + "/Tool.app");
            mk(at + "/Tool.app/Contents");
            mk(at + "/Tool.app/Contents/scripts");
            touch(at + "/Tool.app/Contents/scripts/launch.sh", true);
        }
    }

    void spread(const std::string& at, int breadth, int levels) {
        mk(at);
        if (levels == 0)
            return;
        for (int i = 0; i < breadth; ++i)
            spread(at + "/f" + std::to_string(i), breadth, levels - 1);
    }

    Tree() {
        const std::string home = dir.path();
        mk(home + "/projects");
        for (int r = 0; r < 60; ++r)
            repo(home + "/projects/app" + std::to_string(r), r);
        mk(home + "/Code");
        for (int g = 0; g < 8; ++g) {
            std::string group = home + "/Code/team" + std::to_string(g);
            mk(group);
            for (int r = 0; r < 5; ++r)
                repo(group + "/svc" + std::to_string(r), r);
        }
        mk(home + "/src");
        for (int r = 0; r < 20; ++r)
            repo(home + "/src/tool" + std::to_string(r), r);
        for (const char* hidden : {".cache", ".npm", ".local"})
            spread(home + "/" + hidden, 14, 3);
        spread(home + "/Library", 14, 3);
        mk(home + "/Applications");
        for (int a = 0; a < 20; ++a) {
            std::string app = home + "/Applications/App" + std::to_string(a) + ".app";
            mk(app);
            spread(app + "/Contents", 4, 2);
        }
        spread(home + "/Documents", 9, 4);
        mk(home + "/Documents/f1/f2/scripts");
        touch(home + "/Documents/f1/f2/scripts/launch.sh", true);
        mk(home + "/Documents/f1/f2/f3/scripts");
        touch(home + "/Documents/f1/f2/f3/scripts/launch.sh", true);
        touch(home + "/notes.txt", false);
    }
};

Tree& tree() {
    static Tree t;
    return t;
}

// projects/fan, then three levels of one real folder each beside `links` links to it;
// each of the four real folders is a project.
struct FanOut {
    KestruneTest::TempDir dir;

    explicit FanOut(int links) {
        std::string at = dir.mkdir("projects/fan");
        for (int level = 1; level <= 4; ++level) {
            ::mkdir((at + "/scripts").c_str(), 0755);
            int fd = ::open((at + "/scripts/launch.sh").c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
            if (fd >= 0)
                ::close(fd);
            if (level == 4)
                break;
            std::string real = "d" + std::to_string(level);
            ::mkdir((at + "/" + real).c_str(), 0755);
            for (int l = 0; l < links; ++l)
                if (::symlink(real.c_str(), (at + "/l" + std::to_string(l)).c_str()) != 0)
                    std::perror("symlink"); // a smaller tree than asked for: say so
            at += "/" + real;
        }
    }
};

// `levels` times "/*" after `base`: matches every path at least that deep.
std::string depthPattern(const std::string& base, int levels) {
    std::string p = base;
    for (int i = 0; i < levels; ++i)
        p += "/*";
    return p;
}

void addPruned(std::vector<std::string>& args) {
    args.insert(args.end(), {"(", "-name", ".*"});
    for (const auto& name : Discovery::skipDirs)
        args.insert(args.end(), {"-o", "-name", name});
    args.insert(args.end(), {")", "-prune", "-o"});
}

// Two find runs: the project roots (a root and five levels below it, then only
// scripts/launch.sh), and the other folders of home (three levels below home).
std::vector<std::string> findLaunchScripts(const std::string& home) {
    std::vector<std::string> rootArgs{"find", "-P"};
    for (const auto& root : Discovery::roots(home)) {
        struct stat st {};
        if (::stat(root.c_str(), &st) == 0)
            rootArgs.push_back(root);
    }
    rootArgs.insert(rootArgs.end(), {"-maxdepth", "7"});
    addPruned(rootArgs);
    rootArgs.insert(rootArgs.end(),
                    {"-name", "*.app", "-prune", "-o", "-path", depthPattern(home, 7), "!", "-name",
                     "scripts", "!", "-name", "launch.sh", "-prune", "-o", "-path",
                     "*/scripts/launch.sh", "-print"});

    std::vector<std::string> homeArgs{"find", "-P", home, "-maxdepth", "5", "("};
    bool first = true;
    for (const auto& root : Discovery::roots(home)) {
        if (!first)
            homeArgs.push_back("-o");
        first = false;
        homeArgs.insert(homeArgs.end(), {"-path", root});
    }
    homeArgs.insert(homeArgs.end(), {")", "-prune", "-o"});
    addPruned(homeArgs);
    homeArgs.insert(homeArgs.end(), {"(",
                                     "-path",
                                     depthPattern(home, 2),
                                     "-name",
                                     "*.app",
                                     ")",
                                     "-prune",
                                     "-o",
                                     "-path",
                                     depthPattern(home, 4),
                                     "!",
                                     "-name",
                                     "scripts",
                                     "!",
                                     "-name",
                                     "launch.sh",
                                     "-prune",
                                     "-o",
                                     "-path",
                                     "*/scripts/launch.sh",
                                     "-print"});

    std::string out =
        KestruneCore::runProcess(rootArgs).output + KestruneCore::runProcess(homeArgs).output;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t lf; (lf = out.find('\n', start)) != std::string::npos; start = lf + 1)
        lines.push_back(out.substr(start, lf - start));
    return lines;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

void BM_DiscoveryWalk(benchmark::State& state) {
    const std::string home = tree().dir.path();
    std::size_t found = 0;
    for (auto _ : state) {
        auto paths = Discovery::walk(home);
        found = paths.size();
        benchmark::DoNotOptimize(paths);
    }
    state.counters["folders"] = static_cast<double>(tree().folders);
    state.counters["found"] = static_cast<double>(found);
}

void BM_FindSamePruning(benchmark::State& state) {
    const std::string home = tree().dir.path();
    if (sorted(findLaunchScripts(home)) != sorted(Discovery::walk(home))) {
        state.SkipWithError("find and the walk disagree about what the tree holds");
        return;
    }
    std::size_t found = 0;
    for (auto _ : state) {
        auto paths = findLaunchScripts(home);
        found = paths.size();
        benchmark::DoNotOptimize(paths);
    }
    state.counters["folders"] = static_cast<double>(tree().folders);
    state.counters["found"] = static_cast<double>(found);
}

void BM_DiscoveryWalkLinkFanOut(benchmark::State& state) {
    FanOut fan(static_cast<int>(state.range(0)));
    std::size_t found = 0;
    for (auto _ : state) {
        auto paths = Discovery::walk(fan.dir.path());
        found = paths.size();
        benchmark::DoNotOptimize(paths);
    }
    state.counters["found"] = static_cast<double>(found);
}

} // namespace

BENCHMARK(BM_DiscoveryWalkLinkFanOut)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DiscoveryWalk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FindSamePruning)->Unit(benchmark::kMillisecond)->UseRealTime();
