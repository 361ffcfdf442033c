#pragma once

// A descriptor that a backend's thread polls beside its PCM and that other
// threads signal with a command (data, a stop, the close): an eventfd,
// close-on-exec, so that a child the host starts never inherits it.
class PollWakeup {
public:
    PollWakeup();
    ~PollWakeup();
    PollWakeup(const PollWakeup&) = delete;
    PollWakeup& operator=(const PollWakeup&) = delete;

    void Signal();
    // Takes the signals given so far.
    void Clear();
    // -1 when no descriptor could be made: the thread then polls on a short
    // timeout instead.
    int fd() const { return m_fd; }

private:
    const int m_fd;
};
