#include "http_serve.h"

#include <crypt.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <set>

#include <gio/gio.h>
#include <libsoup/soup.h>

namespace {

using Clock = std::chrono::steady_clock;

// One accepted connection, held until libsoup has closed it.
struct Client {
    GSocketConnection* pConnection = nullptr;  // a reference of ours
    std::string strPeer;                       // "ADDRESS:PORT": which requests are its
    std::string strAddress;                    // the peer's address alone
    Clock::time_point tEnd;
    bool bRequestRead = false;  // its headers are in: no longer a stalled client
    bool bEnding = false;       // shut down, libsoup not done with it yet
};

void SetTextReply(SoupServerMessage* pMessage, guint nStatus, const char* pszText) {
    soup_server_message_set_status(pMessage, nStatus, nullptr);
    soup_server_message_set_response(pMessage, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, pszText,
                                     strlen(pszText));
}

std::string PeerText(GSocketAddress* pAddress) {
    if (!pAddress) return {};
    gchar* psz = g_socket_connectable_to_string(G_SOCKET_CONNECTABLE(pAddress));
    std::string str = psz;
    g_free(psz);
    return str;
}

std::string AddressText(GSocketAddress* pAddress) {
    if (!G_IS_INET_SOCKET_ADDRESS(pAddress)) return {};
    gchar* psz = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(pAddress)));
    std::string str = psz;
    g_free(psz);
    return str;
}

std::string Lower(std::string str) {
    std::transform(str.begin(), str.end(), str.begin(), [](unsigned char c) { return g_ascii_tolower(c); });
    return str;
}

// The name or address of a Host header, without its port, brackets and final dot.
std::string HostName(std::string str) {
    if (str.starts_with('[')) {
        str = str.substr(1, str.find(']') - 1);
    } else if (std::count(str.begin(), str.end(), ':') == 1) {
        str.resize(str.find(':'));
    }
    if (str.ends_with('.')) str.pop_back();
    return Lower(str);
}

// One of this machine's addresses now (they change with DHCP and links).
bool IsOwnAddress(const std::string& strAddress) {
    GInetAddress* pWanted = g_inet_address_new_from_string(strAddress.c_str());
    if (!pWanted) return false;
    bool bOwn = false;
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) == 0) {
        for (ifaddrs* p = pList; p && !bOwn; p = p->ifa_next) {
            if (!p->ifa_addr || (p->ifa_addr->sa_family != AF_INET && p->ifa_addr->sa_family != AF_INET6))
                continue;
            const gsize nSize =
                p->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            GSocketAddress* pAddress = g_socket_address_new_from_native(p->ifa_addr, nSize);
            bOwn =
                pAddress && g_inet_address_equal(
                                pWanted, g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(pAddress)));
            g_clear_object(&pAddress);
        }
        freeifaddrs(pList);
    }
    g_object_unref(pWanted);
    return bOwn;
}

// "Basic BASE64(user:password)".
bool ParseBasic(const char* pszHeader, std::string& strUser, std::string& strPassword) {
    if (!pszHeader || g_ascii_strncasecmp(pszHeader, "Basic ", 6) != 0) return false;
    gsize nSize = 0;
    guchar* pDecoded = g_base64_decode(pszHeader + 6, &nSize);
    const std::string str(reinterpret_cast<const char*>(pDecoded), nSize);
    g_free(pDecoded);
    const size_t nColon = str.find(':');
    if (nColon == std::string::npos) return false;
    strUser = str.substr(0, nColon);
    strPassword = str.substr(nColon + 1);
    return true;
}

bool SameText(const std::string& a, const std::string& b) {
    unsigned char nDiffer = a.size() != b.size();
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) nDiffer |= a[i] ^ b[i];
    return nDiffer == 0;
}

}  // namespace

bool AcceptsType(const std::string& strAccept, const std::string& strType) {
    gchar** ppRanges = g_strsplit(strAccept.c_str(), ",", -1);
    bool bAccepts = false;
    for (gchar** pp = ppRanges; *pp && !bAccepts; ++pp) {
        gchar** ppParts = g_strsplit(*pp, ";", -1);
        bAccepts = Lower(g_strstrip(ppParts[0])) == strType;
        for (gchar** ppParam = ppParts + 1; bAccepts && *ppParam; ++ppParam) {
            const char* psz = g_strstrip(*ppParam);
            if (g_ascii_strncasecmp(psz, "q=", 2) == 0) bAccepts = g_ascii_strtod(psz + 2, nullptr) > 0;
        }
        g_strfreev(ppParts);
    }
    g_strfreev(ppRanges);
    return bAccepts;
}

