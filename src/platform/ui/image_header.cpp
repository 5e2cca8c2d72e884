#include "platform/ui/image_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lv {
namespace {

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool has(std::size_t at, std::size_t count) const { return at <= data_.size() && count <= data_.size() - at; }
    std::uint8_t u8(std::size_t at) const { return data_[at]; }
    std::uint32_t be16(std::size_t at) const { return (std::uint32_t{data_[at]} << 8) | data_[at + 1]; }
    std::uint32_t le16(std::size_t at) const { return (std::uint32_t{data_[at + 1]} << 8) | data_[at]; }
    std::uint32_t be32(std::size_t at) const { return (be16(at) << 16) | be16(at + 2); }
    std::uint32_t le32(std::size_t at) const { return (le16(at + 2) << 16) | le16(at); }
    bool matches(std::size_t at, const char* text, std::size_t count) const {
        return has(at, count) && std::memcmp(data_.data() + at, text, count) == 0;
    }
    std::size_t size() const { return data_.size(); }
    std::span<const std::uint8_t> sub(std::size_t at, std::size_t count) const { return data_.subspan(at, count); }

private:
    std::span<const std::uint8_t> data_;
};

bool scanPNG(const Reader& in, ImageHeader* header) {
    // Signature (8), IHDR: length (4), "IHDR", width, height, depth, colour type, ...
    if (!in.has(0, 33) || !in.matches(12, "IHDR", 4)) return false;
    header->width = in.be32(16);
    header->height = in.be32(20);
    header->bitsPerComponent = in.u8(24);
    const std::uint8_t colourType = in.u8(25);
    switch (colourType) {
        case 0: header->components = 1; header->colorModel = ColorSpaceModel::Monochrome; break;
        case 2: header->components = 3; header->colorModel = ColorSpaceModel::RGB; break;
        case 3: header->components = 3; header->colorModel = ColorSpaceModel::Indexed; break;
        case 4: header->components = 2; header->colorModel = ColorSpaceModel::Monochrome; header->hasAlpha = true; break;
        case 6: header->components = 4; header->colorModel = ColorSpaceModel::RGB; header->hasAlpha = true; break;
        default: return false;
    }
    // Every chunk must fit in the data: stb grows its buffer to a claimed IDAT length before reading,
    // so a few bytes claiming gigabytes would cost gigabytes. A tRNS chunk gives the image alpha too.
    std::size_t at = 33;
    bool seenData = false;
    while (in.has(at, 8)) {
        const std::size_t length = in.be32(at);
        if (!in.has(at + 8, length)) return false;
        if (in.matches(at + 4, "IEND", 4)) break;
        if (in.matches(at + 4, "IDAT", 4)) seenData = true;
        if (!seenData && in.matches(at + 4, "tRNS", 4)) header->hasAlpha = true;
        at += 12 + length;
    }
    if (header->hasAlpha && colourType < 4) ++header->components;
    header->frameCount = 1;
    return header->width > 0 && header->height > 0;
}

ImageOrientation orientationFromExif(std::uint32_t value) {
    switch (value) {
        case 2: return ImageOrientation::UpMirrored;
        case 3: return ImageOrientation::Down;
        case 4: return ImageOrientation::DownMirrored;
        case 5: return ImageOrientation::LeftMirrored;
        case 6: return ImageOrientation::Right;
        case 7: return ImageOrientation::RightMirrored;
        case 8: return ImageOrientation::Left;
        default: return ImageOrientation::Up;
    }
}

// The orientation tag (0x0112) of IFD0 in an APP1 "Exif" segment's TIFF block.
ImageOrientation scanExif(const Reader& tiff) {
    if (!tiff.has(0, 8)) return ImageOrientation::Up;
    const bool little = tiff.matches(0, "II", 2);
    if (!little && !tiff.matches(0, "MM", 2)) return ImageOrientation::Up;
    auto u16 = [&](std::size_t at) { return little ? tiff.le16(at) : tiff.be16(at); };
    auto u32 = [&](std::size_t at) { return little ? tiff.le32(at) : tiff.be32(at); };
    const std::size_t ifd = u32(4);
    if (!tiff.has(ifd, 2)) return ImageOrientation::Up;
    const std::uint32_t entries = u16(ifd);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + std::size_t{i} * 12;
        if (!tiff.has(entry, 12)) break;
        if (u16(entry) == 0x0112 && u16(entry + 2) == 3) return orientationFromExif(u16(entry + 8));
    }
    return ImageOrientation::Up;
}

// The bytes of entropy-coded data from the position to the marker that ends the scan (restart
// markers, stuffed and fill bytes passed over), counted up to `enough`.
std::size_t codedBytes(const Reader& in, std::size_t at, std::size_t enough) {
    std::size_t coded = 0;
    while (in.has(at, 1) && coded < enough) {
        if (in.u8(at) != 0xFF) {
            ++coded, ++at;
            continue;
        }
        if (!in.has(at, 2)) break;
        const std::uint8_t next = in.u8(at + 1);
        if (next == 0x00) {
            ++coded;  // a stuffed 0xFF
        } else if (next != 0xFF && (next < 0xD0 || next > 0xD7)) {
            break;  // a marker: the scan ends
        }
        at += next == 0xFF ? 1 : 2;
    }
    return coded;
}

