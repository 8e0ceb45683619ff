#include "wsd_finder.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>

#include <glib-unix.h>
#include <libsoup/soup.h>

#include "bounded_fetch.h"
#include "host_interfaces.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t WSD_PORT = 3702;

// Up, multicast-capable, not loopback.
std::vector<HostInterface> ListInterfaces() {
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    std::erase_if(aInterfaces, [](const HostInterface& i) { return !i.CanMulticast() || i.nIndex == 0; });
    return aInterfaces;
}

bool HasFamily(const HostInterface& i, int nFamily) {
    return !(nFamily == AF_INET ? i.aIpv4.empty() : i.aIpv6.empty());
}

// The group's address on the interface; a send there names the interface
// itself, as a namespace without a default route needs.
struct sockaddr_storage GroupAddress(int nFamily, unsigned nIndex) {
    struct sockaddr_storage to {};
    if (nFamily == AF_INET) {
        auto* p = reinterpret_cast<struct sockaddr_in*>(&to);
        p->sin_family = AF_INET;
        p->sin_port = htons(WSD_PORT);
        inet_pton(AF_INET, "239.255.255.250", &p->sin_addr);
    } else {
        auto* p = reinterpret_cast<struct sockaddr_in6*>(&to);
        p->sin6_family = AF_INET6;
        p->sin6_port = htons(WSD_PORT);
        p->sin6_scope_id = nIndex;
        inet_pton(AF_INET6, "ff02::c", &p->sin6_addr);
    }
    return to;
}

socklen_t AddressLength(const struct sockaddr_storage& a) {
    return a.ss_family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
}

// A UDP socket on an ephemeral port whose multicast leaves through the
// interface, one hop only; -1 when the family is not there.
int OpenSocket(int nFamily, unsigned nIndex, bool bBind) {
    const int fd = socket(nFamily, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    bool bOk;
    if (nFamily == AF_INET) {
        struct ip_mreqn request {};
        request.imr_ifindex = static_cast<int>(nIndex);
        const int nTtl = 1;
        bOk = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) == 0 &&
              setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &nTtl, sizeof nTtl) == 0;
    } else {
        const int nOne = 1;
        const int nIf = static_cast<int>(nIndex);
        bOk = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOne, sizeof nOne) == 0 &&
              setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &nIf, sizeof nIf) == 0 &&
              setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &nOne, sizeof nOne) == 0;
    }
    struct sockaddr_storage any {};
    any.ss_family = static_cast<sa_family_t>(nFamily);
    if (bOk && bBind) bOk = bind(fd, reinterpret_cast<struct sockaddr*>(&any), AddressLength(any)) == 0;
    if (!bOk) {
        close(fd);
        return -1;
    }
    return fd;
}

// "192.0.2.5", "2001:db8::5", "fe80::5%eth0".
std::string AddressText(const struct sockaddr_storage& a) {
    char sz[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in*>(&a)->sin_addr, sz, sizeof sz);
        return sz;
    }
    const auto* p = reinterpret_cast<const struct sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &p->sin6_addr, sz, sizeof sz);
    char szIf[IF_NAMESIZE] = {};
    if (IN6_IS_ADDR_LINKLOCAL(&p->sin6_addr) && p->sin6_scope_id != 0 &&
        if_indextoname(p->sin6_scope_id, szIf))
        return std::string(sz) + "%" + szIf;
    return sz;
}

std::string Lower(std::string str) {
    for (char& c : str) c = static_cast<char>(g_ascii_tolower(c));
    return str;
}

}  // namespace

CWsdFinder::CWsdFinder(const WsdFinderLimits& limits) : m_limits(limits) {}
CWsdFinder::~CWsdFinder() = default;

uint32_t CWsdFinder::CheckAvailable() {
    return ListInterfaces().empty() ? WSD_E_NO_INTERFACE : 0;
}

void CWsdFinder::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    if (m_pContext) g_main_context_wakeup(static_cast<GMainContext*>(m_pContext));
}

