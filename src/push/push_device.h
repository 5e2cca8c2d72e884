// `PNDevice`: the device token the platform hands over, as token text (lower-case hexadecimal, two
// digits per byte), kept in the keychain; a token different from the stored one first unregisters the
// stored one with the push server.
//
// Threads: main thread (it may start an unregister operation, which lives there).
#pragma once

#include <optional>
#include <string>

#include "platform/base/error.h"
#include "platform/base/value.h"
#include "push/push_config.h"

namespace lv {

class PNDevice {
public:
    static PNDevice& getInstance();

    // The token text of the data (none for none). A first token is saved; a different stored token is
    // unregistered and the new one saved; an equal one writes nothing.
    PNText getDeviceToken(const std::optional<Bytes>& token);
    // The stored token (PNStore's).
    PNText getLocalDeviceToken() const;
    // The error's localised description.
    std::string getDeviceTokenErrorInfo(const Ref<Error>& error) const;
};

}  // namespace lv