namespace {

// What Start checked once: TLS's certificate and client CA, the Host names.
struct Prepared {
    GTlsCertificate* pCertificate = nullptr;
    GTlsDatabase* pClientCa = nullptr;
    std::set<std::string> hosts;
    ~Prepared() {
        g_clear_object(&pCertificate);
        g_clear_object(&pClientCa);
    }
};

bool Prepare(const HttpServeAccess& access, const std::string& strListenAddress, Prepared& prepared,
             std::string& strWhy) {
    prepared.hosts = {"localhost", Lower(g_get_host_name()), Lower(g_get_host_name()) + ".local",
                      Lower(strListenAddress)};
    for (const std::string& strHost : access.aHosts) prepared.hosts.insert(HostName(strHost));
    if (access.strCertPem.empty()) return true;
    if (!g_tls_backend_supports_tls(g_tls_backend_get_default())) {
        strWhy = "TLS needs GLib's TLS backend (glib-networking)";
        return false;
    }
    GError* pError = nullptr;
    const std::string strPem = access.strCertPem + "\n" + access.strKeyPem;
    prepared.pCertificate = g_tls_certificate_new_from_pem(strPem.c_str(), -1, &pError);
    if (prepared.pCertificate && !access.strClientCaFile.empty())
        prepared.pClientCa = g_tls_file_database_new(access.strClientCaFile.c_str(), &pError);
    if (pError) {
        strWhy = std::string("TLS: ") + pError->message;
        g_error_free(pError);
        return false;
    }
    return true;
}

// A TLS connection while its handshake runs.
struct Handshake {
    CHttpServe::Loop* pLoop;
    GSocketAddress* pLocal;
    GSocketAddress* pRemote;
};

}  // namespace

struct CHttpServe::Loop {
    std::map<std::string, HttpRoute> routes;
    HttpServeLimits limits;
    HttpServeAccess access;
    Prepared prepared;
    std::unique_ptr<crypt_data> pCrypt = std::make_unique<crypt_data>();
    std::set<std::string> granted;  // digests of the name, password and hash that were right
    GMainContext* pContext = g_main_context_new();
    GMainLoop* pMainLoop = g_main_loop_new(pContext, FALSE);
    GSocketService* pService = nullptr;
    SoupServer* pServer = nullptr;
    std::vector<Client> aClients;  // the server thread's only

    ~Loop() {
        g_main_loop_unref(pMainLoop);
        g_main_context_unref(pContext);
    }

    // Ends the client's connection: libsoup reads the end and lets it go.
    static void End(Client& client) {
        client.bEnding = true;
        g_socket_shutdown(g_socket_connection_get_socket(client.pConnection), TRUE, TRUE, nullptr);
    }

    // Those libsoup closed are let go; those past their bound ended.
    void Sweep() {
        const Clock::time_point tNow = Clock::now();
        std::erase_if(aClients, [](const Client& client) {
            if (!g_io_stream_is_closed(G_IO_STREAM(client.pConnection))) return false;
            g_object_unref(client.pConnection);
            return true;
        });
        for (Client& client : aClients) {
            if (!client.bEnding && tNow >= client.tEnd) End(client);
        }
    }

    // A full server makes room by ending the client that has waited longest
    // without sending its request: a stalled client never keeps a scrape out.
    bool MakeRoom() {
        Sweep();
        const size_t nActive =
            std::count_if(aClients.begin(), aClients.end(), [](const Client& c) { return !c.bEnding; });
        if (nActive < limits.nMaxConnections) return true;
        for (Client& client : aClients) {  // oldest first
            if (!client.bEnding && !client.bRequestRead) {
                End(client);
                return true;
            }
        }
        return false;
    }