std::vector<WsdRoute> WsdMulticastRoutes() {
    std::vector<WsdRoute> aRoutes;
    for (const HostInterface& i : ListInterfaces()) {
        WsdRoute route;
        route.strInterface = i.strName;
        for (int nFamily : {AF_INET, AF_INET6}) {
            const int fd = OpenSocket(nFamily, i.nIndex, false);
            if (fd < 0) continue;
            const struct sockaddr_storage to = GroupAddress(nFamily, i.nIndex);
            const bool bRouted =
                connect(fd, reinterpret_cast<const struct sockaddr*>(&to), AddressLength(to)) == 0;
            close(fd);
            (nFamily == AF_INET ? route.bIpv4 : route.bIpv6) = bRouted && HasFamily(i, nFamily);
        }
        aRoutes.push_back(route);
    }
    return aRoutes;
}

// One Find run: its sockets, the devices that answered and the metadata
// requests in flight.
struct CWsdFinder::CSearch {
    struct Socket {
        CSearch* pSearch = nullptr;
        int fd = -1;
        struct sockaddr_storage group {};
        GSource* pSource = nullptr;
    };
    enum class State { NEW, RESOLVING, QUEUED, FETCHING, DONE };
    struct Device {
        WsdDevice info;
        std::vector<struct sockaddr_storage> aSenders;  // beside info.aAddresses
        std::vector<std::string> aXAddrs;
        State state = State::NEW;
        Clock::time_point tResolveEnd;
        std::string strListed;  // the address it was listed under
    };
    struct Fetch {
        CSearch* pSearch = nullptr;
        Device* pDevice = nullptr;
        SoupSession* pSession = nullptr;
        CBoundedFetch fetch;
    };

    CWsdFinder& finder;
    const WsdFinderLimits& limits;
    GMainContext* pContext = nullptr;
    std::vector<std::unique_ptr<Socket>> aSockets;
    std::string strProbeId = WsdNewMessageId();
    std::set<std::string> resolveIds;
    std::map<std::string, std::unique_ptr<Device>> devices;  // by endpoint, lower case
    std::deque<Device*> queue;
    std::vector<std::unique_ptr<Fetch>> aFetches;  // in flight or closing
    size_t nResolving = 0;
    bool bClosing = false;

    CSearch(CWsdFinder& f, GMainContext* p) : finder(f), limits(f.m_limits), pContext(p) {}

    void OpenSockets() {
        for (const HostInterface& i : ListInterfaces()) {
            for (int nFamily : {AF_INET, AF_INET6}) {
                if (!HasFamily(i, nFamily)) continue;
                const int fd = OpenSocket(nFamily, i.nIndex, true);
                if (fd < 0) continue;
                auto pSocket = std::make_unique<Socket>();
                pSocket->pSearch = this;
                pSocket->fd = fd;
                pSocket->group = GroupAddress(nFamily, i.nIndex);
                pSocket->pSource = g_unix_fd_source_new(fd, G_IO_IN);
                g_source_set_callback(pSocket->pSource, G_SOURCE_FUNC(OnReadable), pSocket.get(), nullptr);
                g_source_attach(pSocket->pSource, pContext);
                aSockets.push_back(std::move(pSocket));
            }
        }
    }

    void Send(const Socket& socket, const std::string& strMessage) {
        sendto(socket.fd, strMessage.data(), strMessage.size(), 0,
               reinterpret_cast<const struct sockaddr*>(&socket.group), AddressLength(socket.group));
    }

    static gboolean OnReadable(gint fd, GIOCondition, gpointer pData) {
        auto* pSocket = static_cast<Socket*>(pData);
        static thread_local std::vector<char> s_buffer(65536);
        // A bounded share per wake-up, so a flood on one socket cannot
        // starve the others or the clock.
        for (int n = 0; n < 64 && !pSocket->pSearch->bClosing; ++n) {
            struct sockaddr_storage from {};
            socklen_t nFrom = sizeof from;
            const ssize_t nRead = recvfrom(fd, s_buffer.data(), s_buffer.size(), 0,
                                           reinterpret_cast<struct sockaddr*>(&from), &nFrom);
            if (nRead < 0) break;
            WsdMessage message;
            if (ParseWsdMessage(std::string_view(s_buffer.data(), static_cast<size_t>(nRead)), message))
                pSocket->pSearch->OnMessage(*pSocket, from, message);
        }
        return G_SOURCE_CONTINUE;
    }

