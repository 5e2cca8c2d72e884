// The push helpers: compression checked by zlib's own calls, digests by RFC 1321's vectors.
#include <zlib.h>

#include <fstream>
#include <random>

#include "platform/base/log.h"
#include "platform/storage/bundle.h"
#include "push/push_helper.h"
#include "push_state_fixture.h"
#include "support/device_settings.h"

namespace lv {
namespace {

using PushHelper = test::PushStateTest;

// Runs one zlib stream over the whole input to its end: inflate of a gzip stream, or deflate with
// the given window bits (31: gzip, 15: zlib).
Bytes zlibRun(const Bytes& input, std::optional<int> deflateWindowBits) {
    z_stream stream{};
    Bytes out(1 << 20);
    if (deflateWindowBits) {
        EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, *deflateWindowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
        out.resize(deflateBound(&stream, static_cast<uLong>(input.size())) + 32);
    } else {
        EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    }
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflateWindowBits ? deflate(&stream, Z_FINISH) : inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateWindowBits ? deflateEnd(&stream) : inflateEnd(&stream);
    return out;
}

Bytes randomBytes(std::size_t size) {
    std::mt19937 generator(7);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

TEST_F(PushHelper, GzipRoundTripThroughZlibsOwnInflate) {
    const Bytes inputs[] = {Bytes{'a'}, Bytes(100000, 'z'), randomBytes(70000)};  // the last grows the buffer
    for (const auto& input : inputs) {
        Bytes zipped;
        ASSERT_EQ(PNHelper::GZip(input, &zipped), 0);
        ASSERT_GE(zipped.size(), 2u);
        EXPECT_EQ(zipped[0], 0x1F);
        EXPECT_EQ(zipped[1], 0x8B);
        EXPECT_EQ(zlibRun(zipped, std::nullopt), input);
    }
    Bytes untouched{1, 2};
    EXPECT_EQ(PNHelper::GZip(Bytes{}, &untouched), -1);
    EXPECT_EQ(untouched, (Bytes{1, 2}));
    EXPECT_EQ(PNHelper::GZip(Bytes{'a'}, nullptr), -1);
}

TEST_F(PushHelper, GunzipCases) {
    const Bytes text = randomBytes(5000);
    const Bytes gzip = zlibRun(text, 31);
    const Bytes zlib = zlibRun(text, 15);
    const Bytes truncated(gzip.begin(), gzip.begin() + static_cast<long>(gzip.size() / 2));
    const Bytes overLimit = zlibRun(Bytes(kPNGunzipLimit + 1, 0), 31);
    const Bytes exactlyLimit = zlibRun(Bytes(kPNGunzipLimit, 0), 31);
    struct Case {
        const char* name;
        const Bytes& input;
        int result;
        const char* line;
    };
    const Bytes empty;
    const Case cases[] = {
        {"gzip", gzip, 0, nullptr},
        {"zlib", zlib, 0, nullptr},
        {"truncated", truncated, -1, "Gunzip failed with status == "},
        {"over the cap", overLimit, -1, "Gunzip output is over 16777216 bytes."},
        {"at the cap", exactlyLimit, 0, nullptr},
        {"empty", empty, -1, nullptr},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        Bytes out{9};
        EXPECT_EQ(PNHelper::GUnzip(c.input, &out), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(out.size(), c.input.size() == exactlyLimit.size() ? kPNGunzipLimit : text.size()) << c.name;
        } else {
            EXPECT_EQ(out, Bytes{9}) << c.name;
        }
        if (c.line) {
            EXPECT_TRUE(capture.contains(c.line)) << c.name;
        }
    }
    EXPECT_EQ(PNHelper::GUnzip(gzip, nullptr), -1);
}

TEST_F(PushHelper, Md5OfEveryByte) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
    };
    for (const auto& [text, digest] : cases) EXPECT_EQ(PNHelper::getInstance().md5(text), digest) << text;
}

TEST_F(PushHelper, TimeTexts) {
    test::DeviceSettings settings("Asia/Shanghai", "en_US");
    PNHelper& helper = PNHelper::getInstance();
    const Date start = Date::fromSince1970(1700000000.0);
    EXPECT_EQ(helper.secondsBetweenTimes(start, start.adding(90.9)), 90);
    EXPECT_EQ(helper.secondsBetweenTimes(start, start.adding(-90.9)), -90);
    const auto parsed = helper.strToTime("2024-03-05 06:07:08");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->since1970(), 1709590028.0);  // 2024-03-04 22:07:08 UTC
    EXPECT_EQ(helper.timeToStr(*parsed), "2024-03-05 06:07:08");
    for (const char* text : {"2024/03/05 06:07:08", "2024-03-05 06:07:08x", "2024-03-05"}) {
        EXPECT_FALSE(helper.strToTime(text)) << text;
    }
}

TEST_F(PushHelper, BundleFacts) {
    struct Case {
        const char* entries;
        PNText domain;
        const char* version;
    };
    const Case cases[] = {
        {"<key>CFBundleIdentifier</key><string>net.lunavexa.app</string>"
         "<key>CFBundleShortVersionString</key><string>2.1</string><key>CFBundleVersion</key><string>9</string>",
         std::string("net.lunavexa"), "2.1"},
        {"<key>CFBundleIdentifier</key><string>lunavexa</string><key>CFBundleVersion</key><string>9</string>",
         std::string("lunavexa"), "9"},
        {"<key>CFBundleIdentifier</key><string>net.lunavexa</string>", std::string("net"), "unknown"},
        {"", std::nullopt, "unknown"},
    };
    for (const auto& c : cases) {
        const std::string folder = rootPath() + "/bundle";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                              << c.entries << "</dict></plist>";
        Bundle::setMainBundlePath(folder);
        EXPECT_EQ(PNHelper::getInstance().getCompanyDomain(), c.domain) << c.entries;
        EXPECT_EQ(PNHelper::getInstance().getAppVersion(), c.version) << c.entries;
    }
    Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
}

TEST_F(PushHelper, InterfaceFacts) {
    struct Case {
        std::vector<NetworkInterface> interfaces;
        bool wifi;
        const char* mac;
    };
    const Case cases[] = {
        {{{"lo", "127.0.0.1", true, true, {}}, {"en0", "10.1.2.3", true, false, {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}}},
         true, "0A:1B:2C:3D:4E:5F"},
        {{{"en0", "", true, false, {0, 1, 2, 3, 4, 5}}}, false, "00:01:02:03:04:05"},
        {{{"en0", "10.1.2.3", true, false, {}}}, true, "sysctl msgBuffer failure"},
        {{{"eth1", "10.1.2.3", true, false, {1, 2, 3, 4, 5, 6}}}, false, "if_nametoindex failure"},
    };
    for (const auto& c : cases) {
        DeviceFacts facts = DeviceFacts::current();
        facts.networkInterfaces = c.interfaces;
        DeviceFacts::set(facts);
        LogCapture capture;
        EXPECT_EQ(PNHelper::isWiFiAvailable(), c.wifi) << c.mac;
        EXPECT_EQ(PNHelper::getMacAddress(), c.mac);
        EXPECT_EQ(capture.contains("Error: "), std::string(c.mac).find(':') == std::string::npos) << c.mac;
    }
}

}  // namespace
}  // namespace lv
