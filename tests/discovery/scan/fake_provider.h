// A provider whose search body is a script the test writes, for driving the
// scan loop without a network.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "multicast_data_provider.h"

class CFakeProvider : public CMulticastDataProvider {
public:
    using Script = std::function<void(CFakeProvider&)>;

    CFakeProvider(int32_t nKind, std::u16string strName, Script fnScript = {},
                  std::chrono::milliseconds timeLimit = std::chrono::seconds(5))
        : CMulticastDataProvider({u"fake"}, u"", nKind, std::move(strName), timeLimit),
          m_fnScript(std::move(fnScript)) {}

    ~CFakeProvider() override { StopAndJoin(); }

    int32_t IsAvailable() override {
        ++m_nAvailableCalls;
        return m_bAvailable ? 1 : 0;
    }

    // Appends one packet under the packet lock; returns its index.
    int32_t Append(std::u16string strName, std::u16string strIp, std::u16string strUrl,
                   bool bComplete = true) {
        MulticastDataPacket packet;
        packet.strName = strName;
        packet.strIpAddress = strIp;
        packet.strUrl = strUrl;
        packet.bComplete = bComplete ? 1 : 0;
        LockPackets();
        const int32_t nIndex = AppendPacket(packet);
        UnlockPackets();
        return nIndex;
    }

    void Complete(int32_t nIndex) {
        LockPackets();
        UpdatePacket(nIndex, [](MulticastDataPacket& p) { p.bComplete = 1; });
        UnlockPackets();
    }

    // Blocks the search until the test releases it or the search is stopped.
    void BlockSearch() {
        while (!m_bUnblocked.load() && !WaitForStop(std::chrono::milliseconds(5))) {
        }
    }
    void UnblockSearch() { m_bUnblocked = true; }

    void Fail(int32_t nStatus) { SetStatus(nStatus); }

    bool m_bAvailable = true;
    std::atomic<int> m_nAvailableCalls{0};
    std::atomic<int> m_nSearches{0};

protected:
    void Search() override {
        ++m_nSearches;
        if (m_fnScript) m_fnScript(*this);
    }

private:
    Script m_fnScript;
    std::atomic<bool> m_bUnblocked{false};
};
