// The image response serializer: validates like every response serializer (status 200-299 and the
// ten image MIME types) and turns the body into an Image at the screen's scale, by default drawn at
// once into a device-RGB bitmap (inflated) on the thread that serializes the response, so drawing
// it later costs nothing.
//
// Threads: like the other serializers, no per-response state; the two properties sit behind the
// base's lock, so one instance serves concurrent calls from processing queues.
#pragma once

#include "http/response_serialization.h"
#include "platform/storage/keyed_archive.h"
#include "platform/ui/image.h"

namespace lv {

class ClassInfo;

class HCImageResponseSerializer : public HCHTTPResponseSerializer {
public:
    // The base's settings, then the ten image types, the main screen's scale and inflation on.
    HCImageResponseSerializer();
    static Ref<HCImageResponseSerializer> serializer() { return makeRef<HCImageResponseSerializer>(); }

    double imageScale() const;
    void setImageScale(double scale);
    bool automaticallyInflatesResponseImage() const;
    void setAutomaticallyInflatesResponseImage(bool inflates);

    // Validation as the base does; nil without an out-parameter when validation fails or when the
    // content type was refused. Then the image (inflated or not) as a Value, nil for data that is no
    // image. Writes no error of its own.
    Value responseObjectForResponse(const Ref<URLResponse>& response, const Value& data,
                                    Ref<Error>* error) const override;
    // Scale and inflation copied; the acceptable codes and types are the defaults.
    Ref<HCHTTPResponseSerializer> copy() const override;

    // Archived as "HCImageResponseSerializer" with the base keys, "imageScale" (a number) and
    // "automaticallyInflatesResponseImage" (bool); registered by every new image serializer.
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    double imageScale_;
    bool automaticallyInflatesResponseImage_ = true;
};

// The most pixels (all frames together) a response image may have: 4096 x 4096, 64 MiB decoded, several
// phone screens; a larger one is refused before decoding, as data that is no image.
inline constexpr std::uint64_t kHCImageMaxPixels = 4096u * 4096u;
// The decoded image at the scale: an animated image unchanged, otherwise its bitmap at the scale with
// its orientation; nil when the data is no image or has more than kHCImageMaxPixels.
Ref<Image> imageWithDataAtScale(const Bytes& data, double scale);
// The image drawn into a device-RGB bitmap when it is small enough (at most 1,048,576 pixels and 8 bits
// per component); a PNG or JPEG response is read with that decoder alone (a CMYK JPEG's bitmap is
// dropped). Falls back to imageWithDataAtScale's image whenever inflation is not possible.
Ref<Image> inflateResponseImage(const Ref<URLResponse>& response, const Bytes& data, double scale);
// The alpha part of a bitmap info as inflation draws it: none becomes none-skip-first, none-skip-last
// and none-skip-first stay, everything else becomes premultiplied-first; the other bits stay.
std::uint32_t inflatedBitmapInfo(std::uint32_t bitmapInfo);

}  // namespace lv
