#include "analytics/envelope_seam.h"

#include "analytics/tally_job.h"

namespace lv {

std::optional<Bytes> EnvelopeSeam::makeEnvelopeData() { return std::nullopt; }

Ref<Operation> EnvelopeSeam::makeWorker(std::vector<std::string> envelopeFilePaths) {
    return BlockOperation::make([paths = std::move(envelopeFilePaths)] {
        (void)paths;
        TallyJob::sharedInstance()->setJobRunning(false);
    });
}

}  // namespace lv
