#include "multicast_data_provider.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "stop_signal.h"
#include "trace_log.h"

namespace {

// What the control thread stores when the time limit ran out (WAIT_TIMEOUT).
constexpr int32_t STATUS_TIMEOUT = 258;

// How a search ended; decided once, by whichever side gets there first.
enum : int32_t { OUTCOME_RUNNING = 0, OUTCOME_RETURNED = 1, OUTCOME_STOPPED = 2 };

}  // namespace

// The process-wide packet list. Two locks guard it:
// - s_csPackets, the packet lock, is the coarse lock search bodies hold
//   around their changes (the mDNS pass holds it for seconds);
// - m_csPublish is held only for the moment of one read or write of the
//   vector, so the window's tick never waits for a pass, every packet is
//   read whole, and the check that a search is still current is atomic with
//   its stop (StopSearch marks the search abandoned under this lock).
struct CMulticastDataProvider::CPacketStore {
    CPacketStore() {
        // The trace log must outlive the list: touching it first makes it
        // constructed before, and so destroyed after, this object.
        (void)CTraceLog::Instance();
    }

    // The program may end while a provider that was never destroyed still
    // searches: stop and join it while the list and the log still exist.
    ~CPacketStore() {
        std::set<CMulticastDataProvider*> aProviders;
        {
            std::lock_guard<std::mutex> lock(m_csRegistry);
            aProviders = m_aProviders;
        }
        for (CMulticastDataProvider* pProvider : aProviders) {
            pProvider->StopAndJoin();
        }
    }

    std::mutex s_csPackets;
    std::atomic<std::thread::id> m_idPacketLockOwner{};

    std::mutex m_csPublish;
    std::vector<MulticastDataPacket> s_aPackets;  // guarded by m_csPublish
    uint64_t m_nListGeneration = 0;               // guarded by m_csPublish; +1 per ResetData

    std::mutex m_csRegistry;
    std::set<CMulticastDataProvider*> m_aProviders;
};

// One search: made by StartSearch, replaced only after its threads were joined.
struct CMulticastDataProvider::CSearchRun {
    std::thread threadSearch;
    std::thread threadControl;

    CStopSignal stop;  // raised once a stop is requested
    std::atomic<bool> bStopRequested{false};
    std::atomic<int32_t> nOutcome{OUTCOME_RUNNING};
    bool bTerminatedTraced = false;  // guarded by the provider's m_csStop
    bool bAbandoned = false;         // guarded by the store's m_csPublish
    uint64_t nListGeneration = 0;    // the list this search fills

    // Serialises the outcome decision with SetStatus, so a stopped search
    // cannot overwrite the status its stop left.
    std::mutex csStatus;

    // The finished event and the two start gates.
    std::mutex csEvent;
    std::condition_variable cvEvent;
    bool bFinished = false;
    bool bSearchGo = false;
    bool bControlGo = false;
    bool bTidKnown = false;
    pid_t nSearchTid = 0;

    std::mutex csWaker;
    std::function<void()> fnWake;

    void SignalFinished() {
        std::lock_guard<std::mutex> lock(csEvent);
        bFinished = true;
        cvEvent.notify_all();
    }
};

struct CMulticastDataProvider::SearchState {
    std::mutex csStop;  // serialises StopSearch between the window and the control thread
    std::unique_ptr<CSearchRun> pRun;
};

CMulticastDataProvider::CPacketStore& CMulticastDataProvider::Store() {
    static CPacketStore store;
    return store;
}

CMulticastDataProvider::CMulticastDataProvider(std::vector<std::u16string> aNamesToQuery,
                                               std::u16string strDomain, int32_t nKind,
                                               std::u16string strName, std::chrono::milliseconds timeLimit)
    : m_aNamesToQuery(std::move(aNamesToQuery)),
      m_strDomain(strDomain),
      m_nTimeLimit(timeLimit),
      m_nKind(nKind),
      m_strName(std::move(strName)),
      m_pState(std::make_unique<SearchState>()) {
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csRegistry);
    store.m_aProviders.insert(this);
}

