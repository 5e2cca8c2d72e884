// Image decoding beside raw stb: a 512 × 512 PNG and a 1024 × 768 JPEG decoded by stbi_load_from_memory
// (the floor), decoded and inflated as the image response serializer does, read from the image cache's
// disk level (file read and decode on its disk queue, answer on the main queue) and taken from its
// memory level. Prints the ratios to the raw decode.
#include <benchmark/benchmark.h>

#include <stb/stb_image.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "http/image_response_serializer.h"
#include "images/image_cache.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/url.h"
#include "platform/storage/file_manager.h"
#include "support/deadline.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

Bytes encoded(const char* type) {
    const bool png = std::string(type) == "png";
    const std::uint32_t width = png ? 512 : 1024, height = png ? 512 : 768;
    Bytes pixels(std::size_t{width} * height * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = pixels.data() + (std::size_t{y} * width + x) * 4;
            p[0] = static_cast<std::uint8_t>(x ^ y);
            p[1] = static_cast<std::uint8_t>(x * 3);
            p[2] = static_cast<std::uint8_t>(y * 5 + x / 7);
            p[3] = png ? static_cast<std::uint8_t>(255 - (x + y) / 8) : 255;
        }
    }
    const Image image(Bitmap::withRGBAPixels(width, height, std::move(pixels)), 1, ImageOrientation::Up);
    return *(png ? imagePNGRepresentation(image) : imageJPEGRepresentation(image, 0.85));
}

const Bytes& data(const char* type) {
    static const Bytes png = encoded("png");
    static const Bytes jpeg = encoded("jpeg");
    return std::string(type) == "png" ? png : jpeg;
}

void RawStb(benchmark::State& state, const char* type) {
    const Bytes& bytes = data(type);
    for (auto _ : state) {
        int w = 0, h = 0, n = 0;
        stbi_uc* pixels = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 4);
        benchmark::DoNotOptimize(pixels);
        stbi_image_free(pixels);
    }
}

void DecodeInflate(benchmark::State& state, const char* type) {
    const Bytes& bytes = data(type);
    HTTPHeaders headers;
    headers.set("Content-Type", std::string("image/") + type);
    const auto response = makeRef<HTTPURLResponse>(URL::URLWithString("http://127.0.0.1/i"), 200, headers);
    for (auto _ : state) benchmark::DoNotOptimize(inflateResponseImage(response, bytes, 2));
}

struct DiskCache {
    DiskCache() {
        directory = (std::filesystem::temp_directory_path() / ("lv_image_bench_" + std::to_string(::getpid()))).string();
        cache = RIImageCache::make(directory);
        for (const char* type : {"png", "jpeg"}) writeToFile(data(type), cache->defaultCachePathForKey(type), true);
    }
    ~DiskCache() { std::filesystem::remove_all(directory); }
    std::string directory;
    Ref<RIImageCache> cache;
};

DiskCache& disk() {
    static DiskCache shared;
    return shared;
}

void DiskHit(benchmark::State& state, const char* type) {
    const Ref<RIImageCache>& cache = disk().cache;
    for (auto _ : state) {
        cache->clearMemory();
        Ref<Image> image;
        cache->queryDiskCacheForKey(type, [&](const Ref<Image>& found, RIImageCacheType) { image = found; });
        if (!runMainUntil([&] { return image != nullptr; }, bench::kWaitSeconds)) {
            state.SkipWithError("the disk cache did not answer in time");
            break;
        }
        benchmark::DoNotOptimize(image);
    }
}

void MemoryHit(benchmark::State& state, const char* type) {
    const Ref<RIImageCache>& cache = disk().cache;
    cache->storeImage(Image::imageWithData(data(type)), {}, type, false);
    for (auto _ : state) benchmark::DoNotOptimize(cache->imageFromMemoryCacheForKey(type));
}

}  // namespace

BENCHMARK_CAPTURE(RawStb, png, "png")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DecodeInflate, png, "png")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DiskHit, png, "png")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(MemoryHit, png, "png")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RawStb, jpeg, "jpeg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DecodeInflate, jpeg, "jpeg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DiskHit, jpeg, "jpeg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(MemoryHit, jpeg, "jpeg")->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    for (const char* type : {"png", "jpeg"}) {
        const std::string raw = std::string("RawStb/") + type;
        for (const auto& [name, target] : {std::pair{"DecodeInflate", "1.25x"}, std::pair{"DiskHit", "1.3x"},
                                           std::pair{"MemoryHit", "0.02x"}}) {
            reporter.printRatio(std::string(name) + "/" + type, raw, target);
        }
    }
    benchmark::Shutdown();
    return 0;
}
