// Loads two PNGs from the loopback image server into a cache over <dir> and prints one line
// per image: "<url>\t<width>\t<height>", for image_cache_reader.py.
#include <cstdio>

#include "images/remote_image.h"
#include "platform/dispatch/run_loop.h"
#include "platform/ui/image_server.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    lv::test::ImageServer server;
    const lv::Ref<lv::RIImageCache> cache = lv::RIImageCache::make(argv[1]);
    lv::ImageViewRemoteImage::setImageCache(cache);
    for (const char* path : {"/image.png", "/other.png?size=5"}) {
        const lv::Ref<lv::ImageView> view = lv::ImageView::make();
        const std::string url = server.url(path);
        bool done = false;
        lv::ImageViewRemoteImage::ri_setImageWithURL(
            view, lv::URL::URLWithString(url), nullptr, 0, nullptr,
            [&](const lv::Ref<lv::Image>&, const lv::Ref<lv::Error>&, lv::RIImageCacheType, const lv::Ref<lv::URL>&) {
                done = true;
            });
        if (!lv::runMainUntil([&] { return done; }, 10) || !view->image()) return 1;
        std::printf("%s\t%u\t%u\n", url.c_str(), view->image()->bitmap()->width(), view->image()->bitmap()->height());
    }
    cache->ioQueue()->sync([] {});
    lv::ImageViewRemoteImage::setImageCache(nullptr);
    return 0;
}
