// Keyed archiving of the HTTP client: every response serializer, both operations (finished, executing,
// failed), the operation manager and both session managers written with the platform's keyed archiver
// and read back — with and without secure coding — equal to what was archived; decoded managers send
// requests. The archives' structure is checked by Python's plistlib (http_archives_plistlib.py).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "http/http_request_operation_manager.h"
#include "http/http_session_manager.h"
#include "http/image_response_serializer.h"
#include "http_test_support.h"
#include "operation_server.h"
#include "session_manager_test_support.h"
#include "platform/net/errors.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/index_set.h"

namespace lv {
namespace {

using test::requestFor;

// The object written and read back; nil (with the failure reported) when either side refused.
template <class T>
Ref<T> roundTrip(const Ref<T>& object, bool secure) {
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(Value(object), secure, &error);
    EXPECT_TRUE(data) << (error ? error->description() : std::string());
    if (!data) return nullptr;
    const Value read = secure ? KeyedUnarchiver::unarchivedObjectOfClass(T::runtimeClass(), *data, &error)
                              : KeyedUnarchiver::unarchivedObject(*data, &error);
    EXPECT_EQ(error, nullptr) << error->description();
    return read.objectAs<T>();
}

// ---- Response serializers ----

struct SerializerCase {
    std::string name;
    std::function<Ref<HCHTTPResponseSerializer>()> make;
    // Checks what the class adds; the acceptable codes and types are compared for every case.
    std::function<void(const HCHTTPResponseSerializer& decoded)> check;
};

std::vector<SerializerCase> serializerCases() {
    return {
        {"base with a code set of several ranges",
         [] {
             auto s = HCHTTPResponseSerializer::serializer();
             HCStatusCodeSet codes = HCStatusCodeRange(200, 100);
             codes.insert({304, 404, 405, 406});
             s->setAcceptableStatusCodes(codes);
             s->setAcceptableContentTypes(std::set<std::string>{"text/plain", "application/octet-stream"});
             s->setStringEncoding(StringEncoding::ISOLatin1);
             return s;
         },
         [](const HCHTTPResponseSerializer& d) { EXPECT_EQ(d.stringEncoding(), StringEncoding::UTF8); }},
        {"base accepting everything", [] {
             auto s = HCHTTPResponseSerializer::serializer();
             s->setAcceptableStatusCodes(std::nullopt);
             return s;
         }, nullptr},
        {"base with empty sets", [] {
             auto s = HCHTTPResponseSerializer::serializer();
             s->setAcceptableStatusCodes(HCStatusCodeSet{});
             s->setAcceptableContentTypes(std::set<std::string>{});
             return s;
         }, nullptr},
        {"JSON",
         [] {
             auto s = HCJSONResponseSerializer::serializerWithReadingOptions(5);
             s->setRemovesKeysWithNullValues(true);
             s->setAcceptableContentTypes(std::set<std::string>{"application/vnd.kpop+json"});
             return s;
         },
         [](const HCHTTPResponseSerializer& d) {
             const auto& json = dynamic_cast<const HCJSONResponseSerializer&>(d);
             EXPECT_EQ(json.readingOptions(), 5u);
             EXPECT_TRUE(json.removesKeysWithNullValues());
         }},
        {"XML parser", [] {
             auto s = HCXMLParserResponseSerializer::serializer();
             s->setAcceptableStatusCodes(HCStatusCodeRange(200, 1));
             return s;
         }, nullptr},
        {"property list",
         [] { return HCPropertyListResponseSerializer::serializerWithFormat(PropertyListFormat::Binary, 2); },
         [](const HCHTTPResponseSerializer& d) {
             const auto& plist = dynamic_cast<const HCPropertyListResponseSerializer&>(d);
             EXPECT_EQ(plist.format(), PropertyListFormat::Binary);
             EXPECT_EQ(plist.readOptions(), 2u);
         }},
        {"compound",
         [] {
             auto json = HCJSONResponseSerializer::serializer();
             json->setRemovesKeysWithNullValues(true);
             return HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
                 {json, HCXMLParserResponseSerializer::serializer()});
         },
         [](const HCHTTPResponseSerializer& d) {
             const auto members = dynamic_cast<const HCCompoundResponseSerializer&>(d).responseSerializers();
             ASSERT_EQ(members.size(), 2u);
             const auto json = std::dynamic_pointer_cast<HCJSONResponseSerializer>(members[0]);
             ASSERT_TRUE(json);
             EXPECT_TRUE(json->removesKeysWithNullValues());
             EXPECT_TRUE(std::dynamic_pointer_cast<HCXMLParserResponseSerializer>(members[1]));
         }},
        {"image",
         [] {
             auto s = HCImageResponseSerializer::serializer();
             s->setImageScale(3);
             s->setAutomaticallyInflatesResponseImage(false);
             s->setAcceptableContentTypes(std::set<std::string>{"image/png"});
             return s;
         },
         [](const HCHTTPResponseSerializer& d) {
             const auto& image = dynamic_cast<const HCImageResponseSerializer&>(d);
             EXPECT_EQ(image.imageScale(), 3);
             EXPECT_FALSE(image.automaticallyInflatesResponseImage());
         }},
    };
}

TEST(HTTPArchiving, ResponseSerializersReadBackEqual) {
    for (const auto& c : serializerCases()) {
        for (const bool secure : {false, true}) {
            SCOPED_TRACE(c.name + (secure ? " (secure)" : ""));
            const auto original = c.make();
            const auto decoded = roundTrip(original, secure);
            ASSERT_NE(decoded, nullptr);
            EXPECT_EQ(decoded->className(), original->className());
            EXPECT_EQ(decoded->acceptableStatusCodes(), original->acceptableStatusCodes());
            EXPECT_EQ(decoded->acceptableContentTypes(), original->acceptableContentTypes());
            if (c.check) c.check(*decoded);
            // A decoded serializer serializes: a 404 is refused (or accepted) as by the original.
            Ref<Error> before, after;
            auto response = makeRef<HTTPURLResponse>(URL::URLWithString("http://h/x"), 404, HTTPHeaders());
            original->responseObjectForResponse(response, Value::data("x"), &before);
            decoded->responseObjectForResponse(response, Value::data("x"), &after);
            EXPECT_EQ(before != nullptr, after != nullptr);
        }
    }
}

TEST(HTTPArchiving, DamagedSerializerArchivesReadAsNil) {
    // Keys holding the wrong kind make the serializer read as nil instead of a half-made one.
    struct Damage {
        const char* name;
        std::function<void(KeyedArchiver&)> write;
    };
    const Damage cases[] = {
        {"types not a set", [](KeyedArchiver& a) { a.encodeObject(Value("text/plain"), "acceptableContentTypes"); }},
        {"a type that is not text",
         [](KeyedArchiver& a) { a.encodeObject(Value(ArchivedSet::make(Array{Value(7)})), "acceptableContentTypes"); }},
        {"codes not an index set", [](KeyedArchiver& a) { a.encodeObject(Value(Array{Value(200)}), "acceptableStatusCodes"); }},
        {"a code too large", [](KeyedArchiver& a) {
             a.encodeObject(Value(IndexSet::withRange(std::uint64_t{1} << 40, 1)), "acceptableStatusCodes");
         }},
    };
    for (const auto& damage : cases) {
        SCOPED_TRACE(damage.name);
        KeyedArchiver archiver;
        damage.write(archiver);
        // The archive's top level, read by the serializer's own decoding.
        const Bytes data = archiver.encodedData();
        KeyedUnarchiver reader(data);
        auto serializer = makeRef<HCHTTPResponseSerializer>();
        EXPECT_FALSE(serializer->initWithCoder(reader));
    }
}

// ---- Operations ----

// Compares what the archive carries over.
void expectSameArchivedState(const HCURLConnectionOperation& decoded, const HCURLConnectionOperation& original) {
    const URLRequest a = decoded.request(), b = original.request();
    ASSERT_TRUE(a.URL() && b.URL());
    EXPECT_EQ(a.URL()->absoluteString(), b.URL()->absoluteString());
    EXPECT_EQ(a.HTTPMethod(), b.HTTPMethod());
    EXPECT_EQ(a.allHTTPHeaderFields().toDictionary(), b.allHTTPHeaderFields().toDictionary());
    EXPECT_EQ(a.timeoutInterval(), b.timeoutInterval());
    EXPECT_EQ(decoded.state(), HCConnectionOperationState::Ready);
    EXPECT_EQ(decoded.responseData(), original.responseData());
    EXPECT_EQ(decoded.totalBytesRead(), original.totalBytesRead());
    const auto responseA = std::dynamic_pointer_cast<HTTPURLResponse>(decoded.response());
    const auto responseB = std::dynamic_pointer_cast<HTTPURLResponse>(original.response());
    ASSERT_EQ(responseA == nullptr, responseB == nullptr);
    if (responseB) {
        EXPECT_EQ(responseA->statusCode(), responseB->statusCode());
        EXPECT_EQ(responseA->URL()->absoluteString(), responseB->URL()->absoluteString());
        EXPECT_EQ(responseA->allHeaderFields().toDictionary(), responseB->allHeaderFields().toDictionary());
        EXPECT_EQ(responseA->MIMEType(), responseB->MIMEType());
        EXPECT_EQ(responseA->expectedContentLength(), responseB->expectedContentLength());
    }
    const auto errorA = decoded.error(), errorB = original.error();
    ASSERT_EQ(errorA == nullptr, errorB == nullptr);
    if (errorB) {
        EXPECT_EQ(errorA->domain(), errorB->domain());
        EXPECT_EQ(errorA->code(), errorB->code());
        EXPECT_EQ(errorA->userInfo().size(), errorB->userInfo().size());
        const auto url = errorA->userInfo().get(kURLErrorFailingURLErrorKey).objectAs<URL>();
        ASSERT_NE(url, nullptr);
        EXPECT_TRUE(url->isEqual(*errorB->userInfo().get(kURLErrorFailingURLErrorKey).objectAs<URL>()));
    }
}

template <class Op>
void runToCompletion(const Ref<Op>& op) {
    bool done = false;
    op->setCompletionBlock([&done] { done = true; });
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return done; }, 10));
}