    void OnMessage(const Socket& socket, const struct sockaddr_storage& from, const WsdMessage& message) {
        // Only answers to this search's own questions.
        const bool bAnswer =
            (message.kind == WsdMessage::Kind::PROBE_MATCHES && message.strRelatesTo == strProbeId) ||
            (message.kind == WsdMessage::Kind::RESOLVE_MATCHES &&
             resolveIds.count(message.strRelatesTo) != 0);
        if (!bAnswer) return;
        for (const WsdEndpoint& endpoint : message.aEndpoints) {
            const std::string strKey = Lower(endpoint.strAddress);
            auto it = devices.find(strKey);
            if (it == devices.end()) {
                if (devices.size() >= limits.nMaxDevices) continue;
                it = devices.emplace(strKey, std::make_unique<Device>()).first;
                it->second->info.strEndpoint = endpoint.strAddress;
            }
            Device& device = *it->second;
            for (const std::string& str : endpoint.aTypes) Insert(device.info.aTypes, str);
            for (const std::string& str : endpoint.aXAddrs) Insert(device.aXAddrs, str);
            AddSender(device, from);
            if (device.state == State::NEW && device.aXAddrs.empty()) {
                // Anyone who saw the Probe can answer it: matches without
                // end cost no more than this many multicast Resolves.
                if (resolveIds.size() >= limits.nMaxResolves) continue;
                const std::string strId = WsdNewMessageId();
                resolveIds.insert(strId);
                Send(socket, WsdResolveMessage(strId, device.info.strEndpoint));
                device.state = State::RESOLVING;
                device.tResolveEnd = Clock::now() + limits.resolveBound;
                ++nResolving;
                AddWakeUp(limits.resolveBound);
            } else if ((device.state == State::NEW || device.state == State::RESOLVING) &&
                       !device.aXAddrs.empty()) {
                if (device.state == State::RESOLVING) --nResolving;
                device.state = State::QUEUED;
                queue.push_back(&device);
                StartFetches();
            }
        }
    }

    static void Insert(std::vector<std::string>& a, const std::string& str) {
        if (a.size() < WSD_MAX_ITEMS && std::find(a.begin(), a.end(), str) == a.end()) a.push_back(str);
    }

    void AddSender(Device& device, const struct sockaddr_storage& from) {
        const std::string strAddress = AddressText(from);
        std::vector<std::string>& a = device.info.aAddresses;
        if (std::find(a.begin(), a.end(), strAddress) != a.end() || a.size() >= WSD_MAX_ITEMS) return;
        // IPv4 before IPv6, each in the order it answered.
        size_t nAt = a.size();
        if (from.ss_family == AF_INET) {
            nAt = 0;
            while (nAt < a.size() && device.aSenders[nAt].ss_family == AF_INET) ++nAt;
        }
        a.insert(a.begin() + static_cast<std::ptrdiff_t>(nAt), strAddress);
        device.aSenders.insert(device.aSenders.begin() + static_cast<std::ptrdiff_t>(nAt), from);
        if (device.state == State::DONE && !device.strListed.empty() && finder.m_fnAddress)
            finder.m_fnAddress(device.info.strEndpoint, device.strListed, strAddress);
    }

    // Listed when anything it said names a printer; computers, scanners and
    // the rest are not.
    void Finish(Device& device) {
        device.state = State::DONE;
        if (bClosing || !WsdTypesNamePrinter(device.info.aTypes)) return;
        device.strListed = device.info.aAddresses.front();
        if (finder.m_fnPrinter) finder.m_fnPrinter(device.info);
    }

    void ExpireResolves() {
        const Clock::time_point now = Clock::now();
        for (auto& [strKey, pDevice] : devices) {
            if (pDevice->state != State::RESOLVING || now < pDevice->tResolveEnd) continue;
            --nResolving;
            Finish(*pDevice);
        }
    }

    bool Busy() const { return nResolving > 0 || !queue.empty() || !aFetches.empty(); }

    // --- Metadata: one bounded POST per device ---

