#include "engine/StartRunner.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/EntryState.h"
#include "platform/Process.h"
#include "services/ServiceCheck.h"
#include "core/StartMethod.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KestruneEngine {

namespace {

double epochNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void writeAllQuietly(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::vector<std::string> startCommand(const std::string& dir, const std::string& methodLabel) {
    KestruneCore::StartMethod method(methodLabel);
    switch (method.kind) {
    case KestruneCore::StartMethod::Kind::launchSh:
        return {dir + "/scripts/launch.sh"};
    case KestruneCore::StartMethod::Kind::script: {
        auto runner = KestruneCore::findInPath(method.runner);
        if (!runner)
            return {};
        return {*runner, "run", method.scriptName};
    }
    case KestruneCore::StartMethod::Kind::unknown:
        break;
    }
    return {};
}

int runStartRunner(const RunnerOptions& options) {
    std::string name, dir, method;
    if (options.dir && options.name && options.method) {
        name = *options.name, dir = *options.dir, method = *options.method;
    } else {
        bool found = false;
        for (const auto& entry : KestruneCore::load()) {
            if (entry.type == KestruneCore::EntryType::service &&
                KestruneCore::serviceKey(entry.name) == options.key) {
                name = entry.name, dir = entry.path, method = entry.method;
                found = true;
                break;
            }
        }
        if (!found)
            return 2;
    }

    KestruneCore::makeFolders(KestruneCore::logsFolder());
    // Not through a symbolic link, which could lead anywhere; output is then dropped.
    int logFd = ::open(KestruneCore::serviceLogPath(name).c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (logFd < 0)
        logFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    auto argv = startCommand(dir, method);
    writeAllQuietly(logFd, "--- " + KestruneCore::timestamp(std::chrono::system_clock::now()) +
                               " starting with " + method + "\n");

    int status = 127;
    if (argv.empty()) {
        writeAllQuietly(logFd, "cannot start with " + method + "\n");
    } else {
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        const char* folder = dir.c_str();
        pid_t pid = ::fork();
        if (pid == 0) {
            // Child: only async-signal-safe calls until exec.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::chdir(folder) != 0) {
                static const char msg[] = "cannot enter the service folder\n";
                [[maybe_unused]] auto n = ::write(logFd, msg, sizeof msg - 1);
                ::_exit(127);
            }
            ::dup2(nullFd, 0);
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
            ::execv(cargv[0], cargv.data());
            int err = errno;
            static const char msg[] = "cannot run the start command\n";
            [[maybe_unused]] auto n = ::write(logFd, msg, sizeof msg - 1);
            ::_exit(err == ENOENT ? 127 : 126);
        }
        if (pid > 0) {
            int raw = 0;
            while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
            }
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
    }
    if (nullFd >= 0)
        ::close(nullFd);
    ::close(logFd);

    EntryState state(KestruneCore::stateFolder(), options.key);
    state.write(".exit", exitRecordText({status, epochNow()}));
    if (status != 0 &&
        KestruneCore::StartMethod(method).kind == KestruneCore::StartMethod::Kind::launchSh)
        KestruneCore::log(name, "launch.sh exited with status " + std::to_string(status));
    return status > 255 ? 255 : status;
}

} // namespace KestruneEngine