TEST(HTTPArchiving, FinishedOperationsReadBackEqual) {
    test::OperationServer server;
    struct Case {
        std::string path;
        bool http;
        bool cancelled;
    };
    const Case cases[] = {
        {"/json/200", true, false},  {"/json/404", true, false},  // a 404 fails serialization: the error holds the response
        {"/json/200", false, false}, {"/json/200", true, true},   // cancelled: -999 with the failing URL
    };
    for (const auto& c : cases) {
        for (const bool secure : {false, true}) {
            SCOPED_TRACE(c.path + (c.http ? " HTTP" : " connection") + (c.cancelled ? " cancelled" : "") +
                         (secure ? " secure" : ""));
            URLRequest request = requestFor(server.url(c.path));
            request.setValue("ja", "Accept-Language");
            request.setTimeoutInterval(12);
            Ref<HCURLConnectionOperation> op;
            if (c.http) {
                auto http = HCHTTPRequestOperation::make(request);
                http->setResponseSerializer(HCJSONResponseSerializer::serializer());
                op = http;
            } else {
                op = HCURLConnectionOperation::make(request);
            }
            if (c.cancelled) op->cancel();
            runToCompletion(op);
            if (auto http = std::dynamic_pointer_cast<HCHTTPRequestOperation>(op)) http->responseObject();
            ASSERT_EQ(op->state(), HCConnectionOperationState::Finished);
            if (!c.cancelled) {
                ASSERT_TRUE(op->response());
            }
            const auto decoded = roundTrip(op, secure);
            ASSERT_NE(decoded, nullptr);
            EXPECT_EQ(decoded->className(), op->className());
            expectSameArchivedState(*decoded, *op);
            if (auto http = std::dynamic_pointer_cast<HCHTTPRequestOperation>(op)) {
                // Archiving paused it first: a finished HTTP operation's request asks for the rest.
                EXPECT_TRUE(http->request().valueForHTTPHeaderField("Range"));
                auto decodedHTTP = std::dynamic_pointer_cast<HCHTTPRequestOperation>(decoded);
                ASSERT_NE(decodedHTTP, nullptr);
                EXPECT_TRUE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(decodedHTTP->responseSerializer()));
                if (c.path == "/json/404") {
                    const Value archivedResponse =
                        decodedHTTP->error()->userInfo().get(kHCNetworkingOperationFailingURLResponseErrorKey);
                    ASSERT_TRUE(archivedResponse.objectAs<HTTPURLResponse>());
                    EXPECT_EQ(archivedResponse.objectAs<HTTPURLResponse>()->statusCode(), 404);
                }
            }
        }
    }
}