    void StartFetches() {
        while (!bClosing && !queue.empty() && aFetches.size() < limits.nMaxFetches) {
            Device* pDevice = queue.front();
            queue.pop_front();
            pDevice->state = State::FETCHING;
            if (!StartFetch(*pDevice)) Finish(*pDevice);
        }
    }

    // The first http XAddr, asked of the address that answered (IPv4 first)
    // whatever host the XAddr names, so that no peer can send the request
    // elsewhere.
    bool StartFetch(Device& device) {
        GUri* pUri = nullptr;
        for (const std::string& str : device.aXAddrs) {
            pUri = g_uri_parse(str.c_str(), G_URI_FLAGS_ENCODED, nullptr);
            if (pUri && g_ascii_strcasecmp(g_uri_get_scheme(pUri), "http") == 0 && g_uri_get_host(pUri))
                break;
            g_clear_pointer(&pUri, g_uri_unref);
        }
        if (!pUri) return false;
        const int nPort = g_uri_get_port(pUri) > 0 ? g_uri_get_port(pUri) : 80;
        device.info.nPort = static_cast<uint16_t>(nPort);
        SoupMessage* pMessage = soup_message_new_from_uri("POST", pUri);
        g_uri_unref(pUri);
        if (!pMessage) return false;
        struct sockaddr_storage to = device.aSenders.front();
        if (to.ss_family == AF_INET)
            reinterpret_cast<struct sockaddr_in*>(&to)->sin_port = htons(static_cast<uint16_t>(nPort));
        else
            reinterpret_cast<struct sockaddr_in6*>(&to)->sin6_port = htons(static_cast<uint16_t>(nPort));
        GSocketAddress* pTo = g_socket_address_new_from_native(&to, AddressLength(to));
        // A session per device: its one connection goes to that address; no
        // proxy, no content decoding (the size cap counts what arrives).
        SoupSession* pSession =
            soup_session_new_with_options("remote-connectable", pTo, "max-conns", 1, nullptr);
        g_object_unref(pTo);
        soup_session_set_proxy_resolver(pSession, nullptr);
        soup_session_remove_feature_by_type(pSession, SOUP_TYPE_CONTENT_DECODER);
        const std::string strBody = WsdGetMessage(WsdNewMessageId(), device.info.strEndpoint);
        GBytes* pBody = g_bytes_new(strBody.data(), strBody.size());
        soup_message_set_request_body_from_bytes(pMessage, "application/soap+xml; charset=utf-8", pBody);
        g_bytes_unref(pBody);

        auto pFetch = std::make_unique<Fetch>();
        Fetch* p = pFetch.get();
        p->pSearch = this;
        p->pDevice = &device;
        p->pSession = pSession;
        aFetches.push_back(std::move(pFetch));
        p->fetch.Start(pSession, pMessage, limits.fetchBound, limits.nMaxDocumentBytes, OnBody, p);
        return true;
    }

    static void OnBody(void* pData, bool bWhole) {
        auto* p = static_cast<Fetch*>(pData);
        p->pSearch->End(p, bWhole && !p->pSearch->bClosing);
    }

    // The Get is over: what came whole is read; the device is listed either
    // way, and the next queued one may start.
    void End(Fetch* p, bool bWhole) {
        p->fetch.Cancel();
        Device& device = *p->pDevice;
        if (bWhole && p->fetch.GetStatus() == SOUP_STATUS_OK &&
            ParseWsdMetadata(p->fetch.strBody, device.info.metadata)) {
            device.info.bMetadataRead = true;
            for (const std::string& str : device.info.metadata.aTypes) Insert(device.info.aTypes, str);
        }
        soup_session_abort(p->pSession);
        g_clear_object(&p->pSession);
        std::erase_if(aFetches, [p](const std::unique_ptr<Fetch>& f) { return f.get() == p; });
        Finish(device);
        StartFetches();
    }

