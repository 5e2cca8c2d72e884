// The push client's readers of server bytes: the reply frame strip and the decode of every wire
// record. The first byte picks the record class; the frame strip sees the whole input. A record that
// decodes must encode to bytes that decode again and encode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/base/log.h"
#include "push/tlv_frame.h"
#include "push/wire_records.h"

namespace {

using Decode = bool (*)(std::span<const std::uint8_t>, lv::Bytes&);

template <class Record>
bool decodeAndEncode(std::span<const std::uint8_t> data, lv::Bytes& encoded) {
    const auto record = Record::fromData(data);
    if (!record) return false;
    encoded = record->toData();
    return true;
}

constexpr Decode kDecoders[] = {
    decodeAndEncode<lv::PNWireRegisterReq>,
    decodeAndEncode<lv::PNWireRegisterRsp>,
    decodeAndEncode<lv::PNWireReconnectReq>,
    decodeAndEncode<lv::PNWireReconnectRsp>,
    decodeAndEncode<lv::PNWireUnregisterReq>,
    decodeAndEncode<lv::PNWireUnregisterRsp>,
    decodeAndEncode<lv::PNWireTokenTagReq>,
    decodeAndEncode<lv::PNWireTokenTagRsp>,
    decodeAndEncode<lv::PNWirePushClickReq>,
    decodeAndEncode<lv::PNWirePushClickRsp>,
    decodeAndEncode<lv::PNWireClickClientReport>,
    decodeAndEncode<lv::PNMutableInfo>,
    decodeAndEncode<lv::PNDeviceInfo>,
    decodeAndEncode<lv::PNUnregInfo>,
    decodeAndEncode<lv::PNAppInfo>,
    decodeAndEncode<lv::PNWirePushMsg>,
    decodeAndEncode<lv::PNWirePushClientReport>,
    decodeAndEncode<lv::PNWirePushClientReq>,
    decodeAndEncode<lv::PNWirePushVerifyReq>,
    decodeAndEncode<lv::PNWirePushVerifyRsp>,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    lv::LogCapture quiet;
    const std::span<const std::uint8_t> input(bytes, size);

    // The frame strip: the record after byte 17 when the result code is 0, nothing otherwise.
    const auto record = lv::PNTlv::fromFullTlvData(input);
    if (record.has_value() != (size >= 17 && bytes[16] == 0)) std::abort();
    if (record && *record != lv::Bytes(bytes + 17, bytes + size)) std::abort();
    if (size == 0) return 0;

    const Decode decode = kDecoders[bytes[0] % std::size(kDecoders)];
    lv::Bytes first;
    if (!decode(input.subspan(1), first)) return 0;
    lv::Bytes second;
    if (first.empty()) return 0;  // a record of no fields cannot be read back (empty input reads as nil)
    if (!decode(first, second) || second != first) std::abort();

    // Our own request frames strip back to their record.
    const auto frame = lv::PNTlv::toFullTlvData(first, bytes[0]);
    if (frame && lv::PNTlv::fromFullTlvData(*frame) != first) std::abort();
    return 0;
}
