// The device's time zone and locale for one test, restored afterwards. For tests that link the time
// library.
#pragma once

#include <optional>

#include "platform/text/locale.h"
#include "platform/time/time_zone.h"

namespace lv::test {

class DeviceSettings {
public:
    DeviceSettings(const char* zone, const char* locale) {
        TimeZone::setDefault(TimeZone::named(zone));
        Locale::setCurrent(Locale(locale));
    }
    ~DeviceSettings() {
        TimeZone::setDefault(std::nullopt);
        Locale::setCurrent(std::nullopt);
    }
    DeviceSettings(const DeviceSettings&) = delete;
    DeviceSettings& operator=(const DeviceSettings&) = delete;
};

}  // namespace lv::test
