// The watch's liveness check is a TCP connect to the printer's service port
// (the SRV port, the UPnP description's port, else IPP's 631): any answer,
// a refusal included, means it is there, at any of its addresses. A method
// whose rows a connect cannot judge (SNMP) gives the datagram to ask them
// with through the list of methods: any reply it accepts
// means it is there. All checks run on the thread that watches,
// non-blocking, polled with the sources' 20 ms tick; each is bounded by one
// interval.
#include "live_watch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <thread>
#include <unordered_set>
#include <utility>

#include "conv_string.h"

namespace {

constexpr uint16_t IPP_PORT = 631;
constexpr size_t MAX_CHECKED_ADDRESSES = 4;

// A non-blocking connect to the address (IPv6 with its zone, "fe80::1%eth0").
// The socket while it is under way; -1 with bAnswered when it is settled at
// once (connected or refused), -1 without when it failed. A datagram socket
// is connected at once and waits for its answer.
int StartConnect(const std::u16string& strAddress, uint16_t nPort, int nType, bool& bAnswered) {
    bAnswered = false;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = nType;
    addrinfo* pInfo = nullptr;
    if (getaddrinfo(Utf16ToUtf8(strAddress).c_str(), std::to_string(nPort).c_str(), &hints, &pInfo) != 0) {
        return -1;
    }
    const int hSocket = socket(pInfo->ai_family, nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int nError = hSocket < 0                                                ? errno
                       : connect(hSocket, pInfo->ai_addr, pInfo->ai_addrlen) == 0 ? 0
                                                                                  : errno;
    freeaddrinfo(pInfo);
    if (hSocket < 0) return -1;
    if (nError == EINPROGRESS || (nError == 0 && nType == SOCK_DGRAM)) return hSocket;
    close(hSocket);
    bAnswered = nError == 0 || nError == ECONNREFUSED;
    return -1;
}

// The method's datagram sent; the socket waits for its reply, or -1.
int StartDatagram(const ScanRow& row, const std::u16string& strAddress, const LivenessDatagram& datagram) {
    bool bAnswered = false;
    const int hSocket = StartConnect(strAddress, datagram.nPort, SOCK_DGRAM, bAnswered);
    const std::string strRequest = datagram.pfnRequest(row);
    if (hSocket >= 0 && (strRequest.empty() || send(hSocket, strRequest.data(), strRequest.size(), 0) < 0)) {
        close(hSocket);
        return -1;
    }
    return hSocket;
}

// The check's socket is ready: connected or refused, or the datagram's
// reply (an ICMP refusal is no agent, and no answer).
bool CheckAnswered(int hSocket, const LivenessDatagram* pDatagram) {
    if (pDatagram) {
        char aBuffer[2048];
        const ssize_t nRead = recv(hSocket, aBuffer, sizeof aBuffer, 0);
        return nRead > 0 && pDatagram->pfnAnswers({aBuffer, static_cast<size_t>(nRead)});
    }
    int nError = 0;
    socklen_t nSize = sizeof nError;
    getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize);
    return nError == 0 || nError == ECONNREFUSED;
}

}  // namespace

// The events between the registry and the reader: shared with the event
// thread, which a reader that never reads again may leave behind.
struct CLiveWatch::Queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<WatchEvent> events;
    size_t nDropped = 0;
    bool bEnding = false;
    bool bIdle = true;  // nothing being delivered
    EventFn fnEvent;
    std::function<void(size_t)> fnDropped;
};

CLiveWatch::CLiveWatch(LiveSourceArray aSources, const LiveWatchSettings& settings, EventFn fnEvent)
    : m_aSources(std::move(aSources)),
      m_settings(settings),
      m_pRegistry(std::make_unique<CPrinterRegistry>(
          CPrinterRegistry::Settings{settings.interval, settings.forgetAfter, nullptr})),
      m_pQueue(std::make_shared<Queue>()) {
    m_pQueue->fnEvent = std::move(fnEvent);
}

CLiveWatch::~CLiveWatch() {
    for (auto& [nRow, probe] : m_probes) EndCheck(probe);
}

void CLiveWatch::SetRowFilter(std::function<bool(const ScanRow&)> fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pRegistry = std::make_unique<CPrinterRegistry>(
        CPrinterRegistry::Settings{m_settings.interval, m_settings.forgetAfter, std::move(fn)});
}

