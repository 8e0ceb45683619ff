#include "upnp_device_finder.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <unordered_set>

#include <libgssdp/gssdp.h>
#include <libsoup/soup.h>
#include <libxml/tree.h>

#include "bounded_fetch.h"
#include "host_interfaces.h"
#include "peer_xml.h"

namespace {

using Clock = std::chrono::steady_clock;

// Up, not loopback, with an IPv4 address.
uint32_t ListInterfaces(std::vector<HostInterface>& aInterfaces) {
    if (const int nError = ListHostInterfaces(aInterfaces); nError != 0)
        return UPNP_E_ERRNO_BASE | static_cast<uint32_t>(nError & 0xFFFF);
    std::erase_if(aInterfaces,
                  [](const HostInterface& i) { return !i.IsUp() || i.IsLoopback() || i.aIpv4.empty(); });
    return aInterfaces.empty() ? UPNP_E_NO_INTERFACE : 0;
}

bool IsIpv4Literal(const std::string& strHost, struct in_addr& address) {
    return inet_pton(AF_INET, strHost.c_str(), &address) == 1;
}

bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        const bool bOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         c == '-' || c == '.' || c == '_';
        if (!bOk) return false;
    }
    return true;
}

// The text of the first element child called `name` (namespace ignored:
// devices get their namespaces wrong more often than their names).
xmlNode* FindChild(xmlNode* pParent, const char* name) {
    for (xmlNode* p = pParent ? pParent->children : nullptr; p; p = p->next) {
        if (p->type == XML_ELEMENT_NODE && xmlStrcmp(p->name, BAD_CAST name) == 0) return p;
    }
    return nullptr;
}

std::string ChildText(xmlNode* pParent, const char* name) {
    xmlNode* pChild = FindChild(pParent, name);
    if (!pChild) return {};
    xmlChar* pText = xmlNodeGetContent(pChild);
    if (!pText) return {};
    std::string strText = BoundUtf8(reinterpret_cast<const char*>(pText), UPNP_MAX_FIELD_BYTES);
    xmlFree(pText);
    return strText;
}

void CollectDevice(xmlNode* pDevice, unsigned nDepth, const std::string& strDocumentUrl,
                   std::vector<UPnPDevice>& aDevices, const UPnPFinderLimits& limits) {
    if (aDevices.size() >= limits.nMaxDevicesPerDocument) return;
    UPnPDevice device{ChildText(pDevice, "deviceType"), ChildText(pDevice, "friendlyName"),
                      ChildText(pDevice, "UDN"), ChildText(pDevice, "modelURL"), strDocumentUrl};
    device.strManufacturer = ChildText(pDevice, "manufacturer");
    device.strModelName = ChildText(pDevice, "modelName");
    // Only the type decides: a device without one is no printer. A missing
    // name is listed as empty text, and a missing UDN only changes how the
    // search tells the device apart (UPnPDeviceKey).
    if (!device.strType.empty()) aDevices.push_back(std::move(device));
    if (nDepth >= limits.nMaxDepth) return;
    xmlNode* pList = FindChild(pDevice, "deviceList");
    for (xmlNode* p = pList ? pList->children : nullptr; p; p = p->next) {
        if (p->type == XML_ELEMENT_NODE && xmlStrcmp(p->name, BAD_CAST "device") == 0) {
            CollectDevice(p, nDepth + 1, strDocumentUrl, aDevices, limits);
        }
    }
}

}  // namespace

std::string BoundUtf8(std::string_view text, size_t nMaxBytes) {
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
    };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    if (text.size() <= nMaxBytes) return std::string(text);
    size_t nCut = nMaxBytes;
    // Back up over continuation bytes to the start of the sequence that
    // would be split.
    while (nCut > 0 && (static_cast<unsigned char>(text[nCut]) & 0xC0) == 0x80) --nCut;
    return std::string(text.substr(0, nCut));
}

