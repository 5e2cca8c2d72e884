#include "platform/ui/device.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"

namespace lv {
namespace {

std::mutex& factsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<DeviceFacts>& factsSlot() {
    static auto& facts = *new std::optional<DeviceFacts>;  // never destroyed: workers may ask during exit
    return facts;
}

// The interface of the default route (destination 0 in /proc/net/route), "" when none.
std::string defaultRouteInterface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination;
        if (fields >> name >> destination && destination == "00000000") return name;
    }
    return {};
}

std::string randomUUIDString() {
    unsigned char b[16];
    if (::getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return {};
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace

// The interface's link-level address as the kernel shows it ("/sys/class/net/<name>/address"); empty
// when it has none or the text is not six hexadecimal pairs.
static std::vector<std::uint8_t> hardwareAddressOf(const char* name) {
    std::vector<std::uint8_t> address;
    const std::string file = std::string("/sys/class/net/") + name + "/address";
    auto text = dataWithContentsOfFile(file);
    unsigned b[6] = {};
    if (!text) return address;
    const std::string line(text->begin(), text->end());
    if (std::sscanf(line.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) return address;
    if ((b[0] | b[1] | b[2] | b[3] | b[4] | b[5]) == 0) return address;  // loopback and the like
    for (const unsigned byte : b) address.push_back(static_cast<std::uint8_t>(byte));
    return address;
}

std::vector<NetworkInterface> DeviceFacts::machineNetworkInterfaces() {
    std::vector<NetworkInterface> interfaces;
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return interfaces;
    const std::string routed = defaultRouteInterface();
    for (auto* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        char address[INET_ADDRSTRLEN] = {};
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, entry->ifa_addr, sizeof ipv4);
        ::inet_ntop(AF_INET, &ipv4.sin_addr, address, sizeof address);
        NetworkInterface item;
        item.name = !routed.empty() && routed == entry->ifa_name ? "en0" : entry->ifa_name;
        item.ipv4Address = address;
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.hardwareAddress = hardwareAddressOf(entry->ifa_name);
        interfaces.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return interfaces;
}

std::vector<NetworkInterface> DeviceFacts::currentNetworkInterfaces() {
    auto facts = current();
    return facts.networkInterfaces ? *facts.networkInterfaces : machineNetworkInterfaces();
}

std::string Device::identifierForVendor() const {
    if (auto set = DeviceFacts::current().vendorIdentifier) return *set;
    const std::string file = path::appendingPathComponent(libraryDirectory(), ".identifierForVendor");
    if (auto kept = dataWithContentsOfFile(file, 36, nullptr); kept && kept->size() == 36) return std::string(kept->begin(), kept->end());
    const std::string made = randomUUIDString();
    if (made.empty()) return {};
    // Another process may make one at the same time: the first written is kept by both.
    writeToFile(std::span(reinterpret_cast<const std::uint8_t*>(made.data()), made.size()), file,
                kDataWritingAtomic | kDataWritingWithoutOverwriting, nullptr);
    auto kept = dataWithContentsOfFile(file, 36, nullptr);
    return kept && kept->size() == 36 ? std::string(kept->begin(), kept->end()) : std::string();
}

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
    static const Ref<Device>& device = *new Ref<Device>(makeRef<Device>());  // never destroyed
    return device;
}

Ref<Screen> Screen::mainScreen() {
    static const Ref<Screen>& screen = *new Ref<Screen>(makeRef<Screen>());  // never destroyed
    return screen;
}

}  // namespace lv
