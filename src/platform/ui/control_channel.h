// The control channel: plays the system's part for a headless app. Each text line is one event:
//
//   activate                       become active (from the background: enter the foreground first)
//   resign                         resign active
//   background                     enter the background (resigning first when active)
//   terminate                      terminate (entering the background first, where the queued work
//                                  and the background tasks get their time); applicationMain returns
//   open-url <url> [<source>]      another program opens the URL (one of the app's own schemes)
//   remote-notification <json>     a remote notification arrives (a JSON object: the payload)
//   local-notification             the earliest scheduled local notification fires
//   memory-warning                 a memory warning
//   tap-alert <n>                  the user taps button n (0 = the first) of the front alert
//   expire-background-tasks        the background time runs out
//
// Words are separated by blanks; the JSON of remote-notification is the rest of the line. Blank lines
// and lines starting with "#" are skipped. A line that cannot run logs
// `control: ignored "<line>" (<reason>)`.
//
// Threads: execute() on the main thread; send() and listen() from any thread (lines run on the main
// queue).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace lv {

class ControlChannel {
public:
    // Runs the line now; true when it was a known command that took effect.
    static bool execute(std::string_view line);
    // Runs the line later on the main queue.
    static void send(std::string line);
    // Reads lines from the descriptor on a thread of its own until end of input and sends each one;
    // a last line without a line end counts. With closeAtEnd the descriptor is closed at the end.
    static void listen(int fd, bool closeAtEnd);
    // The same reading, each line handed to onLine on the main queue instead of run as an event.
    static void listen(int fd, bool closeAtEnd, std::function<void(std::string)> onLine, std::string threadName);
};

}  // namespace lv