unsigned SsdpMaxAge(const char* pszCacheControl) {
    if (!pszCacheControl) return 0;
    GHashTable* pParams = soup_header_parse_param_list(pszCacheControl);
    const auto* pszValue = static_cast<const char*>(g_hash_table_lookup(pParams, "max-age"));
    guint64 nSeconds = 0;
    if (!pszValue || !g_ascii_string_to_unsigned(pszValue, 10, 0, G_MAXUINT64, &nSeconds, nullptr))
        nSeconds = 0;
    soup_header_free_param_list(pParams);
    return static_cast<unsigned>(std::min<guint64>(nSeconds, 86400));
}

std::string UPnPDeviceKey(const UPnPDevice& device, size_t nPosition) {
    if (!device.strUdn.empty()) return device.strUdn;
    // XML text never holds U+0001, so this cannot equal any UDN.
    return "\x01" + device.strDocumentUrl + "#" + std::to_string(nPosition);
}

bool ParseUPnPDescription(std::string_view data, const std::string& strDocumentUrl,
                          std::vector<UPnPDevice>& aDevices, const UPnPFinderLimits& limits) {
    const PeerXmlDoc pDoc = ParsePeerXml(data);
    xmlNode* pRoot = pDoc ? xmlDocGetRootElement(pDoc.get()) : nullptr;
    xmlNode* pDevice =
        (pRoot && xmlStrcmp(pRoot->name, BAD_CAST "root") == 0) ? FindChild(pRoot, "device") : nullptr;
    if (!pDevice) return false;
    std::vector<UPnPDevice> aFound;
    CollectDevice(pDevice, 0, strDocumentUrl, aFound, limits);
    for (UPnPDevice& device : aFound) aDevices.push_back(std::move(device));
    return !aFound.empty();
}

std::string UPnPFetchUrl(std::string_view location, std::string_view sender, std::string& strHostHeader) {
    strHostHeader.clear();
    struct in_addr senderAddress {};
    const std::string strSender(sender);
    if (location.size() > UPNP_MAX_URL_BYTES || !IsIpv4Literal(strSender, senderAddress)) return {};
    const std::string strLocation(location);
    GUri* pUri = g_uri_parse(strLocation.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (!pUri) return {};
    std::string strResult;
    const char* pszScheme = g_uri_get_scheme(pUri);
    const char* pszHost = g_uri_get_host(pUri);
    const char* pszPath = g_uri_get_path(pUri);
    const int nPort = g_uri_get_port(pUri) < 0 ? 80 : g_uri_get_port(pUri);
    if (pszScheme && g_ascii_strcasecmp(pszScheme, "http") == 0 && pszHost && nPort > 0 && nPort < 65536) {
        struct in_addr hostAddress {};
        bool bTake = false;
        if (IsIpv4Literal(pszHost, hostAddress)) {
            bTake = hostAddress.s_addr == senderAddress.s_addr;
        } else if (IsHostName(pszHost)) {
            bTake = true;
            strHostHeader = pszHost;
            if (g_uri_get_port(pUri) >= 0) strHostHeader += ":" + std::to_string(nPort);
        }
        if (bTake) {
            char* pszJoined =
                g_uri_join(G_URI_FLAGS_ENCODED, "http", nullptr, strSender.c_str(), nPort,
                           (pszPath && *pszPath) ? pszPath : "/", g_uri_get_query(pUri), nullptr);
            if (pszJoined) strResult = pszJoined;
            g_free(pszJoined);
        }
    }
    g_uri_unref(pUri);
    if (strResult.empty()) strHostHeader.clear();
    return strResult;
}

uint32_t CUPnPDeviceFinder::CheckAvailable() {
    std::vector<HostInterface> aInterfaces;
    const uint32_t nCode = ListInterfaces(aInterfaces);
    if (nCode != 0) return nCode;
    const int nSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0) return UPNP_E_ERRNO_BASE | static_cast<uint32_t>(errno & 0xFFFF);
    close(nSocket);
    return 0;
}

