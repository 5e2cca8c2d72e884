// The multipart form builder: collects the parts of a "multipart/form-data" body (form fields, file
// data, files by URL, streams) and turns a request into one whose body stream produces them, with the
// boundary, Content-Type and Content-Length set. Names and file names are escaped inside
// Content-Disposition; header values holding CR or LF are refused.
//
// Threads: a builder is used on one thread (the request serializer's caller, inside its body block).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/multipart_body_stream.h"
#include "platform/base/error.h"
#include "platform/net/request.h"

namespace lv {

// Error domain of request building; code -1000 for a file part that cannot be added.
inline constexpr std::string_view kURLRequestSerializationErrorDomain = "com.httpclient.error.serialization.request";
inline constexpr std::int64_t kURLRequestSerializationFileErrorCode = -1000;

// The MIME type registered for a file-name extension (any case), else "application/octet-stream".
std::string mimeTypeForPathExtension(std::string_view extension);

// What a body-construction block may do with the form being built. Appends keep their call order.
class HCMultipartFormData {
public:
    virtual ~HCMultipartFormData() = default;
    // File name from the URL's last path component, MIME type from its extension.
    virtual bool appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name, Ref<Error>* error) = 0;
    // False (and the error, when asked for) for a URL that is not a file URL, a missing file, a file
    // whose attributes cannot be read, or a MIME type holding CR or LF; nothing is added then.
    virtual bool appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name, std::string_view fileName,
                                       std::string_view mimeType, Ref<Error>* error) = 0;
    // The stream gives length bytes. The three appends below and this one answer false, adding
    // nothing, when a header value would hold CR or LF.
    virtual bool appendPartWithInputStream(Ref<InputStream> stream, std::string_view name, std::string_view fileName,
                                           std::int64_t length, std::string_view mimeType) = 0;
    virtual bool appendPartWithFileData(Bytes data, std::string_view name, std::string_view fileName,
                                        std::string_view mimeType) = 0;
    virtual bool appendPartWithFormData(Bytes data, std::string_view name) = 0;
    virtual bool appendPartWithHeaders(HTTPHeaders headers, Bytes body) = 0;
    // Sets the body stream's packet size and the pause after each part read.
    virtual void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) = 0;
};

class HCStreamingMultipartFormData : public Object, public HCMultipartFormData {
public:
    // Keeps a copy of the request; makes a new random boundary.
    HCStreamingMultipartFormData(URLRequest request, StringEncoding encoding);

    const URLRequest& request() const { return request_; }
    StringEncoding stringEncoding() const { return encoding_; }
    // "Boundary+" and sixteen upper-case hexadecimal digits.
    const std::string& boundary() const { return boundary_; }
    const Ref<HCMultipartBodyStream>& bodyStream() const { return bodyStream_; }

    bool appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name, Ref<Error>* error) override;
    bool appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name, std::string_view fileName,
                               std::string_view mimeType, Ref<Error>* error) override;
    bool appendPartWithInputStream(Ref<InputStream> stream, std::string_view name, std::string_view fileName,
                                   std::int64_t length, std::string_view mimeType) override;
    bool appendPartWithFileData(Bytes data, std::string_view name, std::string_view fileName,
                                std::string_view mimeType) override;
    bool appendPartWithFormData(Bytes data, std::string_view name) override;
    bool appendPartWithHeaders(HTTPHeaders headers, Bytes body) override;
    void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) override;

    // The request unchanged when there are no parts; otherwise with the body stream and
    // "multipart/form-data; boundary=…" and the exact Content-Length, recomputed at each call.
    URLRequest requestByFinalizingMultipartFormData();

private:
    bool appendPart(HTTPHeaders headers, HCHTTPBodyPart::Body body, std::uint64_t length);

    URLRequest request_;
    StringEncoding encoding_;
    std::string boundary_;
    Ref<HCMultipartBodyStream> bodyStream_;
};

}  // namespace lv
