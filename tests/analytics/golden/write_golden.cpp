// Writes the analytics formats into a folder for check_pack.py, an independent reader.
#include <fstream>
#include <iostream>
#include <string>

#include "analytics/deflated.h"
#include "analytics/items.h"
#include "analytics/pack_cases.h"
#include "analytics/tly_util.h"
#include "platform/storage/keyed_archive.h"

namespace {

void save(const std::string& folder, const std::string& name, const lv::Bytes& bytes) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_golden <folder>\n";
        return 2;
    }
    using namespace lv;
    const std::string folder = argv[1];
    save(folder, "envelope.pack", packBytes(test::tenFieldEnvelope()));
    TLYEnvelope noEntity = test::tenFieldEnvelope();
    noEntity.setEntity(std::nullopt);
    save(folder, "envelope_nil_entity.pack", packBytes(noEntity));
    const Bytes entry = packBytes(test::nestedLogEntry());
    save(folder, "log_entry.pack", entry);
    save(folder, "every_field_log_entry.pack", packBytes(test::everyFieldLogEntry()));
    save(folder, "every_field_response.pack", packBytes(test::everyFieldResponse()));

    TLYEnvelope wrapped("V1.0", "app", std::string(64, 'a'), 0, 1700000000, static_cast<std::int32_t>(entry.size()),
                        TLYDeflated::deflatedData(entry), std::string(64, 'b'), "sum", 0);
    save(folder, "envelope_deflated.pack", packBytes(wrapped));

    save(folder, "deflate_empty.bin", *TLYDeflated::deflatedData({}));
    std::string hello;
    for (int i = 0; i < 100; ++i) hello += "hello ";
    save(folder, "deflate_prefixed.bin",
         *TLYDeflated::deflatedDataPrefixedWith(Bytes{0xAB, 0xCD}, -1, Bytes(hello.begin(), hello.end())));

    const std::string plain = "analytics envelope body";
    const Bytes key = test::hexBytes("000102030405060708090a0b0c0d0e0f");
    save(folder, "aes.bin", *TallyUtility::AES128EncryptData(Bytes(plain.begin(), plain.end()), key));

    save(folder, "envelope_archive.plist",
         KeyedArchiver::archivedDataWithRootObject(Value(makeRef<TLYEnvelope>(test::tenFieldEnvelope()))));
    // The cache archive's list of items: every kind, with texts the property list holds as they are,
    // as UTF-16 and (with NUL) as a string object, and values shared between items.
    auto event = makeRef<TLYEvent>();
    event->event_id = "newsTab";
    event->label = "\xE9\x9F\xA9\xE5\x89\xA7";
    event->acc = 3;
    event->du = std::int64_t{1} << 33;
    event->values = Value::dictionary({{"k", "v"}, {"n", 2}});
    auto ekv = TLYEkv::make("buy", "item", Dictionary{{"a", Value("b")}}, false);
    ekv->du = 1500;
    auto error = makeRef<TLYError>();
    error->context = std::string("crash\0report", 12);
    auto end = makeRef<TLYTerminate>(42.5);
    end->pageViews = {Value(Array{Value("NewsViewController"), Value(3)})};
    end->latitude = 39.9;
    end->longitude = 116.4;
    end->gps_time = 1700000000123;
    Array items;
    for (const Ref<TLYBaseEvent>& item : std::initializer_list<Ref<TLYBaseEvent>>{event, ekv, error, end}) {
        item->ts = 1700000000.25;
        item->date = "2026-12-08";
        item->time = "10:00:00";
        item->session_id = "S1";
        item->sendingFlag = true;
        items.emplace_back(item);
    }
    save(folder, "cache_items.plist", KeyedArchiver::archivedDataWithRootObject(Value(std::move(items))));
    std::string json = *TLYUtils::JSONFragment(Value::dictionary({{"appkey", "k"}, {"n", 3}, {"t", "\xE4\xB8\xAD/\""}}));
    save(folder, "fragment.json", Bytes(json.begin(), json.end()));
    return 0;
}
