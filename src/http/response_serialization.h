// Response serializers: decide whether an HTTP response is acceptable (status code and content type)
// and turn its body into an object — the data itself, parsed JSON, an XML parser over the body, or a
// property list — or try several serializers in turn. Failures come back through the error
// out-parameter in the response-serialization domain, a validation error and a parse error chained
// through the underlying-error key.
//
// Bodies are passed as a Value: nil for no body, else data. Results are Values: nil for no object.
//
// Every serializer can be copied and keyed-archived (runtime classes named as the C++ classes, secure
// coding): the base writes "acceptableStatusCodes" (an index set) and "acceptableContentTypes" (a
// set), the subclasses add their own properties under their names; the string encoding is neither
// archived nor copied.
//
// Threads: a serializer keeps no per-response state, so one instance may serve concurrent calls; its
// properties are guarded by a lock and may be changed from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/request.h"
#include "platform/storage/json.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"
#include "platform/text/encoding.h"

namespace lv {

class ClassInfo;

inline constexpr std::string_view kHCURLResponseSerializationErrorDomain =
    "com.httpclient.error.serialization.response";
inline constexpr std::string_view kHCNetworkingOperationFailingURLResponseErrorKey =
    "com.httpclient.serialization.response.error.response";
inline constexpr std::string_view kHCNetworkingOperationFailingURLResponseDataErrorKey =
    "com.httpclient.serialization.response.error.data";
// Codes of the domain: the platform's URL error codes for undecodable content and a bad response.
inline constexpr std::int64_t kHCResponseErrorCannotDecodeContentData = -1016;
inline constexpr std::int64_t kHCResponseErrorBadServerResponse = -1011;

// Status codes as a set; the default acceptable set is 200 to 299.
using HCStatusCodeSet = std::set<int>;
HCStatusCodeSet HCStatusCodeRange(int location, int length);

// E when U is nil or E already has an underlying error; U when E is nil; otherwise E with U added
// under the underlying-error key.
Ref<Error> chainUnderlyingError(const Ref<Error>& error, const Ref<Error>& underlying);
// Whether the error or one beneath it is a -1016 error of the response-serialization domain.
bool errorChainHasCode(const Ref<Error>& error);
// Drops dictionary entries whose value is null, recursively through arrays and dictionaries (nulls
// inside arrays stay).
Value removeNullValues(const Value& value, JSONReadingOptions options);

// The serialization protocol.
class HCURLResponseSerialization {
public:
    virtual ~HCURLResponseSerialization() = default;
    virtual Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                            Ref<Error>* error) const = 0;
};

class HCHTTPResponseSerializer : public Object, public HCURLResponseSerialization, public Coding {
public:
    // UTF-8, status codes 200-299, any content type.
    HCHTTPResponseSerializer();
    static Ref<HCHTTPResponseSerializer> serializer() { return makeRef<HCHTTPResponseSerializer>(); }

    StringEncoding stringEncoding() const;
    void setStringEncoding(StringEncoding encoding);
    // Nothing accepts every code (every type).
    std::optional<HCStatusCodeSet> acceptableStatusCodes() const;
    void setAcceptableStatusCodes(std::optional<HCStatusCodeSet> codes);
    std::optional<std::set<std::string>> acceptableContentTypes() const;
    void setAcceptableContentTypes(std::optional<std::set<std::string>> types);

    // True when the response is acceptable (any response that is not an HTTP response is). Otherwise
    // false, and into *error: -1016 for an unacceptable content type (only with a body and a response
    // URL), -1011 for an unacceptable status code (tested only with a response URL), the -1016
    // beneath the -1011 when both fail; nil when neither error could be made.
    bool validateResponse(const Ref<URLResponse>& response, const Value& data, Ref<Error>* error) const;

    // Validates into *error and returns the body, whatever the outcome.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;

    // A new serializer of the same class with copies of the properties each class copies (the
    // string encoding is never copied).
    virtual Ref<HCHTTPResponseSerializer> copy() const;

    // Every serializer class of this header is registered when the first serializer is made.
    static const ClassInfo* runtimeClass();
    // "acceptableStatusCodes" and "acceptableContentTypes".
    void encodeWithCoder(Coder& coder) const override;
    // The -init values, then both archived properties (nil when the archive holds none); false for
    // codes that are not status codes.
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

protected:
    // The common entry of the parsing serializers: false when they must answer nil without parsing
    // (validation failed and there is no out-parameter, or the content type was refused).
    bool shouldParse(const Ref<URLResponse>& response, const Value& data, Ref<Error>* error) const;
    // Copies the status codes and content types into another serializer.
    void copyValidationInto(HCHTTPResponseSerializer& other) const;

