// SPDX-License-Identifier: MIT
// Threads behind HANDLEs, each with its message queue. A thread object is
// shared by its handle and by the running thread; the handle is signalled
// when the thread has returned or was terminated. As on Windows, a thread
// has a queue only once it has called GetMessageA or PeekMessageA, and
// posting to a thread without one fails; the queue goes when its thread
// ends.
#include "winapi/kernel/FaultInjection.h"
#include "winapi/kernel/KernelObject.h"
#include "winapi/kernel/ThreadMessages.h"
#include "winapi/kernel/ThreadState.h"
#include "winapi/kernel/WaitDeadline.h"
#include "winapi/kernel/Immortal.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <unistd.h>
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

// Removes the calling thread's message queue, so that posting to a thread
// that has ended fails, as on Windows.
void ReleaseThreadQueue() {
    if (!t_queue.queue)
        return;
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.queues.erase(t_queue.threadId);
    t_queue = ThreadQueue{0, nullptr};
}

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

class Thread;
// Joins `thread` if it has returned and nobody has joined it yet.
void JoinIfReturned(const Thread* thread);

class Thread : public KernelObject {
public:
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id)
        : start(start), parameter(parameter), id(id) {}

    // Once the thread has returned, the wait also lets it finish its way
    // out, so that an ended thread no longer runs any of the library's code.
    bool Wait(DWORD milliseconds) override {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!WaitWithTimeout(m_cv, lock, milliseconds, [this] { return m_finished; }))
                return false;
        }
        JoinIfReturned(this);
        return true;
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished ? m_exitCode : STILL_ACTIVE;
    }

    // The first ending wins: a terminated thread's code stays.
    void Finish(DWORD exitCode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;
        m_finished = true;
        m_exitCode = exitCode;
        m_cv.notify_all();
    }

    const LPTHREAD_START_ROUTINE start;
    const LPVOID parameter;
    const DWORD id;
    std::atomic<bool> terminated{false};
    std::atomic<bool> returned{false}; // only the way out through this layer is left

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_finished = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

std::atomic<DWORD> g_nextThreadId{0x1000};

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

// Threads not joined yet. One that has returned is joined by a wait on it, at
// the next CreateThread and when the library is unloaded, so that the unload
// never unmaps code that a thread still runs on its way out. A terminated
// thread never returns and is never joined.
struct UnjoinedThread {
    pthread_t native;
    std::shared_ptr<Thread> thread;
};

struct UnjoinedThreads {
    std::mutex mutex;
    std::vector<UnjoinedThread> threads;
};

// Built on first use and never destroyed, so it outlives every static object.
UnjoinedThreads& Unjoined() {
    static UnjoinedThreads* unjoined = MakeImmortal<UnjoinedThreads>();
    return *unjoined;
}

thread_local DWORD t_threadId = 0;
thread_local Thread* t_self = nullptr; // null on threads the layer did not create
std::atomic<bool> g_anyTerminated{false};

void* RunThread(void* argument) {
    auto* keep = static_cast<std::shared_ptr<Thread>*>(argument);
    std::shared_ptr<Thread> thread = std::move(*keep);
    delete keep;
    t_threadId = thread->id;
    t_self = thread.get();
    const DWORD exitCode = thread->start(thread->parameter);
    ParkIfTerminated();
    ReleaseThreadQueue();
    thread->returned.store(true, std::memory_order_release);
    thread->Finish(exitCode);
    t_self = nullptr;
    return nullptr;
}

} // namespace

// Every platform call asks: a thread-local read in a library that a host
// loaded with dlopen goes through __tls_get_addr, whose slow path glibc takes
// on every call once other libraries were loaded after this one, so the
// common answer (no thread was ever terminated) comes from a global.
bool IsTerminated() {
    return g_anyTerminated.load(std::memory_order_acquire) && t_self &&
           t_self->terminated.load(std::memory_order_acquire);
}

void ParkIfTerminated() {
    if (IsTerminated()) {
        for (;;)
            pause();
    }
}

namespace {

// Joins the returned threads that `select` picks, each exactly once.
template <typename Select> void JoinReturned(Select select) {
    std::vector<pthread_t> returned;
    {
        UnjoinedThreads& unjoined = Unjoined();
        std::lock_guard<std::mutex> lock(unjoined.mutex);
        auto& threads = unjoined.threads;
        for (auto it = threads.begin(); it != threads.end();) {
            if (it->thread->returned.load(std::memory_order_acquire) && select(*it)) {
                returned.push_back(it->native);
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (pthread_t native : returned)
        pthread_join(native, nullptr);
}

void JoinIfReturned(const Thread* thread) {
    JoinReturned(
        [thread](const UnjoinedThread& unjoined) { return unjoined.thread.get() == thread; });
}

} // namespace

bool IsLayerThread() { return t_self != nullptr; }

void JoinReturnedThreads() {
    JoinReturned([](const UnjoinedThread&) { return true; });
}

bool LayerThreadsRunning() {
    UnjoinedThreads& unjoined = Unjoined();
    if (!unjoined.mutex.try_lock())
        return true; // held by a parent's thread at the fork: in use
    bool running = false;
    for (const UnjoinedThread& thread : unjoined.threads)
        running |= !thread.thread->returned.load(std::memory_order_acquire);
    unjoined.mutex.unlock();
    return running;
}

void ForgetThreadsOfParent() {
    UnjoinedThreads& unjoined = Unjoined();
    unjoined.threads.clear();
}

DWORD GetCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = NewThreadId();
    return t_threadId;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, LPDWORD threadId) {
    const ParkAround park;
    DWORD code = 0;
    if (InjectedFailure("CreateThread", &code)) {
        SetLastErrorCode(code);
        return nullptr;
    }
    JoinReturnedThreads();
    auto thread = std::make_shared<Thread>(start, parameter, NewThreadId());
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stackSize > 0)
        pthread_attr_setstacksize(&attributes, stackSize);
    auto* keep = new std::shared_ptr<Thread>(thread);
    pthread_t native;
    const int error = pthread_create(&native, &attributes, RunThread, keep);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete keep;
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        UnjoinedThreads& unjoined = Unjoined();
        std::lock_guard<std::mutex> lock(unjoined.mutex);
        unjoined.threads.push_back(UnjoinedThread{native, thread});
    }
    if (threadId)
        *threadId = thread->id;
    return MakeHandle(thread);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    const ParkAround park;
    auto* thread = dynamic_cast<Thread*>(ObjectOf(handle));
    if (!thread || !exitCode) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

// POSIX cannot kill one thread safely: the thread is marked, reported ended at
// once, and parks at its next platform call.
BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
    const ParkAround park;
    auto* thread = dynamic_cast<Thread*>(ObjectOf(handle));
    if (!thread) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_anyTerminated.store(true, std::memory_order_release);
    thread->terminated.store(true, std::memory_order_release);
    thread->Finish(exitCode);
    return TRUE;
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
