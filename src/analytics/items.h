// The cached items of the analytics client: the base item (TLYBaseEvent) and its kinds — counted
// events (TLYEvent), keyed-attribute events (TLYEkv), crash reports (TLYError) and session ends
// (TLYTerminate). Each is registered with the runtime under its own name, archived with the keyed
// archiver under its "self.<field>" keys, and prints its own log line while logging is on.
//
// Threads: an item is built on the caller's thread and then owned by the engine's main thread; it is
// never shared while being changed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class ClassInfo;

class TLYBaseEvent : public Object, public Coding {
public:
    // Stamped now: ts, date ("yyyy-MM-dd") and time ("HH:mm:ss").
    TLYBaseEvent();
    // Unstamped, for the archive reader, which sets every field itself (reading the clock and the
    // device's time zone per item would dominate reading a large archive).
    struct ForDecoding {};
    explicit TLYBaseEvent(ForDecoding);
    // Registers every item class with the runtime (done by each constructor as well), so that a cache
    // archive can be read before any item is made.
    static void registerClasses();

    double ts = 0;      // seconds since 1970
    double began = 0;   // monotonicTime() at the making, which durations count from (not archived)
    std::string type;
    std::string date;
    std::string time;
    std::string session_id;
    bool sendingFlag = false;

    // Stamps the item with another time than its making (a crash filed at the next launch).
    void stampAt(double since1970);

    // Prints the item's log line while logging is on; the base item has none.
    virtual void outputUMLog() const {}

    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
    // Same class and same ts.
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
};

class TLYEvent : public TLYBaseEvent {
public:
    TLYEvent();
    explicit TLYEvent(ForDecoding tag);
    std::string event_id;
    std::string label;
    std::int64_t acc = 0;
    std::int64_t du = 0;  // milliseconds
    Value values;         // a dictionary or nil

    // du = milliseconds since the making (the monotonic clock: a wall clock set meanwhile moves nothing).
    void updateDu();
    // "TLYLOG: event: session_id=…, event=…[, label=…][, du=…]".
    void outputUMLog() const override;
    // acc and du as 64-bit integers (older archives hold 32-bit ones; both read).
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
};

class TLYError : public TLYBaseEvent {
public:
    TLYError();
    explicit TLYError(ForDecoding tag);
    std::string context;

    // "TLYLOG: error: session_id=…, context=…".
    void outputUMLog() const override;
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
};

class TLYEkv : public TLYBaseEvent {
public:
    TLYEkv();
    explicit TLYEkv(ForDecoding tag);
    // Null (after the reserved-key message on the system log) when a key is "id", "ts" or "du";
    // otherwise the item with the accepted attributes, of kind "gkv" or "ekv".
    static Ref<TLYEkv> make(std::string id, std::string key, const Dictionary& values, bool isGKV);

    std::int32_t du = 0;  // milliseconds
    std::string id;
    std::string key;
    Dictionary values;

    // The first 10 entries (11 with "__ct__") in the dictionary's key order, skipped ones counted;
    // "ekv" keeps text values only, cut to 256 bytes, "gkv" any value; keys are cut to 128 bytes.
    Dictionary processDictionary(const Dictionary& values) const;
    // du = milliseconds since the making (as updateDu of TLYEvent), as a 32-bit number.
    void updateDu();
    // "TLYLOG: ekv: …" or "TLYLOG: gkv: …".
    void outputUMLog() const override;
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
};

class TLYTerminate : public TLYBaseEvent {
public:
    explicit TLYTerminate(double duration = 0);
    explicit TLYTerminate(ForDecoding tag);
    double duration = 0;  // seconds
    Array pageViews;      // [page name, seconds] pairs
    double latitude = 0;
    double longitude = 0;
    std::int64_t gps_time = 0;  // milliseconds since 1970

    // Both coordinates non-zero and a positive fix time.
    bool hasGPSInfo() const;
    // "TLYLOG: session: session_id=…, duration=…[,pageViews=<list>]".
    void outputUMLog() const override;
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
};

// The form a mutable list takes in the client's log lines: "<1,<count>,<address>>,[<address>--<hash>] …".
std::string analyticsListDescription(const Array& list);

}  // namespace lv