    // A peer at its share makes room by ending its own oldest connection.
    void LimitPeer(const std::string& strAddress) {
        size_t nCount = 0;
        Client* pOldest = nullptr;
        for (Client& client : aClients) {
            if (client.bEnding || client.strAddress != strAddress) continue;
            if (!pOldest) pOldest = &client;
            ++nCount;
        }
        if (pOldest && nCount >= limits.nMaxPerPeer) End(*pOldest);
    }

    static gboolean OnIncoming(GSocketService*, GSocketConnection* pConnection, GObject*, gpointer pData) {
        Loop& loop = *static_cast<Loop*>(pData);
        GSocketAddress* pLocal = g_socket_connection_get_local_address(pConnection, nullptr);
        GSocketAddress* pRemote = g_socket_connection_get_remote_address(pConnection, nullptr);
        if (pRemote) loop.LimitPeer(AddressText(pRemote));
        if (pLocal && pRemote && loop.MakeRoom()) {
            loop.aClients.push_back({G_SOCKET_CONNECTION(g_object_ref(pConnection)), PeerText(pRemote),
                                     AddressText(pRemote), Clock::now() + loop.limits.requestBound});
            if (loop.prepared.pCertificate)
                loop.StartTls(pConnection, pLocal, pRemote);
            else
                soup_server_accept_iostream(loop.pServer, G_IO_STREAM(pConnection), pLocal, pRemote, nullptr);
        } else {
            g_io_stream_close(G_IO_STREAM(pConnection), nullptr, nullptr);
        }
        g_clear_object(&pLocal);
        g_clear_object(&pRemote);
        return TRUE;
    }

    // The handshake is bounded by the client's bound like a request: its end
    // shuts the socket down under it.
    void StartTls(GSocketConnection* pConnection, GSocketAddress* pLocal, GSocketAddress* pRemote) {
        GIOStream* pTls =
            g_tls_server_connection_new(G_IO_STREAM(pConnection), prepared.pCertificate, nullptr);
        if (!pTls) {
            g_io_stream_close(G_IO_STREAM(pConnection), nullptr, nullptr);
            return;
        }
        g_object_set(pTls, "authentication-mode",
                     access.bRequireClientCert ? G_TLS_AUTHENTICATION_REQUIRED
                     : access.bAskClientCert   ? G_TLS_AUTHENTICATION_REQUESTED
                                               : G_TLS_AUTHENTICATION_NONE,
                     nullptr);
        if (prepared.pClientCa) g_tls_connection_set_database(G_TLS_CONNECTION(pTls), prepared.pClientCa);
        if (!access.bVerifyClientCert) {
            g_signal_connect(pTls, "accept-certificate",
                             G_CALLBACK(+[](GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags,
                                            gpointer) -> gboolean { return TRUE; }),
                             nullptr);
        }
        g_tls_connection_handshake_async(G_TLS_CONNECTION(pTls), G_PRIORITY_DEFAULT, nullptr, OnHandshake,
                                         new Handshake{this, G_SOCKET_ADDRESS(g_object_ref(pLocal)),
                                                       G_SOCKET_ADDRESS(g_object_ref(pRemote))});
    }

    static void OnHandshake(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
        std::unique_ptr<Handshake> pHandshake(static_cast<Handshake*>(pData));
        Loop& loop = *pHandshake->pLoop;
        GTlsConnection* pTls = G_TLS_CONNECTION(pSource);
        bool bDone = g_tls_connection_handshake_finish(pTls, pResult, nullptr);
        // GTlsProtocolVersion counts TLS 1.0 as 2.
        const int nVersion = int(g_tls_connection_get_protocol_version(pTls)) + 8;
        bDone = bDone && nVersion >= loop.access.nMinTls &&
                (!loop.access.nMaxTls || nVersion <= loop.access.nMaxTls);
        if (bDone && loop.pServer)
            soup_server_accept_iostream(loop.pServer, G_IO_STREAM(pTls), pHandshake->pLocal,
                                        pHandshake->pRemote, nullptr);
        else
            g_io_stream_close(G_IO_STREAM(pTls), nullptr, nullptr);
        g_object_unref(pTls);
        g_object_unref(pHandshake->pLocal);
        g_object_unref(pHandshake->pRemote);
    }

