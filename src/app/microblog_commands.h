// The lunavexa command's Microblog subcommands, which play the screens' part after the launch: login
// (the chart screen's login), share (the share screen), logout (the settings' logout) and open-url
// (another program opening a URL in the app).
//
// Threads: main thread (inside the application main loop).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lv {

bool isMicroblogCommand(const std::string& command);
// The usage problem of the arguments, empty when they are fine.
std::string checkMicroblogArguments(const std::string& command, const std::map<std::string, std::string>& arguments,
                                    const std::vector<std::string>& positional);
// Runs the subcommand; done gets the exit code (0 success, 1 failure) once it has finished.
void runMicroblogCommand(const std::string& command, const std::map<std::string, std::string>& arguments,
                         const std::vector<std::string>& positional, std::function<void(int)> done);

}  // namespace lv
