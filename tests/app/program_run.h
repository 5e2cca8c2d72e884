// Runs the lunavexa program as a separate process with its output caught in files of a temp dir.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

namespace lv::test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

struct Outcome {
    int code = -1;
    std::string out, err;
};

// The program with the given arguments, stdin closed; its exit code, stdout and stderr.
inline Outcome runLunavexa(const TempDir& dir, const std::string& arguments) {
    const std::string command = std::string(LV_LUNAVEXA_PROGRAM) + " " + arguments + " >" + quoted(dir.file("out")) +
                                " 2>" + quoted(dir.file("err")) + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir.file("out")), slurp(dir.file("err"))};
}

}  // namespace lv::test
