// Exits while workers are busy: worker threads keep writing user defaults and files, taking the
// current device and hashing and encrypting, and the main thread returns from main once each of them
// has done one round. Workers are not joined at exit, so nothing they reach may be destroyed by it;
// the sanitizer builds report any member call on a destroyed object. Run many times by
// exit_race.py.
//   lv_exit_race_program HOME
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/dispatch/thread.h"
#include "platform/security/aes.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "platform/ui/device.h"

namespace {

constexpr int kWorkers = 4;

std::mutex& startedLock = *new std::mutex;
std::condition_variable& startedChanged = *new std::condition_variable;
int started = 0;

void work(int worker) {
    using namespace lv;
    const std::string file = path::appendingPathComponent(Sandbox::root(), "worker-" + std::to_string(worker));
    const Bytes key(16, 7), iv(16, 9);
    for (std::uint64_t round = 0;; ++round) {
        auto defaults = UserDefaults::standardUserDefaults();
        defaults->setInteger(static_cast<std::int64_t>(round), "round-" + std::to_string(worker));
        defaults->synchronize();
        writeToFile(std::to_string(round), file, true);
        const Ref<Device> device = Device::currentDevice();
        const Bytes digest = md5Digest(device->systemName() + std::to_string(round));
        if (!aes128CBCEncrypt(key, iv, digest)) std::abort();
        if (round == 0) {
            std::lock_guard lock(startedLock);
            ++started;
            startedChanged.notify_all();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lv_exit_race_program HOME\n");
        return 2;
    }
    if (!lv::Sandbox::setRoot(argv[1])) return 1;
    for (int worker = 0; worker < kWorkers; ++worker) lv::Thread::detachNew([worker] { work(worker); });
    std::unique_lock lock(startedLock);
    startedChanged.wait(lock, [] { return started == kWorkers; });
    return 0;  // exit runs while every worker is mid-round
}