CUPnPDeviceFinder::CUPnPDeviceFinder(const UPnPFinderLimits& limits) : m_limits(limits) {}
CUPnPDeviceFinder::~CUPnPDeviceFinder() = default;

void CUPnPDeviceFinder::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    if (m_pContext) g_main_context_wakeup(static_cast<GMainContext*>(m_pContext));
}

// One FindByType run: every GLib object it creates, and the bookkeeping of
// the fetches in flight.
struct CUPnPDeviceFinder::CSearch {
    struct Client {
        CSearch* pSearch = nullptr;
        size_t nIndex = 0;
        GSSDPClient* pClient = nullptr;
        GSSDPResourceBrowser* pBrowser = nullptr;
    };
    struct Fetch {
        CSearch* pSearch = nullptr;
        std::string strLocation;
        std::string strSender;
        unsigned nMaxAge = 0;
        CBoundedFetch fetch;
        bool bEnded = false;  // counted out of nPending
    };

    const UPnPFinderLimits& limits;
    std::vector<UPnPDevice>& aDevices;
    const std::function<void(const UPnPDevice&)>& fnFound;
    GMainContext* pContext = nullptr;
    SoupSession* pSession = nullptr;
    std::vector<std::unique_ptr<Client>> aClients;
    std::list<std::unique_ptr<Fetch>> aFetches;
    std::set<std::pair<size_t, std::string>> requested;  // (interface, sender and LOCATION)
    std::map<std::string, unsigned> fetchesBySender;
    std::unordered_set<std::string> keys;  // UPnPDeviceKey of each device taken
    unsigned nPending = 0;                 // fetches not yet ended
    unsigned nLive = 0;                    // fetches whose GLib objects are not yet released
    bool bClosing = false;

    CSearch(const UPnPFinderLimits& l, std::vector<UPnPDevice>& a,
            const std::function<void(const UPnPDevice&)>& f)
        : limits(l), aDevices(a), fnFound(f) {}

    static void OnMessage(GSSDPClient*, const char* pszFrom, guint, gint, SoupMessageHeaders* pHeaders,
                          gpointer pData) {
        auto* pClient = static_cast<Client*>(pData);
        CSearch* pSearch = pClient->pSearch;
        if (pSearch->bClosing || !pszFrom || !pHeaders) return;
        const char* pszLocation = soup_message_headers_get_one(pHeaders, "Location");
        const char* pszNts = soup_message_headers_get_one(pHeaders, "NTS");
        if (!pszLocation || (pszNts && g_ascii_strcasecmp(pszNts, "ssdp:byebye") == 0)) return;
        if (std::strlen(pszLocation) > UPNP_MAX_URL_BYTES) return;
        const std::string strLocation(pszLocation);
        std::string strHost;
        const std::string strUrl = UPnPFetchUrl(strLocation, pszFrom, strHost);
        if (strUrl.empty()) return;
        // Keyed by sender as well, so no peer can claim another's URL first;
        // a sender's own share is capped before the search's, so a flood from
        // one address cannot use up what the others are owed.
        std::pair<size_t, std::string> key(pClient->nIndex, std::string(pszFrom) + " " + strLocation);
        if (pSearch->requested.count(key) != 0) return;
        unsigned& nFromSender = pSearch->fetchesBySender[pszFrom];
        if (nFromSender >= pSearch->limits.nMaxFetchesPerSender ||
            pSearch->requested.size() >= pSearch->limits.nMaxFetches) {
            return;
        }
        ++nFromSender;
        pSearch->requested.insert(std::move(key));
        pSearch->StartFetch(strLocation, pszFrom, strUrl, strHost,
                            SsdpMaxAge(soup_message_headers_get_one(pHeaders, "Cache-Control")));
    }

