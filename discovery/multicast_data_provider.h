// The base of the discovery providers: a search thread running the method's
// search body, a control thread enforcing the time limit, and the one packet
// list that every provider appends to and the window reads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "conv_string.h"

constexpr int32_t PROVIDER_KIND_UPNP = 0;
constexpr int32_t PROVIDER_KIND_MDNS = 1;

// One printer as a provider reports it.
struct MulticastDataPacket {
    CConvString strName;
    CConvString strIpAddress;
    CConvString strUrl;
    int32_t bComplete = 0;
    // Where the row came from, for hvl-scan; the window does not show these.
    int32_t nKind = -1;      // PROVIDER_KIND_MDNS or PROVIDER_KIND_UPNP of the provider that made it
    CConvString strType{};   // mDNS: the service type whose browse found it
    CConvString strModel{};  // make and model where the printer says them
};

class CMulticastDataProvider {
public:
    CMulticastDataProvider(std::vector<std::u16string> aNamesToQuery, std::u16string strDomain, int32_t nKind,
                           std::u16string strName,
                           std::chrono::milliseconds timeLimit = std::chrono::seconds(30));
    // Stops a running search and joins its threads. A derived class whose
    // Search uses its own members must call StopAndJoin() first thing in its
    // own destructor: by the time this one runs, the derived part is gone.
    virtual ~CMulticastDataProvider();

    CMulticastDataProvider(const CMulticastDataProvider&) = delete;
    CMulticastDataProvider& operator=(const CMulticastDataProvider&) = delete;

    // Runs on the window's thread.
    virtual int32_t IsAvailable() = 0;

    void ResetData();       // empties the packets of every provider
    int32_t StartSearch();  // TRUE when both threads run
    void StopSearch();      // returns at once; the provider is idle afterwards

    bool IsSearching() const { return m_bSearching.load(); }
    int32_t GetStatus() const { return m_nStatus.load(); }
    int32_t GetKind() const { return m_nKind; }
    const std::u16string& GetName() const { return m_strName; }

    // The window's view of the shared packet list: never waits for the packet
    // lock, and every packet read is whole (three texts and the flag together).
    static int32_t GetPacketCount();
    static bool GetPacket(int32_t nIndex, MulticastDataPacket& packet);

protected:
    // The search body; runs on the search thread. Every wait inside it is
    // bounded and watches the stop request.
    virtual void Search() = 0;

    // --- for search bodies ---
    // True once this search was stopped (by the window or the time limit).
    bool IsStopRequested() const;
    // Waits up to `timeout`; returns true at once when a stop is requested.
    bool WaitForStop(std::chrono::milliseconds timeout) const;
    // A descriptor that becomes readable when a stop is requested, for
    // select()/poll() next to other descriptors, and stays readable: poll it,
    // never read from it. Valid during Search().
    int GetStopFd() const;
    // Called (from StopSearch's thread) when a stop is requested, so a body
    // sleeping in another library's loop can be woken (e.g. a GLib context).
    // Set and cleared by the search body itself; set after a stop, it is
    // called at once. It runs under the provider's stop lock and must not
    // block (g_main_context_wakeup and the like); clearing it waits for a
    // call in progress, so captured references stay valid until cleared.
    void SetStopWaker(std::function<void()> fnWake);

    // Packet lock: a search body holds it around every change to the list.
    // A body that returns still holding it has it released for it.
    static void LockPackets();
    static void UnlockPackets();
    // Under the packet lock. Appends a copy; returns its index, or -1 when
    // this search was abandoned (the packet is dropped).
    int32_t AppendPacket(const MulticastDataPacket& packet);
    // Under the packet lock. Changes packet nIndex (fnChange works on a copy
    // that then replaces the packet whole); false when this search was
    // abandoned, the list was reset since it started, or nIndex is out of range.
    bool UpdatePacket(int32_t nIndex, const std::function<void(MulticastDataPacket&)>& fnChange);
    // A copy of packet nIndex (stable while the caller holds the packet lock).
    bool ReadPacket(int32_t nIndex, MulticastDataPacket& packet) const;
    // The number of packets (stable while the caller holds the packet lock).
    int32_t PacketCountLocked() const;

    // Stores a failure code for the window. Dropped once the search was
    // stopped, so a stopped search keeps the status the stop left.
    void SetStatus(int32_t nStatus);

    // Stops a running search and waits for its threads to end. Call it first
    // in the destructor of every derived class (see the destructor above).
    void StopAndJoin();

    // A seam for tests: a non-zero result makes the start of the search
    // thread (bControlThread false) or of the control thread fail with that
    // error code, as a failed thread creation would.
    virtual int32_t SimulateThreadStartFailure(bool bControlThread) const {
        (void)bControlThread;
        return 0;
    }

    const std::vector<std::u16string> m_aNamesToQuery;
    const CConvString m_strDomain;

private:
    std::atomic<int32_t> m_bSearching{0};
    std::atomic<int32_t> m_nStatus{0};
    const std::chrono::milliseconds m_nTimeLimit;
    const int32_t m_nKind;
    const std::u16string m_strName;

    struct SearchState;  // the threads, the finished event, the stop request
    std::unique_ptr<SearchState> m_pState;

    struct CPacketStore;  // the shared packet list and its locks
    struct CSearchRun;    // one search: its threads, events and stop request
    static CPacketStore& Store();
    void RequestStop(CSearchRun* pRun);
    void SearchThreadProc();
    void ControlThreadProc();
    void JoinThreads();
};
