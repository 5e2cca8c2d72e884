// `PNReachability`: the push client's view of network reachability over the platform's reachability
// targets: targets for a host, an IPv4 address, the internet (0.0.0.0) and the link-local network
// (169.254.0.0); flag queries, a status value and its text, the flag text; and a notifier that calls
// the reachable or unreachable block on a private serial queue and then posts
// "kReachabilityChangedNotification" (object: the reachability object) on the main queue.
//
// Threads: queries may be made from any thread. The blocks run on the notifier's private queue;
// setting them is locked. While the notifier runs the object holds itself, so it lives until
// stopNotifier().
#pragma once

#include <netinet/in.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/dispatch/queue.h"
#include "platform/net/reachability.h"

namespace lv {

inline constexpr std::string_view kPNReachabilityChangedNotification = "kReachabilityChangedNotification";

enum PNNetworkStatus : int { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

class PNReachability : public Object {
public:
    using Block = std::function<void(const Ref<PNReachability>&)>;

    // Each gives null when the platform cannot make the target.
    static Ref<PNReachability> reachabilityWithHostname(std::string_view hostname);
    static Ref<PNReachability> reachabilityWithAddress(const sockaddr_in& address);
    static Ref<PNReachability> reachabilityForInternetConnection();
    static Ref<PNReachability> reachabilityForLocalWiFi();
    // Takes the target; reachableOnWWAN starts YES.
    explicit PNReachability(Ref<NetworkReachability> reachabilityRef);
    ~PNReachability() override;

    bool reachableOnWWAN() const;
    void setReachableOnWWAN(bool value);
    void setReachableBlock(Block block);
    void setUnreachableBlock(Block block);

    // Reachable, not (connection required and transient), and WWAN only when reachableOnWWAN.
    bool isReachableWithFlags(ReachabilityFlags flags) const;
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool connectionRequired() const;
    bool isConnectionRequired() const { return connectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    PNNetworkStatus currentReachabilityStatus() const;
    // The raw flags, 0 when they cannot be read.
    ReachabilityFlags reachabilityFlags() const;
    // "%c%c %c%c%c%c%c%c%c": W R, blank, c t i C D l d, each "-" when unset.
    std::string currentReachabilityFlags() const;
    // "Cellular", "WiFi" or "No Connection", through the main bundle's strings.
    std::string currentReachabilityString() const;

    // YES when change reporting runs.
    bool startNotifier();
    // Harmless when the notifier is not running.
    void stopNotifier();

private:
    void reachabilityChanged(ReachabilityFlags flags);

    const Ref<NetworkReachability> reachabilityRef_;
    mutable std::mutex mutex_;
    bool reachableOnWWAN_ = true;
    Ref<Queue> reachabilitySerialQueue_;
    Block reachableBlock_;
    Block unreachableBlock_;
    Ref<PNReachability> reachabilityObject_;
};

}  // namespace lv