CMulticastDataProvider::~CMulticastDataProvider() {
    StopAndJoin();
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csRegistry);
    store.m_aProviders.erase(this);
}

void CMulticastDataProvider::StopAndJoin() {
    StopSearch();
    JoinThreads();
}

void CMulticastDataProvider::JoinThreads() {
    CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr) {
        return;
    }
    if (pRun->threadSearch.joinable()) {
        pRun->threadSearch.join();
    }
    if (pRun->threadControl.joinable()) {
        pRun->threadControl.join();
    }
}

void CMulticastDataProvider::ResetData() {
    TraceMessage(TRACE_INFO, nullptr, u"%s: reset data.", m_strName);
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csPublish);
    store.s_aPackets.clear();
    // Indexes held by any earlier search now name nothing: drop its writes.
    ++store.m_nListGeneration;
}

int32_t CMulticastDataProvider::StartSearch() {
    // The window starts only idle providers; should it not, the new scan wins.
    if (m_bSearching.load()) {
        StopSearch();
    }
    JoinThreads();

    auto pRun = std::make_unique<CSearchRun>();
    {
        CPacketStore& store = Store();
        std::lock_guard<std::mutex> lock(store.m_csPublish);
        pRun->nListGeneration = store.m_nListGeneration;
    }
    int32_t nError = pRun->stop.IsValid() ? SimulateThreadStartFailure(false) : EMFILE;
    CSearchRun* pCurrent = pRun.get();
    {
        std::lock_guard<std::mutex> lock(m_pState->csStop);
        m_pState->pRun = std::move(pRun);
    }

    m_nStatus.store(0);
    m_bSearching.store(1);

    if (nError == 0) {
        try {
            pCurrent->threadSearch = std::thread(&CMulticastDataProvider::SearchThreadProc, this);
        } catch (const std::system_error& e) {
            nError = e.code().value();
        } catch (...) {
            nError = ENOMEM;
        }
    }
    if (nError != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"%s: Could not start search thread. (0x%08X)", m_strName,
                     static_cast<uint32_t>(nError));
        m_bSearching.store(0);
        std::lock_guard<std::mutex> lock(m_pState->csStop);
        m_pState->pRun.reset();  // no search: a later StopSearch has nothing to end
        return 0;
    }

    // The body starts only after this line, so it is the first of the search.
    pid_t nTid = 0;
    {
        std::unique_lock<std::mutex> lock(pCurrent->csEvent);
        pCurrent->cvEvent.wait(lock, [pCurrent] { return pCurrent->bTidKnown; });
        nTid = pCurrent->nSearchTid;
    }
    TraceMessage(TRACE_INFO, nullptr, u"%s: Searchthread (tid=0x%04X) successfully started.", m_strName,
                 static_cast<uint32_t>(nTid));
    {
        std::lock_guard<std::mutex> lock(pCurrent->csEvent);
        pCurrent->bSearchGo = true;
        pCurrent->cvEvent.notify_all();
    }

    nError = SimulateThreadStartFailure(true);
    if (nError == 0) {
        try {
            pCurrent->threadControl = std::thread(&CMulticastDataProvider::ControlThreadProc, this);
        } catch (const std::system_error& e) {
            nError = e.code().value();
        } catch (...) {
            nError = ENOMEM;
        }
    }
    if (nError != 0) {
        // The search goes on, without a time limit.
        TraceMessage(TRACE_ERROR, nullptr, u"%s: Could not start check thread. (0x%08X)", m_strName,
                     static_cast<uint32_t>(nError));
        return 0;
    }
    TraceMessage(TRACE_INFO, nullptr, u"%s: Controlhread successfully started.", m_strName);
    {
        std::lock_guard<std::mutex> lock(pCurrent->csEvent);
        pCurrent->bControlGo = true;
        pCurrent->cvEvent.notify_all();
    }
    return 1;
}

