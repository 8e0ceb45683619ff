// What the live adapters of several methods share.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include "live_scan.h"

// A bounded search (UPnP, WSD) made again every interval under watch, so
// that a printer whose description changed is listed again.
class CSearchAgain {
public:
    explicit CSearchAgain(const LiveScanSettings& settings)
        : m_bWatch(settings.bWatch), m_interval(settings.watchInterval) {}
    // fnSearch's code the first time (0 when it ran); under watch the later
    // ones run until Stop whatever they return.
    int32_t Run(const std::function<int32_t()>& fnSearch) {
        const int32_t nFirst = fnSearch();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (nFirst == 0 && m_bWatch) {
            m_cvStop.wait_for(lock, m_interval, [this] { return m_bStop || m_bWake; });
            if (m_bStop) break;
            m_bWake = false;
            lock.unlock();
            fnSearch();
            lock.lock();
        }
        return nFirst;
    }
    // The next search now (after the one running, if one is).
    void Wake() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bWake = true;
        m_cvStop.notify_all();
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_cvStop.notify_all();
    }

private:
    const bool m_bWatch;
    const std::chrono::milliseconds m_interval;
    std::mutex m_mutex;  // the two below
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    bool m_bWake = false;
};
