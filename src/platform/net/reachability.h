// Network reachability: whether an address or a host name can be reached from this machine, in the
// platform's flag bits, read synchronously or reported when the network changes.
//
// How the flags are found: the kernel is asked for its route to the address (rtnetlink), so nothing
// is ever sent to it. A local address gives reachable + local + direct, an on-link one reachable +
// direct, one behind a gateway reachable, no route 0. The zero address (IPv4 0.0.0.0 or IPv6 ::)
// stands for the network in general: reachable while an interface other than loopback is up with an
// address. A name target is looked up first (through the host map's bare-name entry when it has
// one), waiting at most nameLookupTimeout(); a failed or late lookup gives 0, and otherwise the first
// of its addresses that is reachable decides. Transient, connection-required, on-traffic, on-demand,
// intervention-required and WWAN never occur unless the test override says so.
//
// Changes: one netlink socket subscribed to the kernel's link, address and route messages is watched
// on a private serial queue; on each batch every scheduled target's flags are read again and its
// callback runs when they differ from those it last reported. A name target also reports once when it
// is scheduled (its first lookup); an address target does not.
//
// Threads: every call may come from any thread. Callbacks run on the run loop (in the mode) or the
// dispatch queue the target is scheduled on, never after it was unscheduled there.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"

namespace lv {

// The platform's reachability flag bits.
using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr ReachabilityFlags kReachabilityFlagsReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags kReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags kReachabilityFlagsIsDirect = 1u << 17;
inline constexpr ReachabilityFlags kReachabilityFlagsIsWWAN = 1u << 18;

namespace net_detail {
struct SocketAddress;
class ReachabilityWatcher;
}  // namespace net_detail

class NetworkReachability : public Object {
public:
    using Callback = std::function<void(ReachabilityFlags flags)>;

    // A target for an IPv4 or IPv6 socket address (copied); nullptr for another family or a null
    // address.
    static Ref<NetworkReachability> createWithAddress(const sockaddr* address, socklen_t length);
    // A target for a host name (or address text); nullptr for an empty name.
    static Ref<NetworkReachability> createWithName(std::string_view name);

    bool isNameTarget() const { return !name_.empty(); }
    const std::string& name() const { return name_; }

    // Reads the current flags into *flags. False (and *flags untouched) when the kernel could not be
    // asked. A name target waits for its lookup at most nameLookupTimeout().
    bool getFlags(ReachabilityFlags* flags) const;

    // The change callback; an empty one removes it. Always true.
    bool setCallback(Callback callback);
    // Delivers changes on the loop in the mode (kRunLoopCommonModes for the common modes). False when
    // the target is already scheduled elsewhere or the loop is null.
    bool scheduleWithRunLoop(const Ref<RunLoop>& loop, std::string_view mode);
    // Stops delivery on that loop and mode; false when it was not scheduled there.
    bool unscheduleFromRunLoop(const Ref<RunLoop>& loop, std::string_view mode);
    // Delivers changes on the queue; a null queue stops queue delivery. False when the target is
    // scheduled on a run loop.
    bool setDispatchQueue(const Ref<Queue>& queue);

    // Test override: while set, every target reads these flags (no route or name lookup), and each
    // change of the override is reported to the scheduled targets as a network change would be. The
    // change waits for the readings already queued (the first reading of targets scheduled before it).
    static void setFlagsOverride(std::optional<ReachabilityFlags> flags);
    static std::optional<ReachabilityFlags> flagsOverride();
    // The bound of a name lookup: 2 seconds.
    static constexpr double nameLookupTimeout() { return 2.0; }

    // Internal.
    NetworkReachability(std::string name, std::unique_ptr<net_detail::SocketAddress> address);
    ~NetworkReachability() override;
    // Runs on the watcher's queue: reads the flags and delivers them when they differ from the last
    // reading (a name target also delivers its first reading).
    void evaluate();

private:
    struct Delivery {
        Ref<RunLoop> loop;
        std::string mode;
        Ref<Queue> queue;
        std::uint64_t generation = 0;
        bool scheduled() const { return loop || queue; }
    };
    bool readFlags(ReachabilityFlags* flags) const;
    void scheduledChanged(bool wasScheduled);

    const std::string name_;
    const std::unique_ptr<net_detail::SocketAddress> address_;
    mutable std::mutex mutex_;
    Callback callback_;
    Delivery delivery_;
    std::optional<ReachabilityFlags> lastReported_;  // watcher queue only
};

}  // namespace lv
