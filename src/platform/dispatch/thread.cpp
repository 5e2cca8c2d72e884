#include "platform/dispatch/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "platform/base/format.h"
#include "platform/base/lifetime.h"
#include "platform/base/process.h"
#include "platform/dispatch/run_loop.h"

namespace lv {

namespace {

bool systemThreadIsMain() { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

Ref<Thread>& mainThreadRef() {
    // Never destroyed: the main thread's objects outlive static destruction.
    static Ref<Thread>* ref = new Ref<Thread>(makeRef<Thread>(Thread::Adopt{}, true));
    return *ref;
}

// The calling thread's object. The reference is held per thread and dropped at thread exit (which
// marks the thread finished); the plain pointer beside it is the fast way in.
struct CurrentThread {
    Ref<Thread> thread;
    ~CurrentThread();
};

thread_local Thread* tlsCurrentThread = nullptr;

CurrentThread::~CurrentThread() {
    tlsCurrentThread = nullptr;
    if (thread && !thread->isMainThreadObject()) thread->markFinished();
}

void setCurrentThread(Ref<Thread> thread) {
    static PerThread<CurrentThread> current;
    tlsCurrentThread = thread.get();
    current.get().thread = std::move(thread);
}

void applySystemName(const std::string& name) {
    std::string shortName = name.substr(0, 15);
    ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

}  // namespace

Thread::Thread(Entry entry) : entry_(std::move(entry)) {}

Thread::Thread(Adopt, bool isMain) : isMain_(isMain), state_(State::Executing) {
    if (isMain) name_ = "main";
}

Ref<Thread> Thread::detachNew(Entry entry, std::string name) {
    Ref<Thread> t = make(std::move(entry));
    if (!name.empty()) t->setName(std::move(name));
    t->start();
    return t;
}

Ref<Thread> Thread::current() {
    if (!tlsCurrentThread) setCurrentThread(systemThreadIsMain() ? mainThreadRef() : makeRef<Thread>(Adopt{}, false));
    return std::static_pointer_cast<Thread>(tlsCurrentThread->shared_from_this());
}

Ref<Thread> Thread::mainThread() { return mainThreadRef(); }

bool Thread::isMainThread() {
    if (tlsCurrentThread) return tlsCurrentThread->isMain_;
    return systemThreadIsMain();
}

void Thread::start() {
    State expected = State::Created;
    if (!state_.compare_exchange_strong(expected, State::Executing)) return;
    Ref<Thread> self = refAs<Thread>();
    std::thread([self] { self->run(); }).detach();
}

void Thread::run() {
    setCurrentThread(refAs<Thread>());
    process::ensureAlternateSignalStack();  // a stack overflow here still reaches a crash handler
    std::string n = name();
    if (!n.empty()) applySystemName(n);
    Entry entry = std::move(entry_);
    if (entry) entry();
    // markFinished runs when the current-thread record is destroyed at thread exit.
}

void Thread::markFinished() {
    state_.store(State::Finished);
    Ref<RunLoop> loop;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        loop = runLoop_;
    }
    if (loop) loop->markThreadFinished();
}

std::string Thread::name() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return name_;
}

void Thread::setName(std::string name) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        name_ = name;
    }
    if (tlsCurrentThread == this) applySystemName(name);
}

Value Thread::dictionaryValue(std::string_view key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dictionary_.get(key);
}

void Thread::setDictionaryValue(std::string key, Value value) {
    Value old;  // released outside the lock: it may hold the last reference to an object
    std::lock_guard<std::mutex> guard(mutex_);
    if (const Value* v = dictionary_.find(key)) old = *v;
    dictionary_.set(std::move(key), std::move(value));
}

Dictionary Thread::dictionary() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dictionary_;
}

Ref<RunLoop> Thread::runLoop() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!runLoop_) {
        runLoop_ = makeRef<RunLoop>(std::static_pointer_cast<Thread>(shared_from_this()));
        if (state_.load() == State::Finished) runLoop_->markThreadFinished();
    }
    return runLoop_;
}

void Thread::perform(std::function<void()> fn, bool wait, std::vector<std::string> modes) {
    if (wait && tlsCurrentThread == this) {
        fn();
        return;
    }
    Ref<RunLoop> loop = runLoop();
    if (!wait) {
        loop->enqueue(std::move(fn), std::move(modes), false);
        return;
    }
    struct Latch {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        void open() {
            std::lock_guard<std::mutex> guard(mutex);
            done = true;
            cv.notify_all();
        }
    };
    auto latch = std::make_shared<Latch>();
    auto task = [fn = std::move(fn), latch] {
        struct Opener {
            Latch& l;
            ~Opener() { l.open(); }
        } opener{*latch};
        fn();
    };
    if (!loop->enqueue(std::move(task), std::move(modes), false, [latch] { latch->open(); })) return;
    std::unique_lock<std::mutex> lock(latch->mutex);
    latch->cv.wait(lock, [&] { return latch->done; });
}

std::string Thread::description() const {
    return format("<%s: %s>{name = %s}", className().c_str(), addressText(this).c_str(), name().c_str());
}

void performOnMainThread(std::function<void()> fn, bool wait) {
    Thread::mainThread()->perform(std::move(fn), wait);
}

}  // namespace lv
