// Request serializers that send the parameters of body-carrying requests as a JSON document
// ("application/json") or a property list ("application/x-plist"); GET, HEAD and DELETE keep the
// form serializer's URL encoding. A writer failure fails the request with the writer's error.
//
// Threads: as HCHTTPRequestSerializer; the writer settings are guarded by the same kind of lock.
#pragma once

#include <atomic>

#include "http/request_serializer.h"
#include "platform/storage/json.h"
#include "platform/storage/property_list.h"

namespace lv {

class HCJSONRequestSerializer : public HCHTTPRequestSerializer {
public:
    static Ref<HCJSONRequestSerializer> serializer() { return serializerWithWritingOptions(0); }
    static Ref<HCJSONRequestSerializer> serializerWithWritingOptions(JSONWritingOptions options);

    // Options of the JSON writer (0: compact).
    JSONWritingOptions writingOptions() const { return writingOptions_.load(); }
    void setWritingOptions(JSONWritingOptions options) { writingOptions_.store(options); }

    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request, const Value& parameters,
                                                          Ref<Error>* error) const override;
    Ref<HCHTTPRequestSerializer> copy() const override;

    static const ClassInfo* runtimeClass();
    HCJSONRequestSerializer() { runtimeClass(); }
    // The base fields, then "writingOptions" (integer).
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    std::atomic<JSONWritingOptions> writingOptions_{0};
};

class HCPropertyListRequestSerializer : public HCHTTPRequestSerializer {
public:
    // XML, no options.
    static Ref<HCPropertyListRequestSerializer> serializer() {
        return serializerWithFormat(PropertyListFormat::XML, 0);
    }
    static Ref<HCPropertyListRequestSerializer> serializerWithFormat(PropertyListFormat format, unsigned writeOptions);

    // 0 (no format) until set; the writer then fails.
    PropertyListFormat format() const { return format_.load(); }
    void setFormat(PropertyListFormat format) { format_.store(format); }
    unsigned writeOptions() const { return writeOptions_.load(); }
    void setWriteOptions(unsigned options) { writeOptions_.store(options); }

    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request, const Value& parameters,
                                                          Ref<Error>* error) const override;
    Ref<HCHTTPRequestSerializer> copy() const override;

    static const ClassInfo* runtimeClass();
    HCPropertyListRequestSerializer() { runtimeClass(); }
    // The base fields, then "format" (integer) and "writeOptions" (number object).
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    std::atomic<PropertyListFormat> format_{static_cast<PropertyListFormat>(0)};
    std::atomic<unsigned> writeOptions_{0};
};

}  // namespace lv
