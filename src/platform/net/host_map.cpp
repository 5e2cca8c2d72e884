// Host map and trust anchors.
#include "platform/net/host_map.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace lv {

namespace {

struct HostTable {
    std::mutex mutex;
    std::map<std::string, HostEndpoint> entries;
    std::string anchors;
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

bool TrustAnchors::addPEMFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) return false;
    std::lock_guard lock(table().mutex);
    table().anchors += pem;
    if (table().anchors.back() != '\n') table().anchors += '\n';
    return true;
}

void TrustAnchors::clear() {
    std::lock_guard lock(table().mutex);
    table().anchors.clear();
}

std::string TrustAnchors::pem() {
    std::lock_guard lock(table().mutex);
    return table().anchors;
}

}  // namespace lv
