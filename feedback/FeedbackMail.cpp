#include "feedback/FeedbackMail.h"

#include "core/ActivityLog.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace KestruneCore {

std::vector<std::string> mailComposerArguments(const FeedbackMail& mail) {
    std::vector<std::string> args = {"--utf8", "--subject", mail.subject, "--body", mail.body};
    for (const auto& file : mail.attachments) {
        args.push_back("--attach");
        args.push_back(file);
    }
    for (const auto& to : mail.recipients)
        args.push_back(to);
    return args;
}

bool composeMail(const FeedbackMail& mail, std::chrono::milliseconds patience) {
    std::vector<std::string> args = {"xdg-email"};
    for (auto& a : mailComposerArguments(mail))
        args.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, "xdg-email", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return false;

    auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Still running: the client has the message. Reap it whenever it ends.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

std::string mailtoURL(const std::string& address, const std::string& subject,
                      const std::string& body) {
    return "mailto:" + percentEncoded(address, "@") + "?subject=" + percentEncoded(subject) +
           "&body=" + percentEncoded(body);
}

} // namespace KestruneCore