struct JPEGComponent {
    std::uint8_t id, horizontal, vertical;
};

// The blocks a scan codes: one component's own blocks, or whole MCUs of several. Each takes at least
// one bit in any scan that can come first (baseline, or a progressive DC scan).
std::uint64_t scanBlocks(const ImageHeader& header, const std::vector<JPEGComponent>& components,
                         const Reader& in, std::size_t scan) {
    std::uint32_t hMax = 1, vMax = 1;
    for (const JPEGComponent& c : components) hMax = std::max<std::uint32_t>(hMax, c.horizontal), vMax = std::max<std::uint32_t>(vMax, c.vertical);
    const auto up = [](std::uint64_t value, std::uint64_t by) { return (value + by - 1) / by; };
    const std::size_t count = in.u8(scan);
    if (count == 1) {
        for (const JPEGComponent& c : components) {
            if (c.id != in.u8(scan + 1)) continue;
            return up(up(std::uint64_t{header.width} * c.horizontal, hMax), 8) *
                   up(up(std::uint64_t{header.height} * c.vertical, vMax), 8);
        }
        return 0;
    }
    std::uint64_t perMCU = 0;
    for (std::size_t i = 0; i < count; ++i) {
        for (const JPEGComponent& c : components) {
            if (c.id == in.u8(scan + 1 + 2 * i)) perMCU += std::uint64_t{c.horizontal} * c.vertical;
        }
    }
    return up(header.width, 8 * hMax) * up(header.height, 8 * vMax) * perMCU;
}

// The frame header gives the facts. The image is taken only when tables and a scan follow, and the
// first scan holds at least a bit for each block it codes: the decoder pads a short scan with zeros,
// so a frame header with a few bytes after it would make a blank image of any size the header claims.
bool scanJPEG(const Reader& in, ImageHeader* header) {
    bool frameSeen = false, huffmanFrame = false, quantisationSeen = false, huffmanSeen = false;
    std::vector<JPEGComponent> components;
    std::size_t at = 2;
    while (in.has(at, 2)) {
        if (in.u8(at) != 0xFF) return false;
        const std::uint8_t marker = in.u8(at + 1);
        if (marker == 0xFF) { ++at; continue; }  // fill byte
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { at += 2; continue; }
        if (marker == 0xD9 || !in.has(at + 2, 2)) return false;  // no scan
        const std::size_t length = in.be16(at + 2);
        if (length < 2) return false;
        const std::size_t body = at + 4;
        const std::size_t bodyLength = length - 2;
        if (marker == 0xDA) {
            const std::size_t count = in.has(body, 1) ? in.u8(body) : 0;
            if (!frameSeen || !quantisationSeen || (huffmanFrame && !huffmanSeen) || count == 0 ||
                bodyLength < 4 + 2 * count || !in.has(body, bodyLength)) {
                return false;
            }
            const std::uint64_t blocks = scanBlocks(*header, components, in, body);
            const std::size_t needed = static_cast<std::size_t>((blocks + 7) / 8);
            return blocks > 0 && codedBytes(in, body + bodyLength, needed) >= needed;
        }
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (frameSeen || !in.has(body, 6)) return false;
            header->bitsPerComponent = in.u8(body);
            header->height = in.be16(body + 1);
            header->width = in.be16(body + 3);
            header->components = in.u8(body + 5);
            switch (header->components) {
                case 1: header->colorModel = ColorSpaceModel::Monochrome; break;
                case 3: header->colorModel = ColorSpaceModel::RGB; break;
                // CMYK, or YCCK when the Adobe segment says transform 2: both are CMYK images.
                case 4: header->colorModel = ColorSpaceModel::CMYK; break;
                default: return false;
            }
            header->frameCount = 1;
            if (header->width == 0 || header->height == 0 || !in.has(body, 6 + 3 * std::size_t(header->components))) {
                return false;
            }
            for (int i = 0; i < header->components; ++i) {
                const std::uint8_t sampling = in.u8(body + 7 + 3 * std::size_t(i));
                const JPEGComponent c{in.u8(body + 6 + 3 * std::size_t(i)), static_cast<std::uint8_t>(sampling >> 4),
                                      static_cast<std::uint8_t>(sampling & 15)};
                if (c.horizontal < 1 || c.horizontal > 4 || c.vertical < 1 || c.vertical > 4) return false;
                components.push_back(c);
            }
            frameSeen = true;
            huffmanFrame = marker <= 0xC7;  // C9-CF code arithmetically, without Huffman tables
        }
        // A table segment counts when it holds a table: a quantisation table is 65 bytes at least, a
        // Huffman table's head 17.
        if (marker == 0xDB && bodyLength >= 65) quantisationSeen = true;
        if (marker == 0xC4 && bodyLength >= 17) huffmanSeen = true;
        if (marker == 0xE1 && bodyLength >= 6 && in.matches(body, "Exif\0\0", 6) && in.has(body, bodyLength)) {
            header->orientation = scanExif(Reader(in.sub(body + 6, bodyLength - 6)));
        }
        if (marker == 0xEE && bodyLength >= 12 && in.matches(body, "Adobe", 5) && in.has(body, 12)) {
            header->adobeTransform = in.u8(body + 11);
        }
        at = body + bodyLength;
    }
    return false;
}

