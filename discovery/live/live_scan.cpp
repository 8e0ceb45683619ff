#include "live_scan.h"

#include <atomic>
#include <condition_variable>
#include <thread>

#include "live_sources.h"

LiveSourceArray CreateLiveSources(const LiveScanSettings& settings) {
    LiveSourceArray aSources;
    if (settings.bMdns) aSources.push_back(CreateLiveMdnsSource(settings, CreateSystemDnsSdClient()));
    if (settings.bUpnp) aSources.push_back(CreateLiveUpnpSource(settings));
    return aSources;
}

CLiveScan::CLiveScan(LiveSourceArray aSources) : m_aSources(std::move(aSources)) {}
CLiveScan::~CLiveScan() = default;

bool CLiveScan::Emit(ScanRow row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::u16string strAddress = row.strIpAddress;
    if (!m_rows.Add(std::move(row))) return false;
    if (m_fnAdded) m_fnAdded(*m_rows.FindByAddress(strAddress));
    return true;
}

void CLiveScan::AddAddress(const std::u16string& strRowAddress, const std::u16string& strAddress) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rows.AddAddress(strRowAddress, strAddress);
}

CLiveScan::Result CLiveScan::Run(Clock::time_point tDeadline, const std::function<bool()>& fnStopAsked) {
    Result result;
    std::vector<CLiveSource*> aRunning;
    for (const auto& pSource : m_aSources) {
        ++result.nEnabled;
        if (pSource->CheckAvailable() != 0) {
            result.aUnavailable.push_back(pSource->GetName());
            if (m_fnUnavailable) m_fnUnavailable(pSource->GetName());
            continue;
        }
        ++result.nAvailable;
        aRunning.push_back(pSource.get());
    }

    std::mutex mutexDone;
    std::condition_variable cvDone;
    size_t nDone = 0;
    std::vector<std::thread> aThreads;
    for (CLiveSource* pSource : aRunning) {
        aThreads.emplace_back([this, pSource, &mutexDone, &cvDone, &nDone] {
            pSource->Run(*this);
            std::lock_guard<std::mutex> lock(mutexDone);
            ++nDone;
            cvDone.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutexDone);
        while (nDone < aThreads.size()) {
            if ((fnStopAsked && fnStopAsked()) || Clock::now() >= tDeadline) {
                result.bStopped = true;
                break;
            }
            cvDone.wait_until(lock, std::min(tDeadline, Clock::now() + std::chrono::milliseconds(20)));
        }
    }
    if (result.bStopped) {
        for (CLiveSource* pSource : aRunning) pSource->Stop();
    }
    for (std::thread& thread : aThreads) thread.join();
    return result;
}
