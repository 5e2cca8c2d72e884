// The multipart form builder and its file-name-extension table.
#include "http/multipart_form_data.h"

#include <sys/random.h>

#include <array>
#include <cstdint>
#include <unordered_map>

#include "platform/base/format.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/text/strings.h"

namespace lv {

namespace {

std::uint32_t random32() {
    std::uint32_t value = 0;
    auto* bytes = reinterpret_cast<char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = getrandom(bytes + got, sizeof value - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return value;
}

// Quotes, CR and LF cannot appear raw inside a quoted Content-Disposition parameter.
std::string escapeDispositionParameter(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"') out += "%22";
        else if (c == '\r') out += "%0D";
        else if (c == '\n') out += "%0A";
        else out += c;
    }
    return out;
}

bool holdsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string fileDisposition(std::string_view name, std::string_view fileName) {
    return "form-data; name=\"" + escapeDispositionParameter(name) + "\"; filename=\"" +
           escapeDispositionParameter(fileName) + "\"";
}

HTTPHeaders fileHeaders(std::string_view name, std::string_view fileName, std::string_view mimeType) {
    HTTPHeaders headers;
    headers.set("Content-Disposition", fileDisposition(name, fileName));
    headers.set("Content-Type", std::string(mimeType));
    return headers;
}

Ref<Error> fileError(std::string_view reason) {
    Dictionary info;
    info.set(std::string(kLocalizedFailureReasonErrorKey),
             Value(Bundle::mainBundle()->localizedStringForKey(reason, "", "HCNetworking")));
    return Error::make(std::string(kURLRequestSerializationErrorDomain), kURLRequestSerializationFileErrorCode,
                       std::move(info));
}

}  // namespace

std::string mimeTypeForPathExtension(std::string_view extension) {
    static const auto& table = *new std::unordered_map<std::string, std::string>{
        {"aac", "audio/aac"},          {"aif", "audio/aiff"},        {"aiff", "audio/aiff"},
        {"amr", "audio/amr"},          {"avi", "video/avi"},         {"bmp", "image/bmp"},
        {"bz2", "application/x-bzip2"}, {"caf", "audio/x-caf"},      {"css", "text/css"},
        {"csv", "text/csv"},           {"doc", "application/msword"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"epub", "application/epub+zip"}, {"gif", "image/gif"},      {"gz", "application/x-gzip"},
        {"heic", "image/heic"},        {"htm", "text/html"},         {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"}, {"ics", "text/calendar"}, {"jpe", "image/jpeg"},
        {"jpeg", "image/jpeg"},        {"jpg", "image/jpeg"},        {"js", "application/javascript"},
        {"json", "application/json"},  {"m4a", "audio/mp4"},         {"m4v", "video/x-m4v"},
        {"mid", "audio/midi"},         {"midi", "audio/midi"},       {"mov", "video/quicktime"},
        {"mp3", "audio/mpeg"},         {"mp4", "video/mp4"},         {"mpeg", "video/mpeg"},
        {"mpg", "video/mpeg"},         {"ogg", "audio/ogg"},         {"pdf", "application/pdf"},
        {"plist", "application/x-plist"}, {"png", "image/png"},      {"ppt", "application/vnd.ms-powerpoint"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"rtf", "text/rtf"},           {"svg", "image/svg+xml"},     {"tar", "application/x-tar"},
        {"tif", "image/tiff"},         {"tiff", "image/tiff"},       {"txt", "text/plain"},
        {"vcf", "text/vcard"},         {"wav", "audio/vnd.wave"},    {"webm", "video/webm"},
        {"webp", "image/webp"},        {"xhtml", "application/xhtml+xml"}, {"xls", "application/vnd.ms-excel"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"xml", "application/xml"},    {"zip", "application/zip"},   {"3gp", "video/3gpp"},
    };
    const auto it = table.find(text::asciiLowercase(extension));
    return it == table.end() ? "application/octet-stream" : it->second;
}

HCStreamingMultipartFormData::HCStreamingMultipartFormData(URLRequest request, StringEncoding encoding)
    : request_(std::move(request)),
      encoding_(encoding),
      boundary_(format("Boundary+%08X%08X", random32(), random32())),
      bodyStream_(makeRef<HCMultipartBodyStream>(encoding)) {}

bool HCStreamingMultipartFormData::appendPart(HTTPHeaders headers, HCHTTPBodyPart::Body body, std::uint64_t length) {
    for (const auto& [field, value] : headers.fields()) {
        if (holdsLineBreak(field) || holdsLineBreak(value)) return false;
    }
    auto part = makeRef<HCHTTPBodyPart>();
    part->setStringEncoding(encoding_);
    part->setHeaders(std::move(headers));
    part->setBoundary(boundary_);
    part->setBody(std::move(body));
    part->setBodyContentLength(length);
    bodyStream_->appendHTTPBodyPart(std::move(part));
    return true;
}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name,
                                                         Ref<Error>* error) {
    const std::string fileName = fileURL ? fileURL->lastPathComponent() : std::string();
    const std::string mimeType = mimeTypeForPathExtension(fileURL ? fileURL->pathExtension() : std::string());
    return appendPartWithFileURL(fileURL, name, fileName, mimeType, error);
}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const Ref<URL>& fileURL, std::string_view name,
                                                         std::string_view fileName, std::string_view mimeType,
                                                         Ref<Error>* error) {
    if (!fileURL || !fileURL->isFileURL()) {
        if (error) *error = fileError("Expected URL to be a file URL");
        return false;
    }
    const std::string path = fileURL->path();
    if (!FileManager::defaultManager().fileExistsAtPath(path)) {
        if (error) *error = fileError("File URL not reachable.");
        return false;
    }
    Ref<Error> attributesError;
    const auto attributes = FileManager::defaultManager().attributesOfItemAtPath(path, &attributesError);
    if (!attributes) {
        setError(error, attributesError);
        return false;
    }
    if (holdsLineBreak(mimeType)) {
        if (error) *error = fileError("Header field value contains CR or LF.");
        return false;
    }
    const std::uint64_t size = attributes->get(kFileSize).unsignedLongLongValue();
    return appendPart(fileHeaders(name, fileName, mimeType), fileURL, size);
}

