// The two calls the engine makes into the upload side: writing one envelope file from the engine's
// caches, and the upload operation over a list of envelope files. Until the envelope writer and the
// upload worker exist, the envelope writer writes nothing and the worker only ends its run.
//
// Threads: makeEnvelopeData runs on the main thread (it reads the engine's caches); the worker runs
// on the engine's send queue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/base/value.h"
#include "platform/dispatch/operation.h"

namespace lv {

class EnvelopeSeam {
public:
    // The envelope written to a new envelope file, or nothing when none was written (the engine
    // then keeps its caches).
    static std::optional<Bytes> makeEnvelopeData();
    // The upload operation for the files (oldest first); when it ends it sets TallyJob's jobRunning
    // to false.
    static Ref<Operation> makeWorker(std::vector<std::string> envelopeFilePaths);
};

}  // namespace lv
