// The analytics work dispatcher: public calls wrap what they recorded into a work item
// (TLYDispatchEvent: a type number and an object) and hand it to the engine on the main thread.
//
// Threads: sendEvent may be called from any thread; the item is always queued on the main run loop
// (never run inline, even from the main thread), where the engine takes it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

struct TLYDispatchEvent {
    std::int16_t eEventType = 0;
    Value object;  // held strongly; nil for types without an object
    // Whether the app was active with a session begun when the item was sent (the engine files the
    // item by that, not by the state when it runs); none: the engine's current state.
    std::optional<bool> inSession;
};

class TLYWorkDispatch {
public:
    static void sendEvent(Value object, std::int16_t type);
};

}  // namespace lv
