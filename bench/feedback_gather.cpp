// Gathering diagnostics next to a 1 GiB activity log: only the log's end is read.
#include "TempDir.h"
#include "feedback/Diagnostics.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// A sparse 1 GiB file whose last part holds real log lines.
void makeLog(const std::string& path) {
    std::string tail;
    for (int i = 0; i < 5000; ++i)
        tail += "2026-12-07 21:00:00 [web] started (pid " + std::to_string(i) + ")\n";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const off_t size = off_t{1} << 30;
    if (fd < 0 || ::ftruncate(fd, size - static_cast<off_t>(tail.size())) != 0 ||
        ::lseek(fd, 0, SEEK_END) < 0 ||
        ::write(fd, tail.data(), tail.size()) != static_cast<ssize_t>(tail.size()))
        std::abort();
    ::close(fd);
}

void BM_GatherWithHugeLog(benchmark::State& state) {
    KestruneTest::TempDir tmp;
    makeLog(tmp / "kestrune.log");
    tmp.write("apps.tsv", "Mail\t" + tmp.path() + "/Mail.app\ttrue\tapp\n");
    tmp.write("state/problems.tsv", "");
    KestruneCore::DiagnosticSources sources{tmp.path(), tmp / "kestrune.log", tmp / "apps.tsv",
                                            tmp / "state/problems.tsv", tmp / "Reports"};
    auto now = KestruneCore::Clock::now();
    for (auto _ : state) {
        auto files = KestruneCore::gatherDiagnostics(sources, "Kestrune 1 \u00B7 x", now);
        benchmark::DoNotOptimize(files);
    }
}
BENCHMARK(BM_GatherWithHugeLog)->Unit(benchmark::kMillisecond);

} // namespace