TEST(HTTPArchiving, AnExecutingOperationIsPausedAndArchivedAsReady) {
    test::OperationServer server;
    auto op = HCHTTPRequestOperation::make(requestFor(server.url("/resumable?mode=range")));
    test::OperationNotifications notifications(op);
    op->start();
    ASSERT_TRUE(runMainUntil([&] { return op->totalBytesRead() >= 1000; }, 10));
    ASSERT_TRUE(op->isExecuting());
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(Value(op), true, &error);
    ASSERT_TRUE(data);
    EXPECT_TRUE(op->isPaused());
    EXPECT_EQ(op->request().valueForHTTPHeaderField("Range"), "bytes=1000-");
    const auto decoded =
        KeyedUnarchiver::unarchivedObjectOfClass(HCHTTPRequestOperation::runtimeClass(), *data, &error)
            .objectAs<HCHTTPRequestOperation>();
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->state(), HCConnectionOperationState::Ready);
    EXPECT_EQ(decoded->request().valueForHTTPHeaderField("Range"), "bytes=1000-");
    EXPECT_EQ(decoded->request().valueForHTTPHeaderField("If-Range"), "\"resumable\"");
    EXPECT_EQ(decoded->totalBytesRead(), op->totalBytesRead());
    EXPECT_FALSE(decoded->responseData());
    EXPECT_EQ(decoded->response()->URL()->absoluteString(), op->response()->URL()->absoluteString());
    // The pause counted as a finish for observers.
    EXPECT_TRUE(runMainUntil([&] { return notifications.names() == std::vector<std::string>{"start", "finish"}; }, 10));
    // The decoded operation resumes the download where it stopped.
    server.release();
    runToCompletion(decoded);
    ASSERT_EQ(decoded->error(), nullptr);
    const Bytes whole = test::pattern(2000);
    EXPECT_EQ(decoded->responseData(), Bytes(whole.begin() + 1000, whole.end()));
    op->cancel();
    test::drainMainQueue();
}