    mutable std::mutex mutex_;

private:
    StringEncoding stringEncoding_ = StringEncoding::UTF8;
    std::optional<HCStatusCodeSet> acceptableStatusCodes_;
    std::optional<std::set<std::string>> acceptableContentTypes_;
};

class HCJSONResponseSerializer : public HCHTTPResponseSerializer {
public:
    // "application/json", "text/json", "text/javascript".
    HCJSONResponseSerializer();
    static Ref<HCJSONResponseSerializer> serializer() { return serializerWithReadingOptions(0); }
    static Ref<HCJSONResponseSerializer> serializerWithReadingOptions(JSONReadingOptions options);

    JSONReadingOptions readingOptions() const;
    void setReadingOptions(JSONReadingOptions options);
    bool removesKeysWithNullValues() const;
    void setRemovesKeysWithNullValues(bool removes);

    // The parsed JSON. The body is read in the response's charset when it names one this layer knows,
    // else in stringEncoding(). No body, an empty body or a body of one space give nil without an error
    // of their own; a body that is not text in that encoding gives -1016 with the response and the body;
    // malformed JSON gives the JSON reader's error. A validation error ends up beneath the parse error.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;
    // Keeps the reading options and null removal; the acceptable codes and types are the defaults.
    Ref<HCHTTPResponseSerializer> copy() const override;
    // The base keys, "readingOptions" and "removesKeysWithNullValues" (numbers).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    JSONReadingOptions readingOptions_ = 0;
    bool removesKeysWithNullValues_ = false;
};

class HCXMLParserResponseSerializer : public HCHTTPResponseSerializer {
public:
    // "application/xml", "text/xml".
    HCXMLParserResponseSerializer();
    static Ref<HCXMLParserResponseSerializer> serializer() { return makeRef<HCXMLParserResponseSerializer>(); }

    // A new XMLParser over the body, not yet run; nil without a body.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;
    Ref<HCHTTPResponseSerializer> copy() const override;
    // The base keys only.
    static const ClassInfo* runtimeClass();
};

class HCPropertyListResponseSerializer : public HCHTTPResponseSerializer {
public:
    // "application/x-plist"; format 0 and read options 0.
    HCPropertyListResponseSerializer();
    // Format 100 (XML), read options 0.
    static Ref<HCPropertyListResponseSerializer> serializer() {
        return serializerWithFormat(PropertyListFormat::XML, 0);
    }
    static Ref<HCPropertyListResponseSerializer> serializerWithFormat(PropertyListFormat format,
                                                                      PropertyListReadOptions readOptions);

    // Stored and copied, never used for parsing (the format is detected).
    PropertyListFormat format() const;
    void setFormat(PropertyListFormat format);
    PropertyListReadOptions readOptions() const;
    void setReadOptions(PropertyListReadOptions options);

    // The parsed property list (XML or binary); the reader's error beneath which a validation error
    // stays.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;
    Ref<HCHTTPResponseSerializer> copy() const override;
    // The base keys, "format" and "readOptions" (numbers).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    PropertyListFormat format_ = static_cast<PropertyListFormat>(0);
    PropertyListReadOptions readOptions_ = 0;
};

class HCCompoundResponseSerializer : public HCHTTPResponseSerializer {
public:
    using Serializers = std::vector<Ref<HCURLResponseSerialization>>;

    static Ref<HCCompoundResponseSerializer> serializer() { return makeRef<HCCompoundResponseSerializer>(); }
    static Ref<HCCompoundResponseSerializer> compoundSerializerWithResponseSerializers(Serializers serializers);

    Serializers responseSerializers() const;
    void setResponseSerializers(Serializers serializers);

    // The first member's non-nil object (members that are not HCHTTPResponseSerializer are skipped),
    // its error over whatever *error held; when none gives one, the base behaviour with the compound's
    // own codes and types.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;
    // The same members (not copied).
    Ref<HCHTTPResponseSerializer> copy() const override;
    // The base keys and "responseSerializers" (an array; every member must be archivable).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    Serializers serializers_;
};

}  // namespace lv