void CMulticastDataProvider::SearchThreadProc() {
    CSearchRun* pRun = m_pState->pRun.get();
    {
        std::unique_lock<std::mutex> lock(pRun->csEvent);
        pRun->nSearchTid = gettid();
        pRun->bTidKnown = true;
        pRun->cvEvent.notify_all();
        pRun->cvEvent.wait(lock, [pRun] { return pRun->bSearchGo; });
    }

    try {
        Search();
    } catch (...) {
        // A body reports failures through the status; nothing may end the process here.
    }

    // A body that returned while holding the packet lock would block every
    // later search of every provider.
    CPacketStore& store = Store();
    if (store.m_idPacketLockOwner.load() == std::this_thread::get_id()) {
        UnlockPackets();
    }

    // The flag is cleared before the finished event is signalled, so the
    // control thread never takes a search that has returned for a running one.
    int32_t nExpected = OUTCOME_RUNNING;
    {
        std::lock_guard<std::mutex> lock(pRun->csStatus);
        if (pRun->nOutcome.compare_exchange_strong(nExpected, OUTCOME_RETURNED)) {
            m_bSearching.store(0);
        }
    }
    pRun->SignalFinished();
}

void CMulticastDataProvider::ControlThreadProc() {
    CSearchRun* pRun = m_pState->pRun.get();
    bool bFinished = false;
    {
        std::unique_lock<std::mutex> lock(pRun->csEvent);
        pRun->cvEvent.wait(lock, [pRun] { return pRun->bControlGo; });
        bFinished = pRun->cvEvent.wait_for(lock, m_nTimeLimit, [pRun] { return pRun->bFinished; });
    }
    {
        // Under the stop lock: a stop from the window writes its line before
        // this thread's, and nothing comes between the timeout's two lines.
        std::lock_guard<std::mutex> lockStop(m_pState->csStop);
        bool bTimedOut = false;
        if (!bFinished) {
            std::lock_guard<std::mutex> lock(pRun->csStatus);
            int32_t nExpected = OUTCOME_RUNNING;
            // The search may have returned, or been stopped, at the very end of the wait.
            if (pRun->nOutcome.compare_exchange_strong(nExpected, OUTCOME_STOPPED)) {
                bTimedOut = true;
                m_nStatus.store(STATUS_TIMEOUT);
            }
        }
        if (bTimedOut) {
            RequestStop(pRun);
            TraceMessage(TRACE_ERROR, nullptr, u"%s: Timeout occured. Searchthread will be stopped.",
                         m_strName);
        }
        TraceMessage(TRACE_INFO, nullptr, u"%s: Searchthread finished.", m_strName);
    }
    StopSearch();
}

void CMulticastDataProvider::RequestStop(CSearchRun* pRun) {
    {
        CPacketStore& store = Store();
        std::lock_guard<std::mutex> lock(store.m_csPublish);
        pRun->bAbandoned = true;
    }
    pRun->bStopRequested.store(true);
    pRun->stop.Raise();
    std::lock_guard<std::mutex> lock(pRun->csWaker);
    if (pRun->fnWake) {
        pRun->fnWake();
    }
}

void CMulticastDataProvider::StopSearch() {
    std::lock_guard<std::mutex> lockStop(m_pState->csStop);
    CSearchRun* pRun = m_pState->pRun.get();
    if (pRun != nullptr) {
        bool bStopNow = false;
        {
            std::lock_guard<std::mutex> lock(pRun->csStatus);
            int32_t nExpected = OUTCOME_RUNNING;
            bStopNow = pRun->nOutcome.compare_exchange_strong(nExpected, OUTCOME_STOPPED);
        }
        if (bStopNow) {
            RequestStop(pRun);
        }
        if (pRun->nOutcome.load() == OUTCOME_STOPPED && !pRun->bTerminatedTraced) {
            pRun->bTerminatedTraced = true;
            TraceMessage(TRACE_INFO, nullptr, u"%s: Searchthread terminated.", m_strName);
        }
        pRun->SignalFinished();
    }
    m_bSearching.store(0);
}

void CMulticastDataProvider::SetStatus(int32_t nStatus) {
    CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr) {
        m_nStatus.store(nStatus);
        return;
    }
    std::lock_guard<std::mutex> lock(pRun->csStatus);
    if (pRun->nOutcome.load() != OUTCOME_STOPPED) {
        m_nStatus.store(nStatus);
    }
}

