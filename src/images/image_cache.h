// RIImageCache: the web image loader's two-level cache. Memory: a Cache of decoded images keyed by the
// URL's absolute string, at most kRIImageMemoryCostLimit pixel bytes (the least recently used images
// go first), emptied on memory warnings. Disk: one file per URL in
// "Library/Caches/RIImageCache/", named by the lower-case hex MD5 of the key, holding the bytes as
// served, written atomically; files older than the age limit (a week unless set) are removed when the
// app enters the background or terminates.
//
// Threads: the memory level is the Cache's lock; every disk read, decode, write and clean-up runs on
// the cache's serial disk queue, and the query and clean-up completions run on the main queue.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/queue.h"
#include "platform/ui/cache.h"
#include "platform/ui/image.h"

namespace lv {

// The memory level's limit, in decoded pixel bytes: a few screens' worth of images.
inline constexpr std::size_t kRIImageMemoryCostLimit = 96u * 1024 * 1024;
// The most pixels an image of the loader may have: 16 M (4096 x 4096, 64 MiB decoded), several times a
// phone screen's; a larger file is refused before decoding as one that does not decode.
inline constexpr std::uint64_t kRIImageMaxPixels = 4096u * 4096u;

// Where an image came from.
enum class RIImageCacheType { None = 0, Disk = 1, Memory = 2 };

class RIImageCache : public Object {
public:
    using QueryCompletion = std::function<void(Ref<Image>, RIImageCacheType)>;

    // The process's cache over the sandbox's "Library/Caches/RIImageCache".
    static Ref<RIImageCache> sharedImageCache();
    // A cache over the directory (made when missing); it observes the app's notifications.
    static Ref<RIImageCache> make(std::string diskDirectory);
    RIImageCache(std::string diskDirectory);
    ~RIImageCache() override;

    const std::string& diskCachePath() const { return directory_; }
    // The lower-case hex MD5 of the key.
    static std::string cachedFileNameForKey(std::string_view key);
    std::string defaultCachePathForKey(std::string_view key) const;

    // Decoded images stay in memory; the bytes go to disk (on the disk queue) when toDisk.
    void storeImage(const Ref<Image>& image, const Bytes& data, std::string_view key, bool toDisk = true);
    Ref<Image> imageFromMemoryCacheForKey(std::string_view key);
    // Reads and decodes the key's file on the disk queue and answers on the main queue: the image
    // (now in memory too) with Disk, or nil with None. A file that no longer decodes is deleted.
    void queryDiskCacheForKey(std::string_view key, QueryCompletion completion);
    void removeImageForKey(std::string_view key, bool fromDisk = true);
    void clearMemory();
    // Removes, on the disk queue, the files modified longer ago than maxCacheAge; then the completion
    // (if any) on the main queue.
    void cleanDisk(std::function<void()> completion = nullptr);

    // Seconds; a week by default.
    double maxCacheAge() const { return maxCacheAge_.load(); }
    void setMaxCacheAge(double seconds) { maxCacheAge_.store(seconds); }
    const Ref<Cache>& memoryCache() const { return memory_; }
    const Ref<Queue>& ioQueue() const { return ioQueue_; }

    // Image decoding of the loader (nil past kRIImageMaxPixels): never on the main thread. Decodes that ran on it anyway are
    // counted (the loader's own check; it stays 0).
    static Ref<Image> decodeImageData(const Bytes& data);
    static std::size_t decodesOnMainThread();

private:
    std::string directory_;
    Ref<Cache> memory_;
    Ref<Queue> ioQueue_;
    std::atomic<double> maxCacheAge_;
};

}  // namespace lv