    void StartFetch(const std::string& strLocation, const char* pszSender, const std::string& strUrl,
                    const std::string& strHost, unsigned nMaxAge) {
        SoupMessage* pMessage = soup_message_new("GET", strUrl.c_str());
        if (!pMessage) return;
        if (!strHost.empty())
            soup_message_headers_replace(soup_message_get_request_headers(pMessage), "Host", strHost.c_str());

        auto pFetch = std::make_unique<Fetch>();
        Fetch* p = pFetch.get();
        p->pSearch = this;
        p->strLocation = strLocation;
        p->strSender = pszSender;
        p->nMaxAge = nMaxAge;
        aFetches.push_back(std::move(pFetch));
        ++nPending;
        ++nLive;
        p->fetch.Start(pSession, pMessage, limits.fetchDeadline, limits.nMaxDocumentBytes, OnBody, p);
    }

    static void OnBody(void* pData, bool bWhole) {
        auto* p = static_cast<Fetch*>(pData);
        p->pSearch->End(p, bWhole && !p->pSearch->bClosing);
    }

    // The fetch is over: read what came when it came whole, then let go of
    // the connection. A cut-off body is never drained: the cancellable ends
    // the message (and drops its connection) before the stream is released.
    void End(Fetch* p, bool bWhole) {
        if (bWhole && !bClosing) ReadDevicesOfBody(p);
        p->fetch.strBody.clear();
        p->fetch.strBody.shrink_to_fit();
        if (!p->bEnded) {
            p->bEnded = true;
            --nPending;
        }
        p->fetch.Close(bWhole, OnClosed);
    }

    static void OnClosed(void* pData) {
        auto* p = static_cast<Fetch*>(pData);
        p->pSearch->DropFetch(p);
    }

    void DropFetch(Fetch* p) {
        --nLive;
        aFetches.remove_if([p](const std::unique_ptr<Fetch>& f) { return f.get() == p; });
    }

    void ReadDevicesOfBody(Fetch* p) {
        std::vector<UPnPDevice> aFound;
        if (!ParseUPnPDescription(p->fetch.strBody, p->strLocation, aFound, limits)) return;
        for (size_t i = 0; i < aFound.size(); ++i) {
            if (aDevices.size() >= limits.nMaxDevices) break;
            if (!keys.insert(UPnPDeviceKey(aFound[i], i)).second) continue;
            aFound[i].strSender = p->strSender;
            aFound[i].nMaxAge = p->nMaxAge;
            aDevices.push_back(std::move(aFound[i]));
            if (fnFound) fnFound(aDevices.back());
        }
    }

    static gboolean OnTick(gpointer) { return G_SOURCE_REMOVE; }