void CLiveWatch::Post(CPrinterRegistry::Events& events) {
    if (events.empty()) return;
    std::lock_guard<std::mutex> lock(m_pQueue->mutex);
    for (WatchEvent& event : events) {
        if (m_pQueue->events.size() >= m_settings.nMaxQueued) {
            ++m_pQueue->nDropped;
            continue;
        }
        m_pQueue->events.push_back(std::move(event));
    }
    m_pQueue->cv.notify_all();
}

void CLiveWatch::Deliver() {
    const std::shared_ptr<Queue> pQueue = m_pQueue;
    std::unique_lock<std::mutex> lock(pQueue->mutex);
    for (;;) {
        pQueue->cv.wait(lock, [&] { return pQueue->bEnding || !pQueue->events.empty(); });
        if (pQueue->events.empty()) return;
        WatchEvent event = std::move(pQueue->events.front());
        pQueue->events.pop_front();
        const size_t nDropped = std::exchange(pQueue->nDropped, 0);
        pQueue->bIdle = false;
        // Copies: the watch may let go of the queue while a call is out.
        const EventFn fnEvent = pQueue->fnEvent;
        const std::function<void(size_t)> fnDropped = pQueue->fnDropped;
        lock.unlock();
        if (nDropped != 0 && fnDropped) fnDropped(nDropped);
        if (fnEvent) fnEvent(event);
        lock.lock();
        pQueue->bIdle = true;
        pQueue->cv.notify_all();
    }
}

LiveRunResult CLiveWatch::Run(Clock::time_point tDeadline, const std::function<bool()>& fnStopAsked) {
    // A method that cannot start (a laptop's network comes up after login)
    // is tried again each interval.
    const auto fnUnavailable = [this](const std::u16string& strSource) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unavailable.insert(strSource);
        if (m_fnUnavailable) m_fnUnavailable(strSource);
    };
    m_pQueue->fnDropped = m_fnDropped;
    std::thread deliver([this] { Deliver(); });
    const LiveRunResult result = RunLiveSources(
        m_aSources, *this, tDeadline, fnStopAsked, fnUnavailable, [this] { CheckLiveness(); },
        m_settings.interval);
    // What is queued still goes out, for a bounded time: a reader that
    // stopped reading does not keep the watch from ending.
    std::unique_lock<std::mutex> lock(m_pQueue->mutex);
    const bool bDrained = m_pQueue->cv.wait_for(
        lock, std::chrono::seconds(2), [this] { return m_pQueue->events.empty() && m_pQueue->bIdle; });
    m_pQueue->bEnding = true;
    if (!bDrained) {
        m_pQueue->events.clear();
        m_pQueue->fnEvent = nullptr;
    }
    m_pQueue->cv.notify_all();
    lock.unlock();
    if (bDrained) {
        deliver.join();
    } else {
        deliver.detach();
    }
    return result;
}

FindingHandle CLiveWatch::Report(const FindingKey& key, ScanRow row) {
    CPrinterRegistry::Events events;
    FindingHandle hFinding = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hFinding = m_pRegistry->Report(key, std::move(row), Clock::now(), events);
    }
    Post(events);
    return hFinding;
}

void CLiveWatch::SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses) {
    CPrinterRegistry::Events events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pRegistry->SetAddresses(hFinding, std::move(aAddresses), Clock::now(), events);
    }
    Post(events);
}

void CLiveWatch::Heard(FindingHandle hFinding) {
    CPrinterRegistry::Events events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pRegistry->Heard(hFinding, Clock::now(), events);
    }
    Post(events);
}

void CLiveWatch::Withdraw(FindingHandle hFinding, LiveRemoveReason reason) {
    CPrinterRegistry::Events events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pRegistry->Withdraw(hFinding, reason, Clock::now(), events);
    }
    Post(events);
}

void CLiveWatch::DaemonLost(const std::u16string& strSource, bool bLost) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fnDaemon) m_fnDaemon(strSource, bLost);
}

void CLiveWatch::Started(const std::u16string& strSource) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unavailable.erase(strSource) != 0 && m_fnStartedAgain) m_fnStartedAgain(strSource);
}

void CLiveWatch::ReportChange(const std::u16string& strId, std::vector<std::string> aChanged) {
    CPrinterRegistry::Events events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pRegistry->ReportChange(strId, std::move(aChanged), events);
    }
    Post(events);
}

std::vector<ScanRow> CLiveWatch::GetRows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pRegistry->GetRows();
}

