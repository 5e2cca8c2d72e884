// The two roads a request takes through the URL engine, connections and session tasks, each giving
// the loaded reply as an Outcome, so that a test can run its cases over both.
#pragma once

#include <string>
#include <utility>

#include "recorder.h"
#include "session_recorder.h"

namespace lv::test {

// A loaded reply as either road saw it: the body, the error code (0 on success).
struct Outcome {
    std::string body;
    int code = 0;
};

inline Outcome loadByConnection(const URLRequest& request) {
    const auto r = load(request);
    return {r->bodyText(), errorCode(r->error)};
}

inline Outcome loadBySession(const URLRequest& request) {
    auto recorder = std::make_shared<SessionRecorder>();
    auto session = URLSession::sessionWithConfiguration(nullptr, recorder);
    auto task = session->dataTaskWithRequest(request);
    runTask(task, *recorder);
    session->finishTasksAndInvalidate();
    return {recorder->bodyText(), errorCode(task->error())};
}

using Road = Outcome (*)(const URLRequest&);
inline const std::pair<const char*, Road> kRoads[] = {{"connection", loadByConnection}, {"session", loadBySession}};

}  // namespace lv::test
