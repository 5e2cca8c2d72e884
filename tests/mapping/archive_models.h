// Model classes of the archiving tests and of the archive tool that Python's plistlib reads.
#pragma once

#include <atomic>
#include <string>

#include "mapping/model.h"

namespace lv::test {

// Strings, a scalar and a dictionary; no archiving hooks.
class ArchivedNote : public JMModel {
public:
    ArchivedNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<ArchivedNote>("ArchivedNote")
                                          .property("title", &ArchivedNote::title, "String", "&,N")
                                          .property("body", &ArchivedNote::body, "String", "C,N")
                                          .property("count", &ArchivedNote::count, "N")
                                          .property("extra", &ArchivedNote::extra, "Dictionary", "&,N")
                                          .registerClass();
        return cls;
    }
    Value title, body, extra;
    std::int64_t count = 0;
};

}  // namespace lv::test
