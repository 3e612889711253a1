#include "platform/Process.h"
#include "TempDir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::TempDir;
using namespace std::chrono_literals;

namespace {

// Waits (generously) until a file has content; detached children report through files.
std::string awaitContent(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        std::string s = readAll(path);
        if (!s.empty() && s.back() == '\n')
            return s;
        std::this_thread::sleep_for(10ms);
    }
    return readAll(path);
}

} // namespace

TEST(Process, CapturesOutputExitStatusAndArgumentsVerbatim) {
    // Arguments are never parsed by a shell: quotes, globs and $ reach the child as is.
    auto r = runProcess({"printf", "%s|%s|%s", "a b", "$HOME", "*"});
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "a b|$HOME|*");
    EXPECT_TRUE(r.succeeded());

    auto failing = runProcess({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(failing.exitStatus, 3);
    EXPECT_EQ(failing.output, "out\n");
    EXPECT_FALSE(failing.succeeded());

    ProcessOptions both;
    both.captureStderr = true;
    auto merged = runProcess({"sh", "-c", "echo out; echo err >&2"}, both);
    EXPECT_EQ(merged.output, "out\nerr\n");

    auto signalled = runProcess({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(signalled.exitStatus, 128 + SIGTERM);

    // Standard input is /dev/null, so a reader ends at once.
    EXPECT_EQ(runProcess({"cat"}).output, "");
}

TEST(Process, WorkingDirectoryEnvironmentAndOutputFile) {
    TempDir tmp;
    ProcessOptions o;
    o.workingDirectory = tmp.path();
    o.environment = {{"KESTRUNE_TEST_VALUE", "x=y"}, {"HOME", "/nowhere"}};
    auto r = runProcess({"sh", "-c", "pwd; echo \"$KESTRUNE_TEST_VALUE\"; echo \"$HOME\""}, o);
    EXPECT_EQ(r.output, tmp.path() + "\nx=y\n/nowhere\n");

    ProcessOptions toFile;
    toFile.appendOutputTo = tmp / "out.log";
    tmp.write("out.log", "before\n");
    auto f = runProcess({"sh", "-c", "echo one; echo two >&2"}, toFile);
    EXPECT_EQ(f.exitStatus, 0);
    EXPECT_EQ(f.output, "");
    EXPECT_EQ(readAll(tmp / "out.log"), "before\none\ntwo\n");
}

TEST(Process, FailuresToStartAreReportedAsText) {
    TempDir tmp;
    auto missing = runProcess({"kestrune-no-such-program"});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_EQ(missing.error, std::strerror(ENOENT));

    auto notExecutable = runProcess({tmp.write("plain.txt", "hello")});
    EXPECT_FALSE(notExecutable.started);
    EXPECT_EQ(notExecutable.error, std::strerror(EACCES));

    ProcessOptions badDir;
    badDir.workingDirectory = tmp / "missing";
    auto r = runProcess({"true"}, badDir);
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.error.empty());

    EXPECT_FALSE(runProcess({}).started);
    EXPECT_FALSE(spawnDetached({"kestrune-no-such-program"}).ok);
    EXPECT_EQ(spawnDetached({"kestrune-no-such-program"}).error, std::strerror(ENOENT));
    EXPECT_FALSE(spawnDetached({"true"}, {}, tmp / "missing").ok);
}

TEST(Process, TimeLimitKillsTheChildAndWhatItStarted) {
    TempDir tmp;
    ProcessOptions o;
    o.timeLimit = 300ms;
    // The background sleep keeps the output pipe open after the shell is killed;
    // the runner must still return.
    auto r = runProcess({"sh", "-c", "echo partial; sleep 30 & sleep 30"}, o);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.output, "partial\n");
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL);
    EXPECT_FALSE(r.succeeded());

    // A child that exits but leaves a grandchild holding the pipe does not block us.
    ProcessOptions none;
    auto quick = runProcess({"sh", "-c",
                             "echo done; sleep 5 >/dev/null 2>&1 </dev/null & "
                             "exec sleep 0"},
                            none);
    EXPECT_EQ(quick.output, "done\n");
    EXPECT_FALSE(quick.timedOut);
}

TEST(Process, OutputIsCappedButTheChildRunsToTheEnd) {
    ProcessOptions o;
    o.maxOutputBytes = 1000;
    auto r = runProcess({"sh", "-c", "head -c 300000 /dev/zero; echo tail >&2; exit 4"}, o);
    EXPECT_EQ(r.output.size(), 1000u);
    EXPECT_EQ(r.exitStatus, 4);
}

TEST(Process, DetachedChildRunsInItsOwnSession) {
    TempDir tmp;
    std::string report = tmp / "report";
    auto r = spawnDetached(
        {"sh", "-c", "echo \"$$ $(cut -d' ' -f6 /proc/$$/stat) $KESTRUNE_MARK $(pwd)\""},
        {{"KESTRUNE_MARK", "marked"}}, tmp.path(), report);
    ASSERT_TRUE(r.ok) << r.error;
    std::string line = awaitContent(report);
    // pid, session id, the added variable and the working folder.
    std::string pid = std::to_string(r.pid);
    EXPECT_EQ(line.substr(0, line.find(' ')), pid);
    EXPECT_NE(line.find(" " + pid + " marked " + tmp.path()), std::string::npos) << line;
}
