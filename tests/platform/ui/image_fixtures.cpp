#include "platform/ui/image_fixtures.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <cstdlib>
#include <vector>
#include <stdexcept>

#include <jpeglib.h>
#include <zlib.h>

namespace lv::test {
namespace {

void put32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void chunk(Bytes& out, const char* type, const Bytes& body) {
    put32(out, static_cast<std::uint32_t>(body.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
    put32(out, static_cast<std::uint32_t>(crc));
}

// Writes the bytes over the start of out. (A vector made from a list and then grown draws a false
// out-of-bounds report from GCC 12 at -O3; made at its size and written over, it does not.)
void placeAt(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    std::size_t at = 0;
    for (const std::uint8_t b : bytes) out.at(at++) = b;
}

}  // namespace

Bytes makePNG(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
              const std::function<RGBA(std::uint32_t, std::uint32_t)>& pixel) {
    const int channels = colourType == 0 ? 1 : colourType == 2 ? 3 : 4;
    const int sampleBytes = bitDepth / 8;
    Bytes raw;
    raw.reserve((std::size_t{width} * channels * sampleBytes + 1) * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        for (std::uint32_t x = 0; x < width; ++x) {
            const RGBA p = pixel(x, y);
            const std::uint16_t samples[4] = {p.r, p.g, p.b, p.a};
            for (int c = 0; c < channels; ++c) {
                if (sampleBytes == 2) raw.push_back(static_cast<std::uint8_t>(samples[c] >> 8));
                raw.push_back(static_cast<std::uint8_t>(samples[c]));
            }
        }
    }
    uLongf compressedSize = compressBound(static_cast<uLong>(raw.size()));
    Bytes compressed(compressedSize);
    if (compress(compressed.data(), &compressedSize, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
        throw std::runtime_error("zlib compress failed");
    }
    compressed.resize(compressedSize);
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes header;
    put32(header, width);
    put32(header, height);
    header.insert(header.end(), {static_cast<std::uint8_t>(bitDepth), static_cast<std::uint8_t>(colourType), 0, 0, 0});
    chunk(out, "IHDR", header);
    chunk(out, "IDAT", compressed);
    chunk(out, "IEND", {});
    return out;
}

Bytes padPNG(const Bytes& png, std::size_t total) {
    constexpr std::size_t kIEND = 12;          // length, type, CRC of the empty end chunk
    constexpr std::size_t kChunkOverhead = 12;  // the same around the padding
    if (total < png.size() + kChunkOverhead + 8) throw std::invalid_argument("padPNG: total too small");
    Bytes body(total - png.size() - kChunkOverhead, ' ');
    placeAt(body, {'C', 'o', 'm', 'm', 'e', 'n', 't', 0});
    Bytes out(png.begin(), png.end() - kIEND);
    chunk(out, "tEXt", body);
    out.insert(out.end(), png.end() - kIEND, png.end());
    return out;
}

RGBA patternPixel(std::uint32_t x, std::uint32_t y, bool withAlpha) {
    return RGBA{static_cast<std::uint16_t>((x * 7) & 0xFF), static_cast<std::uint16_t>((y * 5) & 0xFF),
                static_cast<std::uint16_t>((x + y) & 0xFF),
                static_cast<std::uint16_t>(withAlpha ? (x * 3 + y) & 0xFF : 0xFF)};
}

Bytes makeJPEG(std::uint32_t width, std::uint32_t height, JPEGKind kind, int quality) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = kind == JPEGKind::RGB ? 3 : 4;
    info.in_color_space = kind == JPEGKind::RGB ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    if (kind == JPEGKind::CMYK) jpeg_set_colorspace(&info, JCS_CMYK);
    if (kind == JPEGKind::YCCK) jpeg_set_colorspace(&info, JCS_YCCK);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(std::size_t{width} * static_cast<std::size_t>(info.input_components));
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const RGBA p = patternPixel(x, y, false);
            JSAMPLE* at = row.data() + std::size_t{x} * static_cast<std::size_t>(info.input_components);
            at[0] = static_cast<JSAMPLE>(p.r);
            at[1] = static_cast<JSAMPLE>(p.g);
            at[2] = static_cast<JSAMPLE>(p.b);
            if (kind != JPEGKind::RGB) at[3] = 40;
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    Bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return out;
}

Bytes oneFrameGIF() {
    return {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0,  // screen 1 × 1, two-colour table
            0xFF, 0, 0, 0, 0, 0xFF,                                 // red, blue
            0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0,                        // image 1 × 1
            2, 2, 0x44, 0x01, 0,                                    // clear, index 0, end
            0x3B};
}

Bytes twoFrameGIF() {
    return {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF,
            0x21, 0xF9, 4, 0, 10, 0, 0, 0,  // 10 cs
            0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0,
            0x21, 0xF9, 4, 0, 10, 0, 0, 0,
            0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0,  // clear, index 1, end
            0x3B};
}

Bytes tiffBytes() {
    Bytes out(64, 0);
    placeAt(out, {'I', 'I', 42, 0, 8, 0, 0, 0});
    return out;
}

Bytes icoBytes() {
    Bytes out(64, 0);
    placeAt(out, {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0});
    return out;
}

}  // namespace lv::test