    static gboolean OnTick(gpointer) { return G_SOURCE_REMOVE; }
    void AddWakeUp(std::chrono::milliseconds after) {
        GSource* pSource = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(after.count(), 0)));
        g_source_set_callback(pSource, OnTick, nullptr, nullptr);
        g_source_attach(pSource, pContext);
        g_source_unref(pSource);
    }

    // SOAP-over-UDP: the Probe now, again after 50-250 ms, and once more;
    // when each repeat is due.
    std::vector<Clock::time_point> SendProbes(const std::string& strProbe, Clock::time_point tStart) {
        std::vector<Clock::time_point> aRepeats;
        Clock::time_point tRepeat = tStart;
        for (int i = 0; i < 2; ++i) {
            tRepeat += std::chrono::milliseconds(g_random_int_range(50, 251));
            aRepeats.push_back(tRepeat);
            AddWakeUp(std::chrono::duration_cast<std::chrono::milliseconds>(tRepeat - tStart));
        }
        for (const auto& pSocket : aSockets) Send(*pSocket, strProbe);
        return aRepeats;
    }

    // Until the last Probe's answers are in and nothing else is out, or a
    // stop; whatever answers late, the search ends at the hard end: resolves
    // and Gets started by then have had their bounds.
    uint32_t ProbeAndListen() {
        const std::string strProbe = WsdProbeMessage(strProbeId);
        const Clock::time_point tStart = Clock::now();
        std::vector<Clock::time_point> aRepeats = SendProbes(strProbe, tStart);
        const Clock::time_point tListenEnd = aRepeats.back() + limits.listenFor;
        const Clock::time_point tHardEnd = tListenEnd + limits.resolveBound + limits.fetchBound;
        AddWakeUp(std::chrono::duration_cast<std::chrono::milliseconds>(tListenEnd - tStart));
        AddWakeUp(std::chrono::duration_cast<std::chrono::milliseconds>(tHardEnd - tStart));
        for (;;) {
            const bool bStopped = finder.StopAsked();
            const Clock::time_point now = Clock::now();
            while (!aRepeats.empty() && now >= aRepeats.front()) {
                for (const auto& pSocket : aSockets) Send(*pSocket, strProbe);
                aRepeats.erase(aRepeats.begin());
            }
            ExpireResolves();
            if (bStopped) return WSD_E_CANCELLED;
            if (now >= tHardEnd || (now >= tListenEnd && !Busy())) return 0;
            g_main_context_iteration(pContext, TRUE);
        }
    }

    // On this thread: printers still waiting for their metadata are listed
    // by their address, as the other methods list what they found however
    // the scan ends; every Get cancelled and its callbacks run out, then the
    // sockets closed.
    void TearDown() {
        for (auto& [strKey, pDevice] : devices) {
            if (pDevice->state != State::DONE && pDevice->state != State::NEW) Finish(*pDevice);
        }
        bClosing = true;
        for (auto& pFetch : aFetches) pFetch->fetch.Cancel();
        const Clock::time_point tDrainEnd = Clock::now() + std::chrono::seconds(1);
        while (!aFetches.empty() && Clock::now() < tDrainEnd) {
            AddWakeUp(std::chrono::milliseconds(50));
            g_main_context_iteration(pContext, TRUE);
        }
        for (auto& pSocket : aSockets) {
            g_source_destroy(pSocket->pSource);
            g_source_unref(pSocket->pSource);
            close(pSocket->fd);
        }
        for (int i = 0; i < 1000 && g_main_context_iteration(pContext, FALSE); ++i) {
        }
    }
};

bool CWsdFinder::StopAsked() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStop;
}

void CWsdFinder::SetContext(void* pContext) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pContext = pContext;
}

uint32_t CWsdFinder::Find() {
    if (StopAsked()) return WSD_E_CANCELLED;
    GMainContext* pContext = g_main_context_new();
    g_main_context_push_thread_default(pContext);
    SetContext(pContext);
    uint32_t nCode = 0;
    {
        CSearch search(*this, pContext);
        search.OpenSockets();
        if (search.aSockets.empty())
            nCode = CheckAvailable() != 0 ? WSD_E_NO_INTERFACE : WSD_E_NO_SOCKET;
        else
            nCode = search.ProbeAndListen();
        search.TearDown();
    }
    SetContext(nullptr);
    g_main_context_pop_thread_default(pContext);
    g_main_context_unref(pContext);
    return nCode;
}