void CLiveWatch::EndCheck(Probe& probe) {
    for (int hSocket : probe.aSockets) close(hSocket);
    m_nChecking -= probe.aSockets.size();
    probe.aSockets.clear();
    m_out.erase(&probe);
}

void CLiveWatch::StartCheck(uint64_t nRow, const ScanRow& row, Probe& probe, Clock::time_point tNow,
                            CPrinterRegistry::Events& events) {
    probe.tNextCheck = tNow + m_settings.interval;
    probe.tCheckEnd = tNow + m_settings.interval;
    const auto itDatagram = m_settings.datagrams.find(row.nKind);
    probe.pDatagram = itDatagram != m_settings.datagrams.end() ? &itDatagram->second : nullptr;
    bool bAnswered = false;
    // Every address: a printer that answers at any of them is there.
    for (size_t i = 0; i < row.aAddresses.size() && i < MAX_CHECKED_ADDRESSES && !bAnswered; ++i) {
        const int hSocket = probe.pDatagram
                                ? StartDatagram(row, row.aAddresses[i], *probe.pDatagram)
                                : StartConnect(row.aAddresses[i], row.nPort != 0 ? row.nPort : IPP_PORT,
                                               SOCK_STREAM, bAnswered);
        if (hSocket >= 0) probe.aSockets.push_back(hSocket);
    }
    m_nChecking += probe.aSockets.size();
    if (!probe.aSockets.empty()) m_out.emplace(&probe, nRow);
    if (bAnswered) {
        EndCheck(probe);
        m_pRegistry->Answered(nRow, tNow, events);
    }
}

void CLiveWatch::Sweep(Clock::time_point tNow, CPrinterRegistry::Events& events) {
    m_pRegistry->Judge(tNow, events);
    // The checks due, and the probes of rows that are gone.
    std::unordered_set<uint64_t> watched;
    m_pRegistry->ForEachWatched([&](uint64_t nRow, const ScanRow& row) {
        watched.insert(nRow);
        auto [it, bNew] = m_probes.try_emplace(nRow);
        if (bNew) it->second.tNextCheck = tNow + m_settings.interval;
        Probe& probe = it->second;
        if (probe.aSockets.empty() && tNow >= probe.tNextCheck && m_nChecking < m_settings.nMaxChecks)
            StartCheck(nRow, row, probe, tNow, events);
    });
    for (auto it = m_probes.begin(); it != m_probes.end();) {
        if (watched.count(it->first) != 0) {
            ++it;
            continue;
        }
        EndCheck(it->second);
        it = m_probes.erase(it);
    }
}

void CLiveWatch::CheckLiveness() {
    CPrinterRegistry::Events events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<pollfd> aPoll;
        std::vector<std::pair<uint64_t, Probe*>> aOut;
        for (const auto& [pProbe, nRow] : m_out) {
            for (int hSocket : pProbe->aSockets) {
                aPoll.push_back({hSocket, static_cast<short>(pProbe->pDatagram ? POLLIN : POLLOUT), 0});
                aOut.emplace_back(nRow, pProbe);
            }
        }
        if (!aPoll.empty() && poll(aPoll.data(), aPoll.size(), 0) < 0) return;
        const Clock::time_point tNow = Clock::now();
        std::vector<std::pair<uint64_t, Probe*>> aAnswered;
        for (size_t i = 0; i < aOut.size(); ++i) {
            if (aPoll[i].revents != 0 && CheckAnswered(aPoll[i].fd, aOut[i].second->pDatagram))
                aAnswered.push_back(aOut[i]);
        }
        for (auto& [nRow, pProbe] : aAnswered) {
            if (pProbe->aSockets.empty()) continue;
            EndCheck(*pProbe);
            m_pRegistry->Answered(nRow, tNow, events);
        }
        std::vector<Probe*> aTimedOut;
        for (const auto& [pProbe, nRow] : m_out) {
            if (tNow >= pProbe->tCheckEnd) aTimedOut.push_back(pProbe);
        }
        for (Probe* pProbe : aTimedOut) EndCheck(*pProbe);
        // A pass over every row, so not every tick.
        if (tNow >= m_tNextSweep) {
            m_tNextSweep = tNow + std::min<Clock::duration>(SWEEP_EVERY, m_settings.interval / 4);
            Sweep(tNow, events);
        }
    }
    Post(events);
}
