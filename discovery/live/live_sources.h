// What the live adapters of several methods share.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "live_scan.h"

// A bounded search (UPnP, WSD, SNMP) made again every interval under watch,
// so that a printer whose description changed is listed again.
class CSearchAgain {
public:
    using Clock = std::chrono::steady_clock;
    // A search asked for by Wake starts no sooner than this after the last
    // one began (or an interval, if shorter): a peer's flood of Hellos makes
    // no more searches than that.
    static constexpr std::chrono::milliseconds WAKE_GAP{5000};

    explicit CSearchAgain(const LiveScanSettings& settings)
        : m_bWatch(settings.bWatch), m_interval(settings.watchInterval) {}
    // fnSearch's code the first time (0 when it ran; then sink hears that
    // the method started); under watch the later ones run until Stop
    // whatever they return.
    int32_t Run(const std::function<int32_t()>& fnSearch, CLiveRowSink& sink,
                const std::u16string& strSource) {
        Clock::time_point tStarted = Clock::now();
        const int32_t nFirst = fnSearch();
        if (nFirst == 0 && m_bWatch) {
            sink.SearchDone(strSource, Clock::now() - tStarted);
            sink.Started(strSource);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        while (nFirst == 0 && m_bWatch) {
            m_cvStop.wait_for(lock, m_interval, [this] { return m_bStop || m_bWake; });
            m_cvStop.wait_until(lock, tStarted + std::min(WAKE_GAP, m_interval), [this] { return m_bStop; });
            if (m_bStop) break;
            m_bWake = false;
            lock.unlock();
            tStarted = Clock::now();
            fnSearch();
            sink.SearchDone(strSource, Clock::now() - tStarted);
            lock.lock();
        }
        return nFirst;
    }
    // The next search soon (after the one running, if one is).
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
    std::mutex m_mutex;  // the two flags below
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    bool m_bWake = false;
};
