#include "platform/posix/audio/PollWakeup.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

PollWakeup::PollWakeup() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PollWakeup::~PollWakeup() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void PollWakeup::Signal() {
    const uint64_t one = 1;
    while (m_fd >= 0 && ::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void PollWakeup::Clear() {
    uint64_t count = 0;
    while (m_fd >= 0 && ::read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}
