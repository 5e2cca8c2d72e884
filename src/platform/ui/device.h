// Device and screen facts: one settable set of facts (machine name, model, system name and version,
// main screen size and scale, interface idiom, network interfaces, carrier, vendor identifier) that
// Device and Screen answer from. The defaults are this machine's own facts (uname, getifaddrs); a
// headless machine has no screen, so the screen defaults to a phone screen of 320 x 568 points at
// scale 2, and it has no carrier. The vendor identifier is a random UUID kept in the sandbox.
//
// Threads: the facts may be read and set from any thread (a lock guards them); tests set them before
// the code under test reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/object.h"
#include "platform/ui/geometry.h"

namespace lv {

// One network interface as getifaddrs lists it (one entry per IPv4 address).
struct NetworkInterface {
    NetworkInterface() = default;
    NetworkInterface(std::string name_, std::string ipv4Address_, bool up_, bool loopback_,
                     std::vector<std::uint8_t> hardwareAddress_ = {})
        : name(std::move(name_)), ipv4Address(std::move(ipv4Address_)), up(up_), loopback(loopback_),
          hardwareAddress(std::move(hardwareAddress_)) {}
    std::string name;         // the interface's default-route name is given as "en0"
    std::string ipv4Address;  // dotted text
    bool up = false;
    bool loopback = false;
    std::vector<std::uint8_t> hardwareAddress;  // the link-level (MAC) address; empty when it has none (or all zero)
    bool operator==(const NetworkInterface&) const = default;
};

struct DeviceFacts {
    std::string machineName;    // the hardware machine name, as uname's machine field ("x86_64")
    std::string model;          // the device model
    std::string systemName;     // the operating system's name
    std::string systemVersion;  // its version text
    Size screenSize;            // the main screen's size in points
    double screenScale = 1;     // pixels per point
    bool tabletIdiom = false;   // the interface idiom is the tablet one
    std::string carrierName;    // the cellular provider's name; none here
    // Set: these interfaces; unset: this machine's, read on every call.
    std::optional<std::vector<NetworkInterface>> networkInterfaces;
    // Set: this identifier; unset: the one kept in the sandbox.
    std::optional<std::string> vendorIdentifier;

    // The facts in force.
    static DeviceFacts current();
    // Replaces the facts in force (tests, the command's options).
    static void set(DeviceFacts facts);
    // Back to the machine's own facts.
    static void reset();
    // The machine's own facts: uname's machine, system name (also the model) and release.
    static DeviceFacts machineDefaults();
    // The interfaces in force: the set ones, else machineNetworkInterfaces().
    static std::vector<NetworkInterface> currentNetworkInterfaces();
    // This machine's IPv4 interfaces; the one that carries the default route is named "en0".
    static std::vector<NetworkInterface> machineNetworkInterfaces();
};

// The current device; every reading comes from DeviceFacts::current().
class Device : public Object {
public:
    static Ref<Device> currentDevice();
    std::string model() const { return DeviceFacts::current().model; }
    std::string systemName() const { return DeviceFacts::current().systemName; }
    std::string systemVersion() const { return DeviceFacts::current().systemVersion; }
    std::string machineName() const { return DeviceFacts::current().machineName; }
    // The set identifier, else the sandbox's "Library/.identifierForVendor" (an upper-case UUID made
    // and written, never replacing, on first use); "" when it can be neither read nor made.
    std::string identifierForVendor() const;
};

// The main screen; every reading comes from DeviceFacts::current().
class Screen : public Object {
public:
    static Ref<Screen> mainScreen();
    // The screen's size in points at origin (0, 0).
    Rect bounds() const { return Rect(Point{}, DeviceFacts::current().screenSize); }
    double scale() const { return DeviceFacts::current().screenScale; }
};

}  // namespace lv