    void AddWakeUp(std::chrono::milliseconds after) {
        GSource* pSource = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(after.count(), 0)));
        g_source_set_callback(pSource, OnTick, nullptr, nullptr);
        g_source_attach(pSource, pContext);
        g_source_unref(pSource);
    }

    // A session of its own: no proxy (the devices are on the LAN), no
    // content decoding (the size cap counts what arrives), enough
    // connections that a few hanging hosts cannot starve the others.
    void CreateSession() {
        pSession = soup_session_new_with_options(
            "proxy-resolver", nullptr, "max-conns", static_cast<int>(limits.nMaxConnections),
            "max-conns-per-host", static_cast<int>(limits.nMaxConnectionsPerHost), nullptr);
        soup_session_set_proxy_resolver(pSession, nullptr);
        soup_session_remove_feature_by_type(pSession, SOUP_TYPE_CONTENT_DECODER);
    }

    // One SSDP client and browser per interface; those that cannot start are
    // passed over.
    void AddClients(const std::vector<HostInterface>& aInterfaces, const std::string& strTarget) {
        for (const HostInterface& iface : aInterfaces) {
            GInetAddress* pAddress =
                g_inet_address_new_from_string(Ipv4Text(iface.aIpv4.front().nAddress).c_str());
            GSSDPClient* pClient =
                gssdp_client_new_full(iface.strName.c_str(), pAddress, 0, GSSDP_UDA_VERSION_1_0, nullptr);
            g_clear_object(&pAddress);
            if (!pClient) continue;
            auto pEntry = std::make_unique<Client>();
            pEntry->pSearch = this;
            pEntry->nIndex = aClients.size();
            pEntry->pClient = pClient;
            g_signal_connect(pClient, "message-received", G_CALLBACK(OnMessage), pEntry.get());
            pEntry->pBrowser = gssdp_resource_browser_new(pClient, strTarget.c_str());
            gssdp_resource_browser_set_mx(pEntry->pBrowser, static_cast<gushort>(limits.nMx));
            aClients.push_back(std::move(pEntry));
        }
    }

    // On this thread: no new fetches, every fetch cancelled and its
    // callbacks run out, then the clients, then the session. False when a
    // fetch is still live (not expected): nothing is then reported.
    bool TearDown() {
        bClosing = true;
        for (auto& pEntry : aClients) {
            g_signal_handlers_disconnect_by_data(pEntry->pClient, pEntry.get());
            gssdp_resource_browser_set_active(pEntry->pBrowser, FALSE);
            g_clear_object(&pEntry->pBrowser);
            g_clear_object(&pEntry->pClient);
        }
        for (auto& pFetch : aFetches) pFetch->fetch.Cancel();
        const Clock::time_point drainEnd = Clock::now() + std::chrono::seconds(1);
        while (nLive > 0 && Clock::now() < drainEnd) {
            AddWakeUp(std::chrono::milliseconds(50));
            g_main_context_iteration(pContext, TRUE);
        }
        soup_session_abort(pSession);
        g_clear_object(&pSession);
        for (int i = 0; i < 1000 && g_main_context_iteration(pContext, FALSE); ++i) {
        }
        return nLive == 0;
    }
};

bool CUPnPDeviceFinder::StopAsked() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStop;
}

// Browses until the window closes, the search is quiet or Stop() is called
// (true then).
bool CUPnPDeviceFinder::RunSearch(CSearch& search) {
    const Clock::time_point start = Clock::now();
    for (auto& pEntry : search.aClients) gssdp_resource_browser_set_active(pEntry->pBrowser, TRUE);
    search.AddWakeUp(m_limits.quietAfter);
    search.AddWakeUp(m_limits.hardEnd);
    while (!StopAsked()) {
        const auto elapsed = Clock::now() - start;
        if (elapsed >= m_limits.hardEnd) return false;
        if (elapsed >= m_limits.quietAfter && search.nPending == 0) return false;
        g_main_context_iteration(search.pContext, TRUE);
    }
    return true;
}

uint32_t CUPnPDeviceFinder::FindByType(const std::string& strTarget, std::vector<UPnPDevice>& aDevices) {
    aDevices.clear();
    if (StopAsked()) return UPNP_E_CANCELLED;  // not even one M-SEARCH
    std::vector<HostInterface> aInterfaces;
    uint32_t nCode = ListInterfaces(aInterfaces);
    if (nCode != 0) return nCode;

    GMainContext* pContext = g_main_context_new();
    g_main_context_push_thread_default(pContext);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pContext = pContext;
    }
    CSearch search(m_limits, aDevices, m_fnFound);
    search.pContext = pContext;
    search.CreateSession();
    search.AddClients(aInterfaces, strTarget);
    if (search.aClients.empty()) {
        nCode = UPNP_E_NO_CLIENT;
    } else {
        if (RunSearch(search)) nCode = UPNP_E_CANCELLED;
    }
    if (!search.TearDown()) aDevices.clear();  // never report from a half-torn search
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pContext = nullptr;
    }
    g_main_context_pop_thread_default(pContext);
    g_main_context_unref(pContext);
    return nCode;
}