    bool HostAllowed(SoupServerMessage* pMessage) const {
        const char* pszHost =
            soup_message_headers_get_one(soup_server_message_get_request_headers(pMessage), "Host");
        if (!pszHost) return true;  // HTTP/1.0; a browser always sends one
        const std::string strName = HostName(pszHost);
        return prepared.hosts.contains(strName) || IsOwnAddress(strName);
    }

    // Basic auth against bcrypt: a wrong name or password costs one bcrypt
    // like a right one; a pair once right is remembered (Prometheus asks
    // every few seconds).
    bool Authorized(SoupServerMessage* pMessage) {
        if (access.users.empty()) return true;
        std::string strUser, strPassword;
        const bool bParsed = ParseBasic(
            soup_message_headers_get_one(soup_server_message_get_request_headers(pMessage), "Authorization"),
            strUser, strPassword);
        const auto it = access.users.find(strUser);
        const std::string& strHash = it != access.users.end() ? it->second : access.users.begin()->second;
        const std::string strPair = strUser + '\0' + strPassword + '\0' + strHash;
        gchar* pszDigest = g_compute_checksum_for_data(
            G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(strPair.data()), strPair.size());
        const std::string strDigest = pszDigest;
        g_free(pszDigest);
        if (bParsed && it != access.users.end() && granted.contains(strDigest)) return true;
        const char* pszHashed =
            crypt_rn(strPassword.c_str(), strHash.c_str(), pCrypt.get(), sizeof(crypt_data));
        const bool bRight =
            SameText(pszHashed ? pszHashed : "", strHash) && bParsed && it != access.users.end();
        if (bRight && granted.size() < 1024) granted.insert(strDigest);
        return bRight;
    }

    // A stream handed to libsoup has no socket it tells of: the peer's address says.
    Client* FindClient(SoupServerMessage* pMessage) {
        const std::string strPeer = PeerText(soup_server_message_get_remote_address(pMessage));
        for (Client& client : aClients) {
            if (client.strPeer == strPeer && !client.bEnding) return &client;
        }
        return nullptr;
    }

    // Headers in: a request with a body is never read; one with too many
    // headers or another method is refused.
    static void OnGotHeaders(SoupServerMessage* pMessage, gpointer pData) {
        Loop& loop = *static_cast<Loop*>(pData);
        Client* pClient = loop.FindClient(pMessage);
        if (pClient) pClient->bRequestRead = true;
        SoupMessageHeaders* pResponseHeaders = soup_server_message_get_response_headers(pMessage);
        soup_message_headers_replace(pResponseHeaders, "X-Content-Type-Options", "nosniff");
        soup_message_headers_replace(pResponseHeaders, "Cache-Control", "no-store");
        for (const auto& [strName, strValue] : loop.access.aHeaders)
            soup_message_headers_replace(pResponseHeaders, strName.c_str(), strValue.c_str());
        SoupMessageHeaders* pHeaders = soup_server_message_get_request_headers(pMessage);
        const SoupEncoding nEncoding = soup_message_headers_get_encoding(pHeaders);
        if (nEncoding == SOUP_ENCODING_CHUNKED || nEncoding == SOUP_ENCODING_EOF ||
            (nEncoding == SOUP_ENCODING_CONTENT_LENGTH &&
             soup_message_headers_get_content_length(pHeaders) > 0)) {
            if (pClient) End(*pClient);
            return;
        }
        size_t nBytes = strlen(soup_server_message_get_method(pMessage)) + 1;
        GUri* pUri = soup_server_message_get_uri(pMessage);
        nBytes +=
            strlen(g_uri_get_path(pUri)) + (g_uri_get_query(pUri) ? strlen(g_uri_get_query(pUri)) + 1 : 0);
        soup_message_headers_foreach(
            pHeaders,
            [](const char* pszName, const char* pszValue, gpointer pCount) {
                *static_cast<size_t*>(pCount) += strlen(pszName) + strlen(pszValue) + 4;
            },
            &nBytes);
        const char* pszMethod = soup_server_message_get_method(pMessage);
        if (nBytes > loop.limits.nMaxHeaderBytes) {
            SetTextReply(pMessage, 431, "Request headers too large\n");
        } else if (pszMethod != SOUP_METHOD_GET && pszMethod != SOUP_METHOD_HEAD) {
            soup_message_headers_replace(soup_server_message_get_response_headers(pMessage), "Allow",
                                         "GET, HEAD");
            SetTextReply(pMessage, SOUP_STATUS_METHOD_NOT_ALLOWED, "Only GET and HEAD\n");
        }
    }

