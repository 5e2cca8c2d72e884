// The engine's link to the upload side: writing one envelope file from the engine's caches, the
// upload operation over a list of envelope files, and the engine as the log builder sees it.
//
// Threads: makeEnvelopeData runs on the main thread (it reads the engine's caches); the worker runs
// on the engine's send queue; packEngine's calls come on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/value.h"
#include "platform/dispatch/operation.h"

namespace lv {

class TallyPackEngine;
struct EnvelopeCommit;

class UploadLink {
public:
    // The envelope written to a new envelope file, or nothing when none was written (the engine
    // then keeps its caches). With a commit, the file gets its name only once commit->record agreed.
    static std::optional<Bytes> makeEnvelopeData(const EnvelopeCommit* commit = nullptr);
    // The upload operation for the files (oldest first); when it ends it sets TallyJob's jobRunning
    // to false.
    static Ref<Operation> makeWorker(std::vector<std::string> envelopeFilePaths);
    // The process's engine and scheduler as the log builder reads them; every call goes to the
    // current shared engine.
    static std::shared_ptr<TallyPackEngine> packEngine();
};

}  // namespace lv
