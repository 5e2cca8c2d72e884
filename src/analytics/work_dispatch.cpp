#include "analytics/work_dispatch.h"

#include <mutex>

#include "analytics/tally_internal.h"
#include "platform/dispatch/queue.h"

namespace lv {

void TLYWorkDispatch::sendEvent(Value object, std::int16_t type) {
    static std::mutex postingLock;  // serialises posting, as the shared dispatcher's lock does
    TLYDispatchEvent event{type, std::move(object)};
    std::lock_guard lock(postingLock);
    Queue::main()->async([event = std::move(event)] { TallyInternal::sharedInstance()->workEvent(event); });
}

}  // namespace lv
