// Host map.
#include "platform/net/host_map.h"

#include <map>
#include <mutex>

namespace lv {

namespace {

struct HostTable {
    std::mutex mutex;
    std::map<std::string, HostEndpoint> entries;
};

HostTable& table() {
    static auto* instance = new HostTable;  // never destroyed: transfers may run during exit
    return *instance;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

void HostMap::set(std::string_view key, std::string targetHost, int targetPort) {
    std::lock_guard lock(table().mutex);
    table().entries[lowered(key)] = HostEndpoint{std::move(targetHost), targetPort};
}

void HostMap::remove(std::string_view key) {
    std::lock_guard lock(table().mutex);
    table().entries.erase(lowered(key));
}

void HostMap::clear() {
    std::lock_guard lock(table().mutex);
    table().entries.clear();
}

std::optional<HostEndpoint> HostMap::lookup(std::string_view host, int port) {
    const std::string name = lowered(host);
    std::lock_guard lock(table().mutex);
    auto& entries = table().entries;
    auto found = entries.find(name + ":" + std::to_string(port));
    if (found == entries.end()) found = entries.find(name);
    if (found == entries.end()) return std::nullopt;
    HostEndpoint target = found->second;
    if (target.port == 0) target.port = port;
    return target;
}

}  // namespace lv
