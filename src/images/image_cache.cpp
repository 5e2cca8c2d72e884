#include "images/image_cache.h"

#include "platform/base/value.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/thread.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/application.h"
#include "platform/ui/image_header.h"

namespace lv {
namespace {

constexpr double kDefaultMaxCacheAge = 60 * 60 * 24 * 7;
std::atomic<std::size_t> mainThreadDecodes{0};

}  // namespace

Ref<RIImageCache> RIImageCache::sharedImageCache() {
    static const auto& shared =
        *new Ref<RIImageCache>(make(path::appendingPathComponent(cachesDirectory(), "RIImageCache")));
    return shared;
}

Ref<RIImageCache> RIImageCache::make(std::string diskDirectory) {
    auto cache = makeRef<RIImageCache>(std::move(diskDirectory));
    // Observers hold the cache weakly and are removed when it goes.
    const Weak<RIImageCache> weak = cache;
    const Ref<NotificationCenter> center = NotificationCenter::defaultCenter();
    center->addObserver(cache.get(), kApplicationDidReceiveMemoryWarningNotification, nullptr,
                        [weak](const Notification&) {
                            if (const auto self = weak.lock()) self->clearMemory();
                        });
    for (std::string_view name : {kApplicationWillTerminateNotification, kApplicationDidEnterBackgroundNotification}) {
        center->addObserver(cache.get(), name, nullptr, [weak](const Notification&) {
            if (const auto self = weak.lock()) self->cleanDisk();
        });
    }
    return cache;
}

RIImageCache::RIImageCache(std::string diskDirectory)
    : directory_(std::move(diskDirectory)),
      memory_(Cache::make()),
      ioQueue_(Queue::makeSerial("com.lunavexa.images.cache.disk")),
      maxCacheAge_(kDefaultMaxCacheAge) {
    memory_->setTotalCostLimit(kRIImageMemoryCostLimit);
    FileManager::defaultManager().createDirectoryAtPath(directory_, true, {}, nullptr);
}

RIImageCache::~RIImageCache() {
    const Ref<NotificationCenter> center = NotificationCenter::defaultCenter();
    for (std::string_view name : {kApplicationDidReceiveMemoryWarningNotification, kApplicationWillTerminateNotification,
                                  kApplicationDidEnterBackgroundNotification}) {
        center->removeObserver(this, name, nullptr);
    }
}

std::string RIImageCache::cachedFileNameForKey(std::string_view key) { return hexString(md5Digest(key)); }

std::string RIImageCache::defaultCachePathForKey(std::string_view key) const {
    return path::appendingPathComponent(directory_, cachedFileNameForKey(key));
}

Ref<Image> RIImageCache::decodeImageData(const Bytes& data) {
    if (Thread::isMainThread()) ++mainThreadDecodes;
    ImageHeader header;
    if (!scanImageHeader(data, &header) || header.totalPixels() > kRIImageMaxPixels) return nullptr;
    return Image::imageWithData(data);
}

std::size_t RIImageCache::decodesOnMainThread() { return mainThreadDecodes.load(); }

void RIImageCache::storeImage(const Ref<Image>& image, const Bytes& data, std::string_view key, bool toDisk) {
    if (!image || key.empty()) return;
    memory_->setObject(key, image, image->decodedByteCount());
    if (!toDisk || data.empty()) return;
    ioQueue_->async([path = defaultCachePathForKey(key), directory = directory_, data] {
        FileManager::defaultManager().createDirectoryAtPath(directory, true, {}, nullptr);
        writeToFile(data, path, true);
    });
}

Ref<Image> RIImageCache::imageFromMemoryCacheForKey(std::string_view key) {
    return std::dynamic_pointer_cast<Image>(memory_->objectForKey(key));
}

void RIImageCache::queryDiskCacheForKey(std::string_view key, QueryCompletion completion) {
    const Ref<RIImageCache> self = std::static_pointer_cast<RIImageCache>(shared_from_this());
    ioQueue_->async([self, key = std::string(key), completion = std::move(completion)] {
        const std::string path = self->defaultCachePathForKey(key);
        Ref<Image> image;
        if (const std::optional<Bytes> data = dataWithContentsOfFile(path)) {
            image = decodeImageData(*data);
            // A file that no longer decodes is useless: delete it so the image is loaded again.
            if (image) {
                self->memory_->setObject(key, image, image->decodedByteCount());
            } else {
                FileManager::defaultManager().removeItemAtPath(path, nullptr);
            }
        }
        Queue::main()->async([image, completion] {
            completion(image, image ? RIImageCacheType::Disk : RIImageCacheType::None);
        });
    });
}

void RIImageCache::removeImageForKey(std::string_view key, bool fromDisk) {
    memory_->removeObjectForKey(key);
    if (!fromDisk) return;
    ioQueue_->async([path = defaultCachePathForKey(key)] { FileManager::defaultManager().removeItemAtPath(path, nullptr); });
}

void RIImageCache::clearMemory() { memory_->removeAllObjects(); }

void RIImageCache::cleanDisk(std::function<void()> completion) {
    ioQueue_->async([directory = directory_, maxAge = maxCacheAge(), completion = std::move(completion)] {
        FileManager& files = FileManager::defaultManager();
        const double expiry = Date::now().sinceReferenceDate() - maxAge;
        for (const std::string& name : files.contentsOfDirectoryAtPath(directory, nullptr).value_or(std::vector<std::string>{})) {
            const std::string path = path::appendingPathComponent(directory, name);
            const std::optional<Dictionary> attributes = files.attributesOfItemAtPath(path, nullptr);
            if (!attributes) continue;
            const Value& modified = attributes->get(kFileModificationDate);
            if (modified.isDate() && modified.date()->sinceReferenceDate() < expiry) {
                files.removeItemAtPath(path, nullptr);
            }
        }
        if (completion) Queue::main()->async(completion);
    });
}

}  // namespace lv
