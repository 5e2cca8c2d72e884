// Writes one keyed archive (binary property list) of each archivable class of the HTTP client into the
// given directory, for http_archives_plistlib.py:
//   lv_http_archive_tool DIR
#include <cstdio>
#include <string>

#include "http/http_request_operation_manager.h"
#include "http/http_session_manager.h"
#include "http/image_response_serializer.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/file_manager.h"

namespace {

using namespace lv;

bool write(const std::string& dir, const std::string& name, const Value& root) {
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(root, true, &error);
    if (!data) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error ? error->description().c_str() : "not archived");
        return false;
    }
    return writeToFile(*data, dir + "/" + name + ".bplist", kDataWritingAtomic, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    bool ok = true;

    // A connection operation cancelled before it started: finished with -999 and the failing URL.
    auto cancelled = HCURLConnectionOperation::make(URLRequest(URL::URLWithString("http://127.0.0.1:9/cancelled")));
    cancelled->cancel();
    cancelled->start();
    if (!runMainUntil([&] { return cancelled->isFinished(); }, 10)) return 1;
    ok &= write(dir, "connection_operation", Value(cancelled));

    // A ready HTTP operation: archiving pauses it, which asks for the body from its start.
    URLRequest request(URL::URLWithString("http://content.test/api?cat=3"));
    request.setHTTPMethod("POST");
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    request.setHTTPBody(Bytes{'a', '=', '1'});
    auto http = HCHTTPRequestOperation::make(request);
    http->setResponseSerializer(HCJSONResponseSerializer::serializer());
    ok &= write(dir, "http_operation", Value(http));

    ok &= write(dir, "operation_manager",
                Value(HCHTTPRequestOperationManager::make(URL::URLWithString("http://content.test/base"))));

    auto base = HCHTTPResponseSerializer::serializer();
    HCStatusCodeSet codes = HCStatusCodeRange(200, 100);
    codes.insert({304, 404, 405});
    base->setAcceptableStatusCodes(codes);
    base->setAcceptableContentTypes(std::set<std::string>{"text/plain", "text/html"});
    ok &= write(dir, "HCHTTPResponseSerializer", Value(base));
    auto json = HCJSONResponseSerializer::serializerWithReadingOptions(4);
    json->setRemovesKeysWithNullValues(true);
    ok &= write(dir, "HCJSONResponseSerializer", Value(json));
    ok &= write(dir, "HCXMLParserResponseSerializer", Value(HCXMLParserResponseSerializer::serializer()));
    ok &= write(dir, "HCPropertyListResponseSerializer", Value(HCPropertyListResponseSerializer::serializer()));
    ok &= write(dir, "HCCompoundResponseSerializer",
                Value(HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
                    {json, HCXMLParserResponseSerializer::serializer()})));
    auto image = HCImageResponseSerializer::serializer();
    image->setImageScale(2.5);
    image->setAutomaticallyInflatesResponseImage(false);
    ok &= write(dir, "HCImageResponseSerializer", Value(image));

    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration->setTimeoutIntervalForRequest(12);
    auto plain = HCURLSessionManager::make(configuration);
    ok &= write(dir, "url_session_manager", Value(plain));
    auto session = HCHTTPSessionManager::make(URL::URLWithString("http://content.test/base"), configuration);
    ok &= write(dir, "http_session_manager", Value(session));
    auto background = HCHTTPSessionManager::make(
        nullptr, URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("com.lunavexa.sync"));
    ok &= write(dir, "http_session_manager_background", Value(background));
    const Ref<HCURLSessionManager> managers[] = {plain, session, background};
    for (const auto& manager : managers) manager->invalidateSessionCancelingTasks(true);
    runMainUntil(
        [&] {
            for (const auto& manager : managers) {
                if (manager->session()->delegate()) return false;
            }
            return true;
        },
        10);
    return ok ? 0 : 1;
}
