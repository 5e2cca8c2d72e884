#include "analytics/imprint.h"

#include <algorithm>

#include "analytics/analytics_log.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_pack.h"
#include "analytics/tly_util.h"
#include "analytics/upload_protocol.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/security/digest.h"
#include "platform/text/compare.h"
#include "platform/text/locale.h"
#include "platform/text/strings.h"

namespace lv {
namespace {

void logException(const Exception& e) { log("Exception occurred: %@, %@", e.description(), Value(e.userInfo())); }

// Text as the platform prints a possibly missing object.
const std::string& orNull(const PackText& text) {
    static const std::string& kNull = *new std::string("(null)");
    return text ? *text : kNull;
}

constexpr std::string_view kGroupInfoKey = "tlyExperimentGroupInfo";
constexpr std::string_view kExperimentRPTKey = "tlyExperimentRPT";

}  // namespace

CheckedReply checkReply(std::span<const std::uint8_t> body) {
    TPKResponse response;
    CheckedReply reply;
    try {
        TPKMemoryBuffer buffer(body);
        TPKBinaryProtocol protocol(buffer);
        response.read(protocol);
        reply.readBack = response.resp_codeIsSet();
    } catch (const Exception& e) {
        logException(e);
    }
    reply.success = response.resp_codeIsSet() && response.resp_code() == 1;
    if (reply.success && imprintChecksumHolds(response.imprint())) reply.imprint = response.imprint();
    return reply;
}

std::string imprintChecksum(const TPKImprint& imprint) {
    std::string text;
    if (const auto& property = imprint.property()) {
        std::vector<const std::pair<const std::string, TPKImprintValue>*> entries;
        for (const auto& entry : *property) entries.push_back(&entry);
        // Case-insensitive in the root collation, whatever the device's language: the server's sum
        // cannot follow it (on da, nb, cs or sk "aa" sorts after "z" and "ch" after "h").
        static const Locale& root = *new Locale("root");  // never destroyed
        std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
            return text::localizedCaseInsensitiveCompare(a->first, b->first, root) < 0;
        });
        for (const auto* entry : entries) {
            const TPKImprintValue& value = entry->second;
            text += entry->first;
            if (value.valueIsSet()) text += orNull(value.value());
            text += std::to_string(value.ts());
            text += orNull(value.guid());
        }
    }
    text += std::to_string(imprint.version());
    return upload_protocol::lowerHex(md5Digest(text));
}

bool imprintChecksumHolds(const std::optional<TPKImprint>& imprint) {
    if (!imprint || !imprint->property()) return false;
    return imprint->checksum() && *imprint->checksum() == imprintChecksum(*imprint);
}

std::optional<TPKImprint> storedImprint() {
    const Value stored = TallyConfig::configureWithKey("tlyImprint");
    if (!stored.isData()) return std::nullopt;
    TPKImprint imprint;
    try {
        TPKMemoryBuffer buffer(stored.bytes());
        TPKBinaryProtocol protocol(buffer);
        imprint.read(protocol);
    } catch (const Exception& e) {
        logException(e);
    }
    return imprint;
}

void storeImprint(const TPKImprint& imprint) {
    TPKMemoryBuffer buffer;
    try {
        TPKBinaryProtocol protocol(buffer);
        imprint.write(protocol);
    } catch (const Exception& e) {
        logException(e);
    }
    TallyConfig::setConfigure(Value(buffer.takeBuffer()), "tlyImprint");
}

float signatureDraw(std::span<const std::uint8_t> signature, std::size_t index) {
    // Five bytes are read at the index; a shorter signature gives no draw.
    if (signature.empty() || signature.size() < index + 5) return 0.0f;
    const std::uint32_t u = (std::uint32_t{signature[index]} << 12) | (std::uint32_t{signature[index + 1]} << 4) |
                            (std::uint32_t{signature[index + 2]} >> 4);
    return static_cast<float>(static_cast<double>(u) * 0.00000095367431640625);
}

