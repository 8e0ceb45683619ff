#include "multicast_listener.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "conv_string.h"
#include "host_interfaces.h"
#include "stop_signal.h"
#include "trace_log.h"

namespace {

// Joins the group on each interface that is up, can multicast and is not
// loopback; how many joined.
int JoinEveryInterface(int hSocket, in_addr group) {
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    int nJoined = 0;
    for (const HostInterface& i : aInterfaces) {
        if (!i.CanMulticast()) continue;
        for (const HostIpv4Address& a : i.aIpv4) {
            ip_mreqn request{};
            request.imr_multiaddr = group;
            request.imr_address.s_addr = htonl(a.nAddress);
            request.imr_ifindex = static_cast<int>(i.nIndex);
            if (setsockopt(hSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) ++nJoined;
        }
    }
    return nJoined;
}

}  // namespace

bool CMulticastListener::Start(const char* pszGroup, uint16_t nPort, DatagramFn fnDatagram,
                               std::function<void()> fnTick, int nTickMs) {
    Stop();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    inet_pton(AF_INET, pszGroup, &address.sin_addr);
    const int nOn = 1;
    m_hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool bBound = m_hSocket >= 0 &&
                        setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn) == 0 &&
                        setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEPORT, &nOn, sizeof nOn) == 0 &&
                        bind(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int nError = errno;
    // Without its stop the thread could never be ended.
    m_pStop = std::make_unique<CStopSignal>();
    if (!bBound || !m_pStop->IsValid() || JoinEveryInterface(m_hSocket, address.sin_addr) == 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"Watch: Could not listen to %s port %d. (%d)",
                     Utf8ToUtf16(pszGroup), static_cast<int>(nPort), bBound ? 0 : nError);
        if (m_hSocket >= 0) close(m_hSocket);
        m_hSocket = -1;
        return false;
    }
    m_nGroup = address.sin_addr.s_addr;
    m_fnDatagram = std::move(fnDatagram);
    m_fnTick = std::move(fnTick);
    m_nTickMs = m_fnTick ? nTickMs : 30000;
    m_thread = std::thread([this] { Listen(); });
    return true;
}

void CMulticastListener::Stop() {
    if (m_thread.joinable()) {
        m_pStop->Raise();
        m_thread.join();
    }
    if (m_hSocket >= 0) close(m_hSocket);
    m_hSocket = -1;
    m_pStop.reset();
}

void CMulticastListener::Listen() {
    char aBuffer[65536];
    auto tJoined = std::chrono::steady_clock::now();
    for (;;) {
        if (std::chrono::steady_clock::now() - tJoined >= std::chrono::seconds(30)) {
            JoinEveryInterface(m_hSocket, in_addr{m_nGroup});
            tJoined = std::chrono::steady_clock::now();
        }
        pollfd aPoll[2] = {{m_hSocket, POLLIN, 0}, {m_pStop->Fd(), POLLIN, 0}};
        if (poll(aPoll, 2, m_nTickMs) < 0 && errno != EINTR) return;
        if (aPoll[1].revents != 0) return;
        // What arrived meanwhile, a bounded number at a time so that a flood
        // cannot keep the stop or the tick waiting.
        for (int i = 0; i < 64 && (aPoll[0].revents & POLLIN); ++i) {
            sockaddr_in sender{};
            socklen_t nSize = sizeof sender;
            const ssize_t nRead =
                recvfrom(m_hSocket, aBuffer, sizeof aBuffer, 0, reinterpret_cast<sockaddr*>(&sender), &nSize);
            if (nRead < 0) break;
            char szSender[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sender.sin_addr, szSender, sizeof szSender);
            m_fnDatagram(std::string_view(aBuffer, static_cast<size_t>(nRead)), szSender);
        }
        if (m_fnTick) m_fnTick();
    }
}