// ---- Managers ----

TEST(HTTPArchiving, OperationManagerReadsBackEqualAndSends) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        auto manager = HCHTTPRequestOperationManager::make(URL::URLWithString(test::HttpFixture::shared().url("/base")));
        manager->requestSerializer()->setValue("yes", "X-Archived");
        auto serializer = HCHTTPResponseSerializer::serializer();
        serializer->setAcceptableStatusCodes(HCStatusCodeRange(200, 300));
        manager->setResponseSerializer(serializer);
        manager->setCompletionQueue(Queue::global());  // not archived
        const auto decoded = roundTrip(manager, secure);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->baseURL()->absoluteString(), test::HttpFixture::shared().url("/base/"));
        EXPECT_EQ(decoded->requestSerializer()->valueForHTTPHeaderField("X-Archived"), "yes");
        EXPECT_EQ(decoded->responseSerializer()->acceptableStatusCodes(), HCStatusCodeRange(200, 300));
        EXPECT_EQ(decoded->completionQueue(), nullptr);
        EXPECT_NE(decoded->operationQueue(), manager->operationQueue());
        // A decoded manager works: its request reaches the echo route with the archived header.
        Value echoed;
        decoded->GET("../echo", Value(), [&](const Ref<HCHTTPRequestOperation>&, const Value& object) { echoed = object; },
                     nullptr);
        ASSERT_TRUE(runMainUntil([&] { return !echoed.isNil(); }, 10));
        EXPECT_NE(test::text(echoed).find("yes"), std::string::npos) << test::text(echoed);
    }
}

TEST(HTTPArchiving, SessionManagersReadBackEqualAndSend) {
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration->setTimeoutIntervalForRequest(12);
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        auto plain = HCURLSessionManager::make(configuration);
        const auto plainAgain = roundTrip(plain, secure);
        ASSERT_NE(plainAgain, nullptr);
        EXPECT_EQ(plainAgain->className(), "HCURLSessionManager");
        EXPECT_EQ(plainAgain->session()->configuration()->timeoutIntervalForRequest(), 12);

        auto manager = HCHTTPSessionManager::make(URL::URLWithString(test::HttpFixture::shared().url("/base")), configuration);
        manager->requestSerializer()->setValue("yes", "X-Archived");
        manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        const auto decoded = roundTrip(manager, secure);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->baseURL()->absoluteString(), test::HttpFixture::shared().url("/base/"));
        EXPECT_EQ(decoded->session()->configuration()->timeoutIntervalForRequest(), 12);
        EXPECT_EQ(decoded->requestSerializer()->valueForHTTPHeaderField("X-Archived"), "yes");
        EXPECT_EQ(decoded->responseSerializer()->className(), "HCHTTPResponseSerializer");
        Value echoed;
        auto task = decoded->GET("../echo", Value(), [&](const Ref<URLSessionDataTask>&, const Value& object) { echoed = object; },
                                 nullptr);
        ASSERT_NE(task, nullptr);
        ASSERT_TRUE(runMainUntil([&] { return !echoed.isNil(); }, 10));
        EXPECT_NE(test::text(echoed).find("yes"), std::string::npos);
        for (const auto& m : {Ref<HCURLSessionManager>(plain), plainAgain, Ref<HCURLSessionManager>(manager),
                              Ref<HCURLSessionManager>(decoded)}) {
            test::endManager(m);
        }
    }
}

TEST(HTTPArchiving, ABackgroundConfigurationTravelsAsItsIdentifier) {
    auto background = URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("com.lunavexa.sync");
    auto manager = HCHTTPSessionManager::make(nullptr, background);
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(Value(manager), true, &error);
    ASSERT_TRUE(data) << error->description();
    KeyedUnarchiver reader(*data);
    const auto decoded = reader.decodeObject("root").objectAs<HCHTTPSessionManager>();
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->session()->configuration()->identifier(), "com.lunavexa.sync");
    EXPECT_EQ(decoded->baseURL(), nullptr);
    // The plain session manager writes its configuration as it is, which the archiver refuses.
    auto plain = HCURLSessionManager::make(background);
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(plain), true, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), kCoderInvalidValueError);
    for (const auto& m : {Ref<HCURLSessionManager>(manager), Ref<HCURLSessionManager>(decoded), plain}) test::endManager(m);
}

}  // namespace
}  // namespace lv