void applyExperiment(std::string_view definition, const std::function<float(std::size_t)>& draw) {
    if (TLYUtil::isEmptyString(Value(definition))) return;
    const std::vector<std::string> fields = text::split(definition, "|");
    if (fields.size() != 6) {
        TLYAnalyticsLog("ERROR: experiment params invalid.");
        return;
    }
    const std::vector<std::string> groups = text::split(fields[1], ",");
    const std::vector<std::string> values = text::split(fields[5], ",");
    if (groups.empty() || values.empty()) {
        TLYAnalyticsLog("ERROR: experiment params invalid.");
        return;
    }

    std::int32_t group = 0;  // 0: none chosen
    if (fields[0] == "SIG7" && groups.size() == values.size()) {
        const double p = draw(6);
        double sum = 0;
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const double weight = readDouble(groups[i]);
            if (p > sum - 0.000001 && p < sum + weight) {
                group = static_cast<std::int32_t>(i + 1);
                break;
            }
            sum += weight;
        }
    } else if (fields[0] == "FIXED") {
        if (groups.size() > values.size()) {
            TLYAnalyticsLog("ERROR: unknow experiment group key");
        } else {
            const std::int32_t fixed = readInt(fields[1]);
            if (fixed >= 1 && static_cast<std::size_t>(fixed) <= values.size()) group = fixed;
        }
    } else {
        TLYAnalyticsLog("ERROR: unknow experiment group key");
    }

    std::optional<std::int32_t> value;
    if (group != 0 && fields[2] == "SIG13") {
        const double q = draw(12);
        if (q < readDouble(fields[3])) {
            if (fields[4] == "RPT") {
                value = readInt(values[static_cast<std::size_t>(group - 1)]);
            } else {
                TLYAnalyticsLog("ERROR: unknow experiment test key");
            }
        }
    }

    const Value stored = TallyConfig::configureWithKey(kGroupInfoKey);
    Dictionary info = stored.isDictionary() ? stored.dictionary() : Dictionary{};
    if (fields[4] == "RPT") {
        if (group != 0 && value) {
            info.set("RPT", Value(group));
            TallyConfig::setConfigure(Value(*value), kExperimentRPTKey);
        } else {
            info.remove("RPT");
            TallyConfig::removeConfigureWithKey(kExperimentRPTKey);
        }
    }
    TallyConfig::setConfigure(Value(std::move(info)), kGroupInfoKey);
}

// TallyPack's reply, imprint and experiment operations.

std::string TallyPack::generateImprintChecksum(const TPKImprint& imprint) { return imprintChecksum(imprint); }

bool TallyPack::validateImprintChecksum(const std::optional<TPKImprint>& imprint) {
    return imprintChecksumHolds(imprint);
}

std::optional<std::string> TallyPack::imprintPropertyValueWithKey(std::string_view key) {
    const std::optional<TPKImprint> imprint = storedImprint();
    if (!imprint || !imprint->property()) return std::nullopt;
    const auto found = imprint->property()->find(std::string(key));
    if (found == imprint->property()->end()) return std::nullopt;
    return found->second.value();
}

bool TallyPack::verifyResponseData(std::span<const std::uint8_t> body) {
    CheckedReply reply = checkReply(body);
    if (reply.imprint) {
        // The builder's state belongs to the main thread: the imprint is applied there.
        Ref<TallyPack> self = std::static_pointer_cast<TallyPack>(shared_from_this());
        Queue::main()->async([self, imprint = std::move(*reply.imprint)] { self->updateImprint(imprint); });
    }
    return reply.success;
}

void TallyPack::updateImprint(const TPKImprint& server) {
    TPKImprint local = storedImprint().value_or(TPKImprint{});
    if (!local.property()) local.setProperty(std::map<std::string, TPKImprintValue>{});
    const std::map<std::string, TPKImprintValue> serverMap = server.property().value_or(std::map<std::string, TPKImprintValue>{});

    if (const auto defcon = serverMap.find("defcon"); defcon != serverMap.end()) {
        std::int32_t level = 0;
        if (defcon->second.valueIsSet()) {
            const std::string text = defcon->second.value().value_or("");
            const std::int32_t n = readInt(text);
            if (n >= 0 && n <= 3) {
                level = n;
                TallyConfig::setConfigure(Value(text), "tlyDefcon");
            } else {
                TallyConfig::setConfigure(Value("0"), "tlyDefcon");
            }
        } else {
            TallyConfig::removeConfigureWithKey("tlyDefcon");
        }
        engine_->setDefcon(level);
    }

    auto merged = *local.property();
    for (const auto& [key, value] : serverMap) {
        if (value.valueIsSet()) {
            merged.insert_or_assign(key, value);
        } else {
            merged.erase(key);
        }
    }
    local.setProperty(std::move(merged));
    local.setVersion(server.version());
    local.setChecksum(imprintChecksum(local));
    storeImprint(local);

    const bool testMode = TallyApp::isIntegratedTestModel();
    if (!testMode) {
        if (const auto test = serverMap.find("client_test"); test != serverMap.end()) {
            if (test->second.valueIsSet()) {
                configureExperimentWithString(test->second.value().value_or(""));
            } else {
                TallyConfig::removeConfigureWithKey(kGroupInfoKey);
                TallyConfig::removeConfigureWithKey(kExperimentRPTKey);
            }
        }
    }
    const bool intervalNamed = (!testMode && (serverMap.contains("client_test") || serverMap.contains("test_report_interval"))) ||
                               serverMap.contains("report_interval");
    if (intervalNamed) TallyApp::sharedInstance()->setLogSendInterval(TallyApp::minReportInterval());
}

void TallyPack::configureExperimentWithString(std::string_view text) {
    applyExperiment(text, [this](std::size_t index) { return calcProbWithSigIndex(index); });
}

float TallyPack::calcProbWithSigIndex(std::size_t index) const {
    const std::optional<Bytes> signature = TallyEnvelope::sharedInstance()->signature();
    return signature ? signatureDraw(*signature, index) : 0.0f;
}

}  // namespace lv
