// Download resume data handed back by an app: any bytes are refused or read; resume data read writes
// back resume data that reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/base/log.h"
#include "platform/net/detail/session_internal.h"

namespace {

bool same(const lv::net_detail::ResumeInfo& a, const lv::net_detail::ResumeInfo& b) {
    return a.request.URL() && b.request.URL() && a.request.URL()->absoluteString() == b.request.URL()->absoluteString() &&
           a.request.allHTTPHeaderFields() == b.request.allHTTPHeaderFields() && a.path == b.path &&
           a.bytes == b.bytes && a.validator == b.validator;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    // Resume data names a partial file; one that exists lets the reader go all the way.
    static const std::string partial = [] {
        const auto path = std::filesystem::temp_directory_path() / "lv_fuzz_resume_partial";
        std::ofstream(path, std::ios::binary) << std::string(64, 'x');
        return path.string();
    }();
    (void)partial;
    const auto info = lv::net_detail::decodeResumeData(lv::Bytes(data, data + size));
    if (!info) return 0;
    const auto written = lv::net_detail::encodeResumeData(*info);
    if (!written) std::abort();
    const auto back = lv::net_detail::decodeResumeData(*written);
    if (!back || !same(*back, *info)) std::abort();
    return 0;
}
