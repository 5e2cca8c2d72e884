// Host map.
#include "platform/net/host_map.h"

#include <charconv>
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

bool HostMap::setFromText(std::string_view entry) {
    const auto equals = entry.find('=');
    const auto colon = entry.rfind(':');
    if (equals == std::string_view::npos || colon == std::string_view::npos || colon < equals) return false;
    const std::string_view name = entry.substr(0, equals);
    const std::string_view host = entry.substr(equals + 1, colon - equals - 1);
    const std::string_view digits = entry.substr(colon + 1);
    int port = -1;
    const auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (name.empty() || host.empty() || digits.empty() || problem != std::errc() || end != digits.data() + digits.size() ||
        port < 0 || port > 65535) {
        return false;
    }
    set(name, std::string(host), port);
    return true;
}

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
