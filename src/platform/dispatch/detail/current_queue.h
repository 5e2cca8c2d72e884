// The calling thread's stack of current dispatch queues (innermost last). A queue is current while a
// block submitted to it runs, including a block run inline by sync(). The stack is the chain of
// scopes on the thread's own call stack, so keeping it needs no per-thread allocation.
#pragma once

namespace lv {
class Queue;
namespace detail {

class QueueScope {
public:
    explicit QueueScope(Queue* queue);
    ~QueueScope();
    QueueScope(const QueueScope&) = delete;
    QueueScope& operator=(const QueueScope&) = delete;

private:
    friend Queue* innermostQueue();
    friend bool queueOnStack(const Queue* queue);
    Queue* queue_;
    QueueScope* outer_;
};

Queue* innermostQueue();
bool queueOnStack(const Queue* queue);
// The main queue object, for the main run loop's use.
Queue* mainQueueObject();

}  // namespace detail
}  // namespace lv
