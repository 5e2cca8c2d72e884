#include "platform/ui/device.h"

#include <sys/utsname.h>

#include <mutex>
#include <optional>

namespace lv {
namespace {

std::mutex& factsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<DeviceFacts>& factsSlot() {
    static std::optional<DeviceFacts> facts;
    return facts;
}

}  // namespace

DeviceFacts DeviceFacts::machineDefaults() {
    DeviceFacts facts;
    struct utsname name {};
    if (::uname(&name) == 0) {
        facts.machineName = name.machine;
        facts.systemName = name.sysname;
        facts.model = name.sysname;
        facts.systemVersion = name.release;
    }
    facts.screenSize = Size{320, 568};
    facts.screenScale = 2;
    return facts;
}

DeviceFacts DeviceFacts::current() {
    std::lock_guard lock(factsMutex());
    if (!factsSlot()) factsSlot() = machineDefaults();
    return *factsSlot();
}

void DeviceFacts::set(DeviceFacts facts) {
    std::lock_guard lock(factsMutex());
    factsSlot() = std::move(facts);
}

void DeviceFacts::reset() {
    std::lock_guard lock(factsMutex());
    factsSlot().reset();
}

Ref<Device> Device::currentDevice() {
    static const Ref<Device> device = makeRef<Device>();
    return device;
}

Ref<Screen> Screen::mainScreen() {
    static const Ref<Screen> screen = makeRef<Screen>();
    return screen;
}

}  // namespace lv