    static void OnRequestStarted(SoupServer*, SoupServerMessage* pMessage, gpointer pData) {
        g_signal_connect(pMessage, "got-headers", G_CALLBACK(OnGotHeaders), pData);
    }

    static void OnRequest(SoupServer*, SoupServerMessage* pMessage, const char* pszPath, GHashTable*,
                          gpointer pData) {
        Loop& loop = *static_cast<Loop*>(pData);
        SoupMessageHeaders* pResponseHeaders = soup_server_message_get_response_headers(pMessage);
        soup_message_headers_replace(pResponseHeaders, "Connection", "close");
        if (!loop.HostAllowed(pMessage)) {
            SetTextReply(pMessage, SOUP_STATUS_MISDIRECTED_REQUEST, "Not a name of this server\n");
            return;
        }
        if (!loop.Authorized(pMessage)) {
            soup_message_headers_replace(pResponseHeaders, "WWW-Authenticate", "Basic realm=\"hvl-scan\"");
            SetTextReply(pMessage, SOUP_STATUS_UNAUTHORIZED, "Unauthorized\n");
            return;
        }
        const auto it = loop.routes.find(pszPath);
        if (it == loop.routes.end()) {
            SetTextReply(pMessage, SOUP_STATUS_NOT_FOUND, "Not found\n");
            return;
        }
        HttpRequest request;
        request.strPath = pszPath;
        const char* pszQuery = g_uri_get_query(soup_server_message_get_uri(pMessage));
        GHashTable* pParams =
            pszQuery ? g_uri_parse_params(pszQuery, -1, "&", G_URI_PARAMS_NONE, nullptr) : nullptr;
        if (pszQuery && !pParams) {  // a bad %-escape: never a question without its target
            SetTextReply(pMessage, SOUP_STATUS_BAD_REQUEST, "Bad query\n");
            return;
        }
        if (pParams) {
            g_hash_table_foreach(
                pParams,
                [](gpointer pKey, gpointer pValue, gpointer pMap) {
                    (*static_cast<std::map<std::string, std::string>*>(
                        pMap))[static_cast<const char*>(pKey)] = static_cast<const char*>(pValue);
                },
                &request.params);
            g_hash_table_unref(pParams);
        }
        const char* pszAccept =
            soup_message_headers_get_list(soup_server_message_get_request_headers(pMessage), "Accept");
        request.strAccept = pszAccept ? pszAccept : "";
        const HttpReply reply = it->second(request);
        for (const auto& [strName, strValue] : reply.aHeaders)
            soup_message_headers_replace(pResponseHeaders, strName.c_str(), strValue.c_str());
        soup_server_message_set_status(pMessage, reply.nStatus, nullptr);
        soup_server_message_set_response(pMessage, reply.strContentType.c_str(), SOUP_MEMORY_COPY,
                                         reply.strBody.data(), reply.strBody.size());
    }

    // On the server thread: listens, or says why not.
    bool Listen(const std::string& strAddress, uint16_t nPort, uint16_t& nBoundPort, std::string& strWhy) {
        GInetAddress* pInet = g_inet_address_new_from_string(strAddress.c_str());
        GSocketAddress* pAddress = g_inet_socket_address_new(pInet, nPort);
        g_object_unref(pInet);
        pService = g_socket_service_new();
        // A burst of connections waits in the kernel while the thread makes room.
        g_socket_listener_set_backlog(G_SOCKET_LISTENER(pService), 256);
        GSocketAddress* pEffective = nullptr;
        GError* pError = nullptr;
        const bool bListening =
            g_socket_listener_add_address(G_SOCKET_LISTENER(pService), pAddress, G_SOCKET_TYPE_STREAM,
                                          G_SOCKET_PROTOCOL_TCP, nullptr, &pEffective, &pError);
        g_object_unref(pAddress);
        if (!bListening) {
            strWhy = pError->message;
            g_error_free(pError);
            return false;
        }
        nBoundPort = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(pEffective));
        g_object_unref(pEffective);
        pServer = soup_server_new("server-header", "hvl-scan", nullptr);
        soup_server_add_handler(pServer, nullptr, OnRequest, this, nullptr);
        g_signal_connect(pServer, "request-started", G_CALLBACK(OnRequestStarted), this);
        g_signal_connect(pService, "incoming", G_CALLBACK(OnIncoming), this);
        g_socket_service_start(pService);
        return true;
    }

    void CloseAll() {
        if (pService) {
            g_socket_service_stop(pService);
            g_socket_listener_close(G_SOCKET_LISTENER(pService));
            g_clear_object(&pService);
        }
        for (Client& client : aClients) {
            g_io_stream_close(G_IO_STREAM(client.pConnection), nullptr, nullptr);
            g_object_unref(client.pConnection);
        }
        aClients.clear();
        if (pServer) soup_server_disconnect(pServer);
        g_clear_object(&pServer);
        while (g_main_context_iteration(pContext, FALSE)) {
        }
    }
};

