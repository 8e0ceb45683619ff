#include "stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>

CStopSignal::CStopSignal() : m_hFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CStopSignal::~CStopSignal() {
    if (m_hFd >= 0) close(m_hFd);
}

void CStopSignal::Raise() {
    const uint64_t nOne = 1;
    if (m_hFd >= 0 && write(m_hFd, &nOne, sizeof nOne) < 0) {
        // the counter is full: it is readable already
    }
}

bool CStopSignal::WaitFor(std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    timeout =
        std::clamp(timeout, std::chrono::milliseconds(0), std::chrono::milliseconds(std::chrono::hours(24)));
    // Without a descriptor poll() only sleeps the timeout out.
    const auto tEnd = Clock::now() + timeout;
    for (;;) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
        pollfd pfd{m_hFd, POLLIN, 0};
        const int nReady = poll(&pfd, 1, static_cast<int>(std::clamp<long long>(nLeft, 0, INT_MAX)));
        if (nReady > 0) return true;
        if (nLeft <= 0) return false;
        // Cannot wait on the descriptor: a short sleep instead.
        if (nReady < 0 && errno != EINTR)
            std::this_thread::sleep_for(
                std::min(std::chrono::milliseconds(nLeft), std::chrono::milliseconds(10)));
    }
}
