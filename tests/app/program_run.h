// Runs the lunavexa program as a separate process with its output caught in files of a temp dir: to
// the end (stdin closed), or started with a pipe as its standard input, to be signalled or fed lines.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

extern char** environ;

namespace lv::test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

struct Outcome {
    int code = -1;  // the exit status; 128 + the signal when a signal ended it
    std::string out, err;
};

inline int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The program with the given arguments, stdin closed; its exit code, stdout and stderr.
inline Outcome runLunavexa(const TempDir& dir, const std::string& arguments) {
    const std::string command = std::string(LV_LUNAVEXA_PROGRAM) + " " + arguments + " >" + quoted(dir.file("out")) +
                                " 2>" + quoted(dir.file("err")) + " </dev/null";
    const int status = std::system(command.c_str());
    return {exitCodeOf(status), slurp(dir.file("out")), slurp(dir.file("err"))};
}

// The program running with a pipe as its standard input (the shell execs it, so the process id is the
// program's).
class RunningLunavexa {
public:
    RunningLunavexa(const TempDir& dir, const std::string& arguments) : dir_(dir) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        const std::string command = "exec " + std::string(LV_LUNAVEXA_PROGRAM) + " " + arguments + " >" +
                                    quoted(dir.file("out")) + " 2>" + quoted(dir.file("err"));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        input_ = fds[1];
    }
    ~RunningLunavexa() {
        closeInput();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    RunningLunavexa(const RunningLunavexa&) = delete;
    RunningLunavexa& operator=(const RunningLunavexa&) = delete;

    bool started() const { return pid_ > 0; }
    void write(const std::string& text) {
        if (input_ >= 0) [[maybe_unused]] auto written = ::write(input_, text.data(), text.size());
    }
    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    void signal(int number) { ::kill(pid_, number); }
    // Waits for the end (the caller made sure it comes) and collects the outputs.
    Outcome finish() {
        closeInput();
        int status = 0;
        const int code = ::waitpid(pid_, &status, 0) == pid_ ? exitCodeOf(status) : -1;
        pid_ = -1;
        return {code, slurp(dir_.file("out")), slurp(dir_.file("err"))};
    }

private:
    const TempDir& dir_;
    pid_t pid_ = -1;
    int input_ = -1;
};

}  // namespace lv::test
