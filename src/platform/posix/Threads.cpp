// Threads behind HANDLEs. A thread object is shared by its handle and by the
// running thread; the handle is signalled when the thread has returned or
// was terminated.
#include "platform/posix/FaultInjection.h"
#include "platform/posix/KernelObject.h"
#include "platform/posix/ThreadState.h"
#include "platform/posix/WaitDeadline.h"

#include <atomic>
#include <pthread.h>
#include <unistd.h>

namespace {

// The thread is reported ended only once it has wholly left the library's
// code (joined), so that a host may unload the library as soon as it sees the
// end; a terminated thread is reported ended at once.
class Thread : public KernelObject {
public:
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id)
        : start(start), parameter(parameter), id(id) {}

    // Nobody joined: the system frees the thread when it ends.
    ~Thread() override {
        if (m_started && !m_joined)
            pthread_detach(m_native);
    }

    void SetNative(pthread_t native) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_native = native;
        m_started = true;
    }

    bool Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!WaitWithTimeout(m_cv, lock, milliseconds, [this] { return m_returned || m_finished; }))
            return false;
        JoinIfReturned();
        return true;
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(m_mutex);
        JoinIfReturned();
        return m_finished ? m_exitCode : STILL_ACTIVE;
    }

    // Called by the thread as the last thing it does with this object.
    void Returned(DWORD exitCode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_returned = true;
        m_returnCode = exitCode;
        m_cv.notify_all();
    }

    // The first ending wins: a terminated thread's code stays.
    void Terminate(DWORD exitCode) {
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

private:
    // With the lock held. The thread has returned its code and is leaving:
    // the join waits only for its last steps.
    void JoinIfReturned() {
        if (!m_returned || m_joined || !m_started)
            return;
        pthread_join(m_native, nullptr);
        m_joined = true;
        if (!m_finished) {
            m_finished = true;
            m_exitCode = m_returnCode;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    pthread_t m_native{};
    bool m_started = false;
    bool m_returned = false;
    bool m_joined = false;
    bool m_finished = false;
    DWORD m_returnCode = 0;
    DWORD m_exitCode = STILL_ACTIVE;
};

std::atomic<DWORD> g_nextThreadId{0x1000};

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

thread_local DWORD t_threadId = 0;
thread_local Thread* t_self = nullptr; // null on threads the layer did not create

void* RunThread(void* argument) {
    auto* keep = static_cast<std::shared_ptr<Thread>*>(argument);
    std::shared_ptr<Thread> thread = std::move(*keep);
    delete keep;
    t_threadId = thread->id;
    t_self = thread.get();
    const DWORD exitCode = thread->start(thread->parameter);
    ParkIfTerminated();
    ReleaseThreadQueue();
    t_self = nullptr;
    thread->Returned(exitCode);
    return nullptr;
}

} // namespace

void ParkIfTerminated() {
    if (t_self && t_self->terminated.load(std::memory_order_acquire)) {
        for (;;)
            pause();
    }
}

bool IsLayerThread() { return t_self != nullptr; }

DWORD GetCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = NewThreadId();
    return t_threadId;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, LPDWORD threadId) {
    ParkIfTerminated();
    DWORD code = 0;
    if (InjectedFailure("CreateThread", &code)) {
        SetLastErrorCode(code);
        return nullptr;
    }
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
    thread->SetNative(native);
    if (threadId)
        *threadId = thread->id;
    return MakeHandle(thread);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    ParkIfTerminated();
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
    ParkIfTerminated();
    auto* thread = dynamic_cast<Thread*>(ObjectOf(handle));
    if (!thread) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread->terminated.store(true, std::memory_order_release);
    thread->Terminate(exitCode);
    return TRUE;
}