// Skips a chain of GIF sub-blocks; the position after the terminator, or 0 when the data ends first.
std::size_t skipSubBlocks(const Reader& in, std::size_t at) {
    while (in.has(at, 1)) {
        const std::size_t length = in.u8(at);
        if (length == 0) return at + 1;
        at += 1 + length;
    }
    return 0;
}

bool scanGIF(const Reader& in, ImageHeader* header) {
    if (!in.has(0, 13)) return false;
    header->width = in.le16(6);
    header->height = in.le16(8);
    header->components = 4;
    header->hasAlpha = true;
    header->colorModel = ColorSpaceModel::RGB;
    const std::uint8_t packed = in.u8(10);
    std::size_t at = 13;
    if (packed & 0x80) at += 3 * (std::size_t{1} << ((packed & 7) + 1));
    // Count image descriptors until the trailer or the end of what is well formed.
    while (in.has(at, 1)) {
        const std::uint8_t introducer = in.u8(at);
        if (introducer == 0x21) {
            if (!in.has(at, 3)) break;
            // A graphic control extension whose block is not 4 bytes is skipped by its length alone,
            // as the decoder does, with no sub-blocks after it: what follows is read as blocks.
            const std::size_t length = in.u8(at + 2);
            at = in.u8(at + 1) == 0xF9 && length != 4 ? at + 3 + length : skipSubBlocks(in, at + 2);
        } else if (introducer == 0x2C) {
            if (!in.has(at, 11)) break;
            const std::uint8_t local = in.u8(at + 9);
            at += 10;
            if (local & 0x80) at += 3 * (std::size_t{1} << ((local & 7) + 1));
            ++header->frameCount;
            at = in.has(at, 1) ? skipSubBlocks(in, at + 1) : 0;  // LZW code size, then the data
        } else {
            break;  // the trailer, or bytes stb ignores as well
        }
        if (at == 0) break;
    }
    return header->width > 0 && header->height > 0 && header->frameCount > 0;
}

bool scanBMP(const Reader& in, ImageHeader* header) {
    if (!in.has(14, 4)) return false;
    const std::uint32_t infoSize = in.le32(14);
    std::uint32_t bitsPerPixel = 0;
    if (infoSize == 12) {
        if (!in.has(18, 8)) return false;
        header->width = in.le16(18);
        header->height = in.le16(20);
        bitsPerPixel = in.le16(24);
    } else {
        if (!in.has(18, 12)) return false;
        const auto width = static_cast<std::int32_t>(in.le32(18));
        const auto height = static_cast<std::int32_t>(in.le32(22));
        if (width <= 0 || height == 0 || height == INT32_MIN) return false;
        header->width = static_cast<std::uint32_t>(width);
        header->height = static_cast<std::uint32_t>(height < 0 ? -height : height);
        bitsPerPixel = in.le16(28);
    }
    // stb fills missing pixel rows with zeros; a file shorter than its rows is refused instead.
    const std::uint64_t rowBytes = (std::uint64_t{header->width} * bitsPerPixel + 31) / 32 * 4;
    if (bitsPerPixel == 0 || in.size() < std::uint64_t{in.le32(10)} + rowBytes * header->height) return false;
    header->hasAlpha = bitsPerPixel == 32;
    header->components = header->hasAlpha ? 4 : 3;
    header->colorModel = ColorSpaceModel::RGB;
    header->frameCount = 1;
    return header->width > 0 && header->height > 0;
}

}  // namespace

ImageFileType detectImageFileType(std::span<const std::uint8_t> data) {
    const Reader in(data);
    if (in.matches(0, "\x89PNG\r\n\x1a\n", 8)) return ImageFileType::PNG;
    if (in.matches(0, "\xFF\xD8\xFF", 3)) return ImageFileType::JPEG;
    if (in.matches(0, "GIF87a", 6) || in.matches(0, "GIF89a", 6)) return ImageFileType::GIF;
    if (in.matches(0, "BM", 2)) return ImageFileType::BMP;
    if (in.matches(0, "II*\0", 4) || in.matches(0, "MM\0*", 4)) return ImageFileType::TIFF;
    if (in.matches(0, "\0\0\1\0", 4)) return ImageFileType::ICO;
    return ImageFileType::Unknown;
}

bool scanImageHeader(std::span<const std::uint8_t> data, ImageHeader* header) {
    *header = ImageHeader{};
    header->type = detectImageFileType(data);
    const Reader in(data);
    switch (header->type) {
        case ImageFileType::PNG: return scanPNG(in, header);
        case ImageFileType::JPEG: return scanJPEG(in, header);
        case ImageFileType::GIF: return scanGIF(in, header);
        case ImageFileType::BMP: return scanBMP(in, header);
        default: return false;
    }
}

}  // namespace lv
