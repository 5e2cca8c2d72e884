// The upload worker (TLYWorker): an operation on the engine's one-at-a-time send queue that posts the
// envelope files, oldest first, to the log service (upload_protocol.h), removes each one posted,
// counts the requests, stops at the first failure, hands good replies to the log builder, and at the
// end releases the background task and tells the scheduler it is done.
//
// A post does not follow redirects: only a 200 from the log URL itself whose body reads back as the
// service's response record counts as accepted. Each post and the whole run are bounded in time, and
// a reply in size (upload_protocol.h).
//
// Threads: configured before it is queued; main() runs on the queue's thread, whose run loop carries
// each post's connection. Reply effects reach the
// builder on the main queue, in order (imprint first, then the id-tracking save).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/dispatch/operation.h"

namespace lv {

class TallyPack;

class TLYWorker : public Operation {
public:
    TLYWorker();

    // Paths of the files to post, oldest first.
    const std::vector<std::string>& envelopeFilePaths() const { return envelopeFilePaths_; }
    void setEnvelopeFilePaths(std::vector<std::string> paths) { envelopeFilePaths_ = std::move(paths); }
    // The builder that handles replies; the shared one unless set.
    void setPack(Ref<TallyPack> pack) { pack_ = std::move(pack); }
    // Seconds a post may stay idle (30 by default).
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // Seconds a whole post may take (30 by default) and a whole run (60 by default): no post starts
    // once the run's time is spent, and each is cut at what is left of it.
    void setPostTimeout(double seconds) { postTimeout_ = seconds; }
    void setRunBudget(double seconds) { runBudget_ = seconds; }
    // Called on the worker's thread when it ends (the scheduler clears its running flag).
    void setJobEndedHandler(std::function<void()> handler) { jobEnded_ = std::move(handler); }
    // Whether the app is in the background; the application's state unless set.
    void setAppInBackground(std::function<bool()> query) { appInBackground_ = std::move(query); }

    void main() override;

private:
    // Posts one file (with the fallback host); answers whether the run goes on (posted, or gone).
    bool postFile(const std::string& path);

    std::vector<std::string> envelopeFilePaths_;
    Ref<TallyPack> pack_;
    double timeoutInterval_;
    double postTimeout_;
    double runBudget_;
    std::chrono::steady_clock::time_point runStarted_;
    std::function<void()> jobEnded_;
    std::function<bool()> appInBackground_;
};

}  // namespace lv
