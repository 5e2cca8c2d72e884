#include "support/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace lv::test {

namespace {

// This process's environment with the extra variables after it.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& [key, value] : environment) env.push_back(key + "=" + value);
    return env;
}

// The null-ended list exec takes; the texts stay owned by `entries`.
std::vector<char*> pointersTo(std::vector<std::string>& entries) {
    std::vector<char*> pointers;
    for (auto& entry : entries) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

int runThisBinary(const std::string& filter, const std::map<std::string, std::string>& environment) {
    std::vector<std::string> env = environmentWith(environment);
    std::vector<char*> envp = pointersTo(env);

    std::string program = "/proc/self/exe";
    std::string filterArg = "--gtest_filter=" + filter;
    char* argv[] = {program.data(), filterArg.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

PipedChild startThisBinaryWithPipe(const std::string& filter, std::map<std::string, std::string> environment,
                                   const std::string& pipeVariable, bool quietErrors) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    environment[pipeVariable] = std::to_string(fds[1]);
    std::vector<std::string> env = environmentWith(environment);
    std::vector<char*> envp = pointersTo(env);

    std::string program = "/proc/self/exe";
    std::string filterArg = "--gtest_filter=" + filter;
    std::string disabledArg = "--gtest_also_run_disabled_tests";
    char* argv[] = {program.data(), filterArg.data(), disabledArg.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addclose(&actions, fds[0]);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quietErrors) ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const bool started = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!started) {
        ::close(fds[0]);
        return {};
    }
    return PipedChild{pid, fds[0]};
}

}  // namespace lv::test
