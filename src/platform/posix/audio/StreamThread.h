#pragma once

#include "platform/ThreadName.h"

#include <mutex>
#include <thread>

// The thread of one backend, started by the backend and ended by its
// destructor. The backend's loop runs until Closing(), which it reads with
// its own lock held.
class StreamThread {
public:
    StreamThread() = default;
    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;

    // Runs loop() on a thread called `name`.
    template <typename Loop> void Start(const char* name, Loop loop) {
        m_thread = std::thread([name, loop] {
            NameCurrentThread(name);
            loop();
        });
    }

    // Asks the loop to end (under the backend's `mutex`), wakes it with
    // wake() and waits for it.
    template <typename Wake> void Close(std::mutex& mutex, Wake wake) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            m_closing = true;
        }
        wake();
        if (m_thread.joinable())
            m_thread.join();
    }

    bool Closing() const { return m_closing; }

private:
    bool m_closing = false;
    std::thread m_thread;
};
