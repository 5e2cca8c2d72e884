// Arbitrary bytes through the header scanner and the decoder. Whatever decodes must re-encode as PNG
// and decode back to the same pixels; the scan must agree with the decoded size.
#include <cstdint>
#include <cstdlib>

#include "platform/ui/image.h"

namespace {

void checkRoundTrip(const lv::Image& image) {
    const lv::Ref<lv::Bitmap>& bitmap = image.bitmap() ? image.bitmap() : image.images().front()->bitmap();
    const lv::Bytes pixels = bitmap->rgbaPixels();
    if (pixels.size() != std::size_t{bitmap->width()} * bitmap->height() * 4) std::abort();
    const std::optional<lv::Bytes> png = lv::imagePNGRepresentation(image);
    if (!png) std::abort();
    const lv::Ref<lv::Image> again = lv::Image::imageWithData(*png);
    if (!again || !again->bitmap() || again->bitmap()->rgbaPixels() != pixels) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    lv::ImageHeader header;
    const bool scanned = lv::scanImageHeader(bytes, &header);
    // Keep each input's decode small so the run explores formats rather than allocating.
    if (scanned && header.totalPixels() > 1u << 20) return 0;
    const lv::Ref<lv::Image> image = lv::Image::imageWithData(bytes);
    if (!image) return 0;
    if (!scanned) std::abort();  // nothing decodes past a failed scan
    if (image->images().empty() && (image->bitmap()->width() != header.width ||
                                    image->bitmap()->height() != header.height)) {
        std::abort();
    }
    checkRoundTrip(*image);
    for (const lv::Ref<lv::Image>& frame : image->images()) checkRoundTrip(*frame);
    return 0;
}
