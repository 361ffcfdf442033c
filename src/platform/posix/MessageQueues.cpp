// SPDX-License-Identifier: MIT
// Per-thread message queues. As on Windows, a thread has a queue only once it
// has called GetMessageA or PeekMessageA, and posting to a thread without
// one fails. A queue goes when its thread ends.
#include "platform/posix/FaultInjection.h"
#include "platform/posix/KernelObject.h"
#include "platform/posix/ThreadMessages.h"
#include "platform/posix/ThreadState.h"
#include "platform/posix/Immortal.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

class MessageQueue {
public:
    // Room for what a device posts while its owner is busy (a message per
    // buffer), so that a stream's messages never allocate.
    MessageQueue() { m_messages.reserve(64); }

    // Posts `count` messages: one lock and one wake-up for them all.
    void Post(const MSG* messages, size_t count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.insert(m_messages.end(), messages, messages + count);
        m_cv.notify_one();
    }

    // Takes (or with remove false, copies) the first message in the filter
    // range; waits for one when `wait` is set.
    bool Take(MSG* msg, UINT filterMin, UINT filterMax, bool remove, bool wait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
                if (InRange(it->message, filterMin, filterMax)) {
                    *msg = *it;
                    if (remove)
                        m_messages.erase(it);
                    return true;
                }
            }
            if (!wait)
                return false;
            m_cv.wait(lock);
        }
    }

private:
    static bool InRange(UINT message, UINT filterMin, UINT filterMax) {
        return (filterMin == 0 && filterMax == 0) || (message >= filterMin && message <= filterMax);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<MSG> m_messages;
};

struct QueueRegistry {
    std::mutex mutex;
    std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

// Built on first use and never destroyed, so it outlives every static object.
QueueRegistry& Registry() {
    static QueueRegistry* registry = MakeImmortal<QueueRegistry>();
    return *registry;
}

// The calling thread's queue; the registry owns it. Plain data, so that a
// library thread holding a queue does not keep the library loaded: glibc
// defers dlclose while a thread has thread_local destructors of the library
// pending, and then the unload could never stop the library's threads.
struct ThreadQueue {
    DWORD threadId;
    MessageQueue* queue;
};

thread_local ThreadQueue t_queue{0, nullptr};

// Threads the layer created release their queue as they end (RunThread);
// any other thread releases it through this destructor.
struct ForeignQueueRelease {
    bool armed = false;
    ~ForeignQueueRelease() {
        if (armed)
            ReleaseThreadQueue();
    }
};

thread_local ForeignQueueRelease t_foreignRelease;

MessageQueue& OwnQueue() {
    if (!t_queue.queue) {
        auto queue = std::make_shared<MessageQueue>();
        t_queue = ThreadQueue{GetCurrentThreadId(), queue.get()};
        QueueRegistry& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues[t_queue.threadId] = std::move(queue);
        if (!IsLayerThread())
            t_foreignRelease.armed = true;
    }
    return *t_queue.queue;
}

} // namespace

void ReleaseThreadQueue() {
    if (!t_queue.queue)
        return;
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.queues.erase(t_queue.threadId);
    t_queue = ThreadQueue{0, nullptr};
}

BOOL GetMessageA(LPMSG msg, HWND, UINT filterMin, UINT filterMax) {
    const ParkAround park;
    OwnQueue().Take(msg, filterMin, filterMax, true, true);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(LPMSG msg, HWND, UINT filterMin, UINT filterMax, UINT removeMessage) {
    const ParkAround park;
    return OwnQueue().Take(msg, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0, false)
               ? TRUE
               : FALSE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("PostThreadMessageA", &code)) {
        SetLastErrorCode(code);
        return FALSE;
    }
    return DeliverThreadMessage(threadId, message, wParam, lParam);
}

BOOL DeliverThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return DeliverThreadMessages(threadId, message, wParam, &lParam, 1);
}

BOOL DeliverThreadMessages(DWORD threadId, UINT message, WPARAM wParam, const LPARAM* lParams,
                           size_t count) {
    std::shared_ptr<MessageQueue> queue;
    {
        QueueRegistry& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.queues.find(threadId);
        if (it != registry.queues.end())
            queue = it->second;
    }
    if (!queue) {
        SetLastErrorCode(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    // A device returns a handful of buffers at a time; more go in pieces.
    constexpr size_t kPiece = 16;
    MSG messages[kPiece];
    const DWORD now = GetTickCount();
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min(kPiece, count - done);
        for (size_t i = 0; i < piece; ++i)
            messages[i] = MSG{nullptr, message, wParam, lParams[done + i], now, POINT{0, 0}};
        queue->Post(messages, piece);
        done += piece;
    }
    return TRUE;
}