bool HCStreamingMultipartFormData::appendPartWithInputStream(Ref<InputStream> stream, std::string_view name,
                                                             std::string_view fileName, std::int64_t length,
                                                             std::string_view mimeType) {
    return appendPart(fileHeaders(name, fileName, mimeType), std::move(stream), static_cast<std::uint64_t>(length));
}

bool HCStreamingMultipartFormData::appendPartWithFileData(Bytes data, std::string_view name, std::string_view fileName,
                                                          std::string_view mimeType) {
    return appendPartWithHeaders(fileHeaders(name, fileName, mimeType), std::move(data));
}

bool HCStreamingMultipartFormData::appendPartWithFormData(Bytes data, std::string_view name) {
    HTTPHeaders headers;
    headers.set("Content-Disposition", "form-data; name=\"" + escapeDispositionParameter(name) + "\"");
    return appendPartWithHeaders(std::move(headers), std::move(data));
}

bool HCStreamingMultipartFormData::appendPartWithHeaders(HTTPHeaders headers, Bytes body) {
    const std::uint64_t length = body.size();
    return appendPart(std::move(headers), std::move(body), length);
}

void HCStreamingMultipartFormData::throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) {
    bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
    bodyStream_->setDelay(delay);
}

URLRequest HCStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (bodyStream_->isEmpty()) return request_;
    bodyStream_->setInitialAndFinalBoundaries();
    request_.setHTTPBodyStream(bodyStream_);
    request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
    request_.setValue(format("%llu", static_cast<unsigned long long>(bodyStream_->contentLength())), "Content-Length");
    return request_;
}

}  // namespace lv
