// Writes the analytics client's settings files into a sandbox for check_settings.py, an independent
// reader: the user defaults, the DeviceUID pasteboard, an envelope file and a cache-item archive.
#include <fstream>
#include <iostream>
#include <string>

#include "analytics/items.h"
#include "analytics/protocol_data.h"
#include "analytics/tally_config.h"
#include "analytics/tally_utility.h"
#include "platform/base/clock.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/sandbox.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_settings <sandbox folder>\n";
        return 2;
    }
    using namespace lv;
    if (!Sandbox::setRoot(argv[1])) return 1;
    ScopedClock clock([] { return 1700000000.5; });

    TallyConfig::incrementRequest(true, 250);
    TallyConfig::incrementRequest(false, 0);
    TallyConfig::setLastPostDate();
    TallyConfig::accumulateCount(7, "tlyPeriodEvtCount");
    TallyConfig::setConfigure(Value("9f3b6c2a41e07d58b2c4a6e1"), "appkey");
    std::cout << TLYDeviceUID::value() << "\n";

    const std::string body = "envelope bytes";
    if (!TallyUtility::saveData(Bytes(body.begin(), body.end()), TallyUtility::generateEnvelopeFileNameWithTS("1700000000500")))
        return 1;

    auto event = makeRef<TLYEvent>();
    event->session_id = "S1";
    event->event_id = "newsTab";
    event->acc = std::int64_t{1} << 40;
    event->du = 1234;
    auto end = makeRef<TLYTerminate>(42.5);
    end->pageViews = {Value(Array{Value("NewsViewController"), Value(3)})};
    end->gps_time = 1700000000123;
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(event), Value(end)}));
    std::ofstream(std::string(argv[1]) + "/items.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    return 0;
}
