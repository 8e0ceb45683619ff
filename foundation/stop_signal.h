// A stop or wake-up that one thread asks of another: an eventfd that becomes
// readable once raised and stays so, for a poll() beside a socket, a GLib
// source or a D-Bus wait.
#pragma once

#include <chrono>

class CStopSignal {
public:
    CStopSignal();
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // False when no descriptor could be had (the process ran out of them).
    bool IsValid() const { return m_hFd >= 0; }
    // The descriptor to wait on beside others; -1 when not valid.
    int Fd() const { return m_hFd; }
    // From any thread; safe to repeat.
    void Raise();
    // True once raised within the timeout (clamped to a day); without a
    // descriptor, after sleeping out the timeout, false.
    bool WaitFor(std::chrono::milliseconds timeout) const;

private:
    const int m_hFd;
};
