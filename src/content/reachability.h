// The content core's reachability wrapper (Reachability) and its one use, the launch's network probe
// (CheckNetwork): synchronous readings of a host's or an address's reachability flags, and an optional
// notifier that runs blocks on a serial queue and posts "kReachabilityChangedNotification" on the
// main queue when the flags change.
//
// Threads: readings run on the caller's thread and wait for the platform's answer (a name lookup is
// bounded at about 2 s, a late answer counting as unreachable). Blocks run on the object's serial
// queue; the blocks and the notifier state are guarded by a lock.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/dispatch/queue.h"
#include "platform/net/reachability.h"

namespace lv {

enum class NetworkStatus : std::int64_t { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

inline constexpr std::string_view kReachabilityChangedNotification = "kReachabilityChangedNotification";

// The flag rules, as pure functions of the flags: reachable unless the reachable bit is clear or the
// connection is transient and required, and a WWAN path counts only when reachableOnWWAN allows it.
bool reachabilityFlagsAreReachable(ReachabilityFlags flags, bool reachableOnWWAN);
// 0 when not reachable; otherwise 2 without the WWAN bit, 1 with it.
NetworkStatus networkStatusForFlags(ReachabilityFlags flags, bool reachableOnWWAN);
// "WR ctiCDld" with "-" for each clear flag: WWAN, reachable, a blank, connection required,
// transient, intervention required, on traffic, on demand, local address, direct.
std::string reachabilityFlagsString(ReachabilityFlags flags);

class Reachability : public Object {
public:
    using Block = std::function<void(const Ref<Reachability>& reachability)>;

    // Each gives a new object, or nullptr when the target cannot be made.
    static Ref<Reachability> reachabilityWithHostName(std::string_view hostName) {
        return reachabilityWithHostname(hostName);
    }
    static Ref<Reachability> reachabilityWithHostname(std::string_view hostName);
    static Ref<Reachability> reachabilityWithAddress(const sockaddr* address, socklen_t length);
    // The IPv4 address 0.0.0.0: the internet in general.
    static Ref<Reachability> reachabilityForInternetConnection();
    // The IPv4 link-local network 169.254.0.0.
    static Ref<Reachability> reachabilityForLocalWiFi();

    // Takes over the target; reachableOnWWAN is true; makes the serial queue.
    explicit Reachability(Ref<NetworkReachability> reachabilityRef);
    ~Reachability() override;

    // Starts delivering flag changes to reachabilityChanged on the serial queue; the object keeps itself
    // alive (reachabilityObject) until stopNotifier. True at once when it already runs.
    bool startNotifier();
    void stopNotifier();

    bool isReachableWithFlags(ReachabilityFlags flags) const;
    // Readings of the current flags (false, or 0, when they cannot be read).
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool isConnectionRequired() const { return connectionRequired(); }
    bool connectionRequired() const;
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    // From one reading of the flags.
    NetworkStatus currentReachabilityStatus() const;
    ReachabilityFlags reachabilityFlags() const;
    // "Cellular", "WiFi" or "No Connection", through the main bundle's string table.
    std::string currentReachabilityString() const;
    std::string currentReachabilityFlags() const { return reachabilityFlagsString(reachabilityFlags()); }

    // Runs reachableBlock or unreachableBlock by the flags, then posts the change notification (this
    // object as sender) asynchronously on the main queue.
    void reachabilityChanged(ReachabilityFlags flags);

    // "<Reachability: 0x… (-R -------)>".
    std::string description() const override;

    Block reachableBlock() const;
    void setReachableBlock(Block block);
    Block unreachableBlock() const;
    void setUnreachableBlock(Block block);
    bool reachableOnWWAN() const;
    void setReachableOnWWAN(bool reachable);
    const Ref<NetworkReachability>& reachabilityRef() const { return reachabilityRef_; }
    const Ref<Queue>& reachabilitySerialQueue() const { return reachabilitySerialQueue_; }
    Ref<Reachability> reachabilityObject() const;

private:
    bool readFlags(ReachabilityFlags* flags) const;

    const Ref<NetworkReachability> reachabilityRef_;
    const Ref<Queue> reachabilitySerialQueue_;
    mutable std::mutex mutex_;
    Block reachableBlock_;
    Block unreachableBlock_;
    bool reachableOnWWAN_ = true;
    Ref<Reachability> reachabilityObject_;
};

// The launch's probe of a fixed public host (redirectable through the host map like every outside
// host).
class CheckNetwork : public Object {
public:
    static constexpr std::string_view kProbeHost = "www.baidu.com";
    // True when the probe host reads reachable (status 1 or 2); false when not, when the lookup does
    // not answer within its bound, or when the target cannot be made.
    static bool isExistenceNetwork();
};

}  // namespace lv