bool CMulticastDataProvider::IsStopRequested() const {
    const CSearchRun* pRun = m_pState->pRun.get();
    return pRun != nullptr && pRun->bStopRequested.load();
}

bool CMulticastDataProvider::WaitForStop(std::chrono::milliseconds timeout) const {
    const CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    return pRun->bStopRequested.load() || pRun->stop.WaitFor(timeout) || pRun->bStopRequested.load();
}

int CMulticastDataProvider::GetStopFd() const {
    const CSearchRun* pRun = m_pState->pRun.get();
    return pRun != nullptr ? pRun->stop.Fd() : -1;
}

void CMulticastDataProvider::SetStopWaker(std::function<void()> fnWake) {
    CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(pRun->csWaker);
    pRun->fnWake = std::move(fnWake);
    // A stop that came before the waker was set must still wake the loop.
    if (pRun->fnWake && pRun->bStopRequested.load()) {
        pRun->fnWake();
    }
}

void CMulticastDataProvider::LockPackets() {
    CPacketStore& store = Store();
    store.s_csPackets.lock();
    store.m_idPacketLockOwner.store(std::this_thread::get_id());
}

void CMulticastDataProvider::UnlockPackets() {
    CPacketStore& store = Store();
    store.m_idPacketLockOwner.store(std::thread::id());
    store.s_csPackets.unlock();
}

int32_t CMulticastDataProvider::AppendPacket(const MulticastDataPacket& packet) {
    const CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr) {
        return -1;
    }
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csPublish);
    if (pRun->bAbandoned || pRun->nListGeneration != store.m_nListGeneration ||
        store.s_aPackets.size() >= static_cast<size_t>(INT32_MAX)) {
        return -1;
    }
    store.s_aPackets.push_back(packet);
    store.s_aPackets.back().nKind = m_nKind;  // the row's origin, whoever filled the packet in
    return static_cast<int32_t>(store.s_aPackets.size() - 1);
}

bool CMulticastDataProvider::UpdatePacket(int32_t nIndex,
                                          const std::function<void(MulticastDataPacket&)>& fnChange) {
    const CSearchRun* pRun = m_pState->pRun.get();
    if (pRun == nullptr || nIndex < 0) {
        return false;
    }
    CPacketStore& store = Store();
    auto IsCurrent = [&] {
        return !pRun->bAbandoned && pRun->nListGeneration == store.m_nListGeneration &&
               static_cast<size_t>(nIndex) < store.s_aPackets.size();
    };
    // Changed on a copy, outside the short lock: the change may take its
    // time (it may trace) without stalling the window. Writers all hold the
    // packet lock, so nobody changes the packet in between.
    MulticastDataPacket packet;
    {
        std::lock_guard<std::mutex> lock(store.m_csPublish);
        if (!IsCurrent()) {
            return false;
        }
        packet = store.s_aPackets[nIndex];
    }
    fnChange(packet);
    std::lock_guard<std::mutex> lock(store.m_csPublish);
    if (!IsCurrent()) {
        return false;
    }
    store.s_aPackets[nIndex] = packet;
    return true;
}

bool CMulticastDataProvider::ReadPacket(int32_t nIndex, MulticastDataPacket& packet) const {
    return GetPacket(nIndex, packet);
}

int32_t CMulticastDataProvider::PacketCountLocked() const {
    return GetPacketCount();
}

int32_t CMulticastDataProvider::GetPacketCount() {
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csPublish);
    return static_cast<int32_t>(store.s_aPackets.size());
}

bool CMulticastDataProvider::GetPacket(int32_t nIndex, MulticastDataPacket& packet) {
    CPacketStore& store = Store();
    std::lock_guard<std::mutex> lock(store.m_csPublish);
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= store.s_aPackets.size()) {
        return false;
    }
    // A copy: the caller may build its UTF-8 form, which changes the object.
    packet = store.s_aPackets[nIndex];
    return true;
}