bool ParseListenAddress(const std::string& strListen, std::string& strAddress, uint16_t& nPort) {
    const size_t nColon = strListen.rfind(':');
    if (nColon == std::string::npos || nColon + 1 == strListen.size()) return false;
    strAddress = strListen.substr(0, nColon);
    if (strAddress.size() > 2 && strAddress.front() == '[' && strAddress.back() == ']')
        strAddress = strAddress.substr(1, strAddress.size() - 2);
    else if (strAddress.find(':') != std::string::npos)
        return false;  // IPv6 needs its brackets
    const std::string strPort = strListen.substr(nColon + 1);
    if (strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long nValue = std::stoul(strPort);
    nPort = static_cast<uint16_t>(nValue);
    return nValue <= 65535 && g_hostname_is_ip_address(strAddress.c_str());
}

CHttpServe::CHttpServe() = default;

CHttpServe::~CHttpServe() {
    Stop();
}

bool CHttpServe::Start(const std::string& strListen, std::map<std::string, HttpRoute> routes,
                       std::string& strWhy, const HttpServeLimits& limits, const HttpServeAccess& access) {
    std::string strAddress;
    uint16_t nPort = 0;
    if (!ParseListenAddress(strListen, strAddress, nPort)) {
        strWhy = "'" + strListen + "' is not ADDRESS:PORT";
        return false;
    }
    m_pLoop = std::make_unique<Loop>();
    if (!Prepare(access, strAddress, m_pLoop->prepared, strWhy)) {
        m_pLoop.reset();
        return false;
    }
    m_pLoop->routes = std::move(routes);
    m_pLoop->limits = limits;
    m_pLoop->access = access;
    std::promise<std::string> listening;
    std::future<std::string> result = listening.get_future();
    m_thread = std::thread([this, listening = std::move(listening), strAddress, nPort]() mutable {
        Loop& loop = *m_pLoop;
        g_main_context_push_thread_default(loop.pContext);
        std::string strError;
        const bool bListening = loop.Listen(strAddress, nPort, m_nPort, strError);
        listening.set_value(bListening ? std::string() : strError.empty() ? "cannot listen" : strError);
        if (bListening) {
            GSource* pSweep = g_timeout_source_new(100);
            g_source_set_callback(
                pSweep,
                [](gpointer pData) -> gboolean {
                    static_cast<Loop*>(pData)->Sweep();
                    return G_SOURCE_CONTINUE;
                },
                &loop, nullptr);
            g_source_attach(pSweep, loop.pContext);
            g_main_loop_run(loop.pMainLoop);
            g_source_destroy(pSweep);
            g_source_unref(pSweep);
        }
        loop.CloseAll();
        g_main_context_pop_thread_default(loop.pContext);
    });
    strWhy = result.get();
    if (strWhy.empty()) return true;
    m_thread.join();
    m_pLoop.reset();
    return false;
}

void CHttpServe::Stop() {
    if (!m_thread.joinable()) return;
    g_main_context_invoke(
        m_pLoop->pContext,
        [](gpointer pLoop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(pLoop));
            return G_SOURCE_REMOVE;
        },
        m_pLoop->pMainLoop);
    m_thread.join();
    m_pLoop.reset();
}
