// Record classes declared the way the wire records are, with the layouts the reader and record tests
// need (gaps in the tags, declarations out of order, malformed declarations).
#pragma once

#include "push/tlv_object_v2.h"

namespace lv::test {

// Tags 0 (required) and 2 (optional), no tag 1.
class SparseRecord final : public PNTlvObjectV2 {
    LV_TLV_RECORD(SparseRecord, "test.Sparse")
    LV_TLV_SCALAR(std::int32_t, first)
    LV_TLV_SCALAR(std::int32_t, third)
};

// A SparseRecord at tag 0, a number at tag 1.
class HolderRecord final : public PNTlvObjectV2 {
    LV_TLV_RECORD(HolderRecord, "test.Holder")
    LV_TLV_NESTED(SparseRecord, inner, nullptr)
    LV_TLV_SCALAR(std::int32_t, after)
};

// Declared in the order 3, 0, 1.
class OrderedRecord final : public PNTlvObjectV2 {
    LV_TLV_RECORD(OrderedRecord, "test.Ordered")
    LV_TLV_VALUE(last, tlvEmptyText())
    LV_TLV_SCALAR(std::int32_t, first)
    LV_TLV_SCALAR(bool, middle)
};

// A name with "_" in it, a declaration of four parts, a text field whose descriptor makes it a list
// of numbers, a descriptor outside the grammar, a property that is no field, and a repeated tag.
class OddRecord final : public PNTlvObjectV2 {
    LV_TLV_RECORD(OddRecord, "test.Odd")
    LV_TLV_SCALAR(std::int32_t, someValue)
    LV_TLV_SCALAR(std::int32_t, fourParts)
    LV_TLV_VALUE(mislisted, tlvEmptyText())
    LV_TLV_VALUE(undescribed, tlvEmptyText())
    LV_TLV_SCALAR(std::int32_t, plain)
    LV_TLV_SCALAR(std::int32_t, early)
    LV_TLV_SCALAR(std::int32_t, late)
};

}  // namespace lv::test
