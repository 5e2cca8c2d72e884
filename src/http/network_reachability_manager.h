// The HTTP client's reachability manager: watches whether a host name, an address or the network in
// general can be reached, and reports each change to a status block and as a notification on the
// main queue. The shared manager watches the zero address; nothing starts it unless its user does.
//
// Threads: create and configure anywhere; monitoring delivers on the main thread (status, then the
// block, then the notification, posted asynchronously on the main queue). The status is atomic and
// may be read from any thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/net/reachability.h"

namespace lv {

enum class HCNetworkReachabilityStatus : std::int64_t {
    Unknown = -1,
    NotReachable = 0,
    ReachableViaWWAN = 1,
    ReachableViaWiFi = 2,
};

// What the reachability object was made for.
enum class HCNetworkReachabilityAssociation : std::uint64_t { ForAddress = 1, ForAddressPair = 2, ForName = 3 };

inline constexpr std::string_view kHCNetworkingReachabilityDidChangeNotification =
    "com.httpclient.networking.reachability.change";
inline constexpr std::string_view kHCNetworkingReachabilityNotificationStatusItem =
    "HCNetworkingReachabilityNotificationStatusItem";

// Reachable (without a required connection, or with one made automatically without the user) gives
// WWAN or Wi-Fi by the WWAN bit; anything else is not reachable.
HCNetworkReachabilityStatus HCNetworkReachabilityStatusForFlags(ReachabilityFlags flags);
// "Not Reachable", "Reachable via WWAN", "Reachable via WiFi" or "Unknown", through the main bundle's
// "HCNetworking" table.
std::string HCStringFromNetworkReachabilityStatus(HCNetworkReachabilityStatus status);

class HCNetworkReachabilityManager : public Object {
public:
    using StatusBlock = std::function<void(HCNetworkReachabilityStatus status)>;

    // Takes over the reachability object (it may be null: then monitoring does nothing); status -1.
    explicit HCNetworkReachabilityManager(Ref<NetworkReachability> reachability);
    ~HCNetworkReachabilityManager() override;

    // One per process, for the zero IPv4 address (the network in general).
    static const Ref<HCNetworkReachabilityManager>& sharedManager();
    static Ref<HCNetworkReachabilityManager> managerForDomain(std::string_view domain);
    static Ref<HCNetworkReachabilityManager> managerForAddress(const sockaddr* address, socklen_t length);

    HCNetworkReachabilityStatus networkReachabilityStatus() const { return status_.load(); }
    // Sets the status and announces it (and the three reachability readings that follow from it) to
    // property observers.
    void setNetworkReachabilityStatus(HCNetworkReachabilityStatus status);
    bool isReachable() const { return isReachableViaWWAN() || isReachableViaWiFi(); }
    bool isReachableViaWWAN() const { return networkReachabilityStatus() == HCNetworkReachabilityStatus::ReachableViaWWAN; }
    bool isReachableViaWiFi() const { return networkReachabilityStatus() == HCNetworkReachabilityStatus::ReachableViaWiFi; }

    const Ref<NetworkReachability>& networkReachability() const { return reachability_; }
    HCNetworkReachabilityAssociation networkReachabilityAssociation() const { return association_.load(); }
    void setNetworkReachabilityAssociation(HCNetworkReachabilityAssociation association) { association_ = association; }

    void setReachabilityStatusChangeBlock(StatusBlock block);
    StatusBlock networkReachabilityStatusBlock() const;

    // Stops first, then schedules the reachability object on the main run loop (common modes). Except
    // for a name target, the current flags are read once on a background queue and reported on the
    // main queue; a name target reports its first status through its change callback.
    void startMonitoring();
    void stopMonitoring();

    std::string localizedNetworkReachabilityStatusString() const {
        return HCStringFromNetworkReachabilityStatus(networkReachabilityStatus());
    }

    // {"networkReachabilityStatus"} for "reachable", "reachableViaWWAN" and "reachableViaWiFi"; empty
    // for any other key.
    static std::set<std::string> keyPathsForValuesAffectingValueForKey(std::string_view key);

private:
    const Ref<NetworkReachability> reachability_;
    std::atomic<HCNetworkReachabilityAssociation> association_{HCNetworkReachabilityAssociation::ForAddress};
    std::atomic<HCNetworkReachabilityStatus> status_{HCNetworkReachabilityStatus::Unknown};
    mutable std::mutex blockMutex_;
    StatusBlock statusBlock_;
};

}  // namespace lv
