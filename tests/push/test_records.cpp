#include "test_records.h"

namespace lv::test {

LV_TLV_RECORD_DEFINE(SparseRecord)
const ClassInfo* SparseRecord::runtimeClass() {
    static const ClassInfo* cls = TlvRecordDef<SparseRecord>("SparseRecord")
                                      .field("tlvv2_p_0_r_first", &SparseRecord::first_)
                                      .field("tlvv2_p_2_o_third", &SparseRecord::third_)
                                      .registerClass();
    return cls;
}

LV_TLV_RECORD_DEFINE(HolderRecord)
const ClassInfo* HolderRecord::runtimeClass() {
    static const ClassInfo* cls =
        (SparseRecord::runtimeClass(), TlvRecordDef<HolderRecord>("HolderRecord")
                                           .field("tlvv2_p_0_o_inner", &HolderRecord::inner_, "SparseRecord")
                                           .field("tlvv2_p_1_o_after", &HolderRecord::after_)
                                           .registerClass());
    return cls;
}

LV_TLV_RECORD_DEFINE(OrderedRecord)
const ClassInfo* OrderedRecord::runtimeClass() {
    static const ClassInfo* cls = TlvRecordDef<OrderedRecord>("OrderedRecord")
                                      .field("tlvv2_p_3_o_last", &OrderedRecord::last_, "String")
                                      .field("tlvv2_p_0_r_first", &OrderedRecord::first_)
                                      .field("tlvv2_p_1_o_middle", &OrderedRecord::middle_)
                                      .registerClass();
    return cls;
}

LV_TLV_RECORD_DEFINE(OddRecord)
const ClassInfo* OddRecord::runtimeClass() {
    static const ClassInfo* cls = TlvRecordDef<OddRecord>("OddRecord")
                                      .field("tlvv2_p_2_o_some_value", &OddRecord::someValue_)
                                      .field("tlvv2_p_4_o", &OddRecord::fourParts_)
                                      .field("tlvv2_p_5_o_mislisted__b0x9i_VONumber", &OddRecord::mislisted_, "String")
                                      .field("tlvv2_p_6_o_undescribed__b0x9i_Xyz", &OddRecord::undescribed_, "String")
                                      .field("plain", &OddRecord::plain_)
                                      .field("tlvv2_p_7_o_early", &OddRecord::early_)
                                      .field("tlvv2_p_7_o_late", &OddRecord::late_)
                                      .registerClass();
    return cls;
}

}  // namespace lv::test
