#include "analytics/work_dispatch.h"

#include <mutex>

#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "platform/dispatch/queue.h"

namespace lv {

void TLYWorkDispatch::sendEvent(Value object, std::int16_t type) {
    static std::mutex postingLock;  // serialises posting, as the shared dispatcher's lock does
    // The state the caller sees now: an item sent in the same turn as a resign still belongs to the
    // session that was running.
    const auto session = TallySession::sharedInstance();
    TLYDispatchEvent event{type, std::move(object), !session->appInBackGround() && session->sessionStatus() != 0};
    std::lock_guard lock(postingLock);
    Queue::main()->async([event = std::move(event)] { TallyInternal::sharedInstance()->workEvent(event); });
}

}  // namespace lv
