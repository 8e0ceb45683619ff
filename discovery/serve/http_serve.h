// A small HTTP server for hvl-scan --serve: libsoup's server on a thread and
// main context of its own, so that a slow or hostile client never delays the
// caller. Each path is a callback that makes the whole reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string strPath;
    std::map<std::string, std::string> params;  // of the query, decoded
    std::string strAccept;                      // the Accept header
};

struct HttpReply {
    int nStatus = 200;
    std::string strContentType;
    std::string strBody;
    std::vector<std::pair<std::string, std::string>> aHeaders{};
};

// Called on the server's thread, one request at a time.
using HttpRoute = std::function<HttpReply(const HttpRequest&)>;

struct HttpServeLimits {
    size_t nMaxConnections = 64;
    // From one peer address: its oldest is ended for the next, so that no
    // one host holds the server, and a scrape gets in beside its own stalls.
    size_t nMaxPerPeer = 16;
    size_t nMaxHeaderBytes = 8192;  // the request line and headers
    // From the connection's accept to the response's last byte; the
    // connection ends then whatever it is doing.
    std::chrono::milliseconds requestBound{5000};
};

// Who may read what is served (exporter-toolkit's web configuration).
struct HttpServeAccess {
    // TLS when set: the certificate chain and its key, PEM.
    std::string strCertPem, strKeyPem;
    // Client certificates: asked for, required, verified against the CA file.
    bool bAskClientCert = false, bRequireClientCert = false, bVerifyClientCert = false;
    std::string strClientCaFile;
    int nMinTls = 12, nMaxTls = 0;             // 10 to 13: TLS 1.0 to 1.3; 0: no limit
    std::map<std::string, std::string> users;  // basic auth: name, bcrypt hash; none: no auth
    std::vector<std::pair<std::string, std::string>> aHeaders;  // added to every response
    // Host header values answered besides this machine's own names and addresses.
    std::vector<std::string> aHosts;
};

// Whether the Accept header takes strType (its q not 0).
bool AcceptsType(const std::string& strAccept, const std::string& strType);

class CHttpServe {
public:
    CHttpServe();
    ~CHttpServe();
    CHttpServe(const CHttpServe&) = delete;
    CHttpServe& operator=(const CHttpServe&) = delete;

    // Listens on "ADDRESS:PORT" ("127.0.0.1:9464", "[::1]:9464"; an address,
    // never a name; port 0: one the system picks). False, with why, when it
    // cannot. Only GET and HEAD of the routes' paths are answered.
    // Requests whose Host is none of the machine's are refused (421): a page
    // of another site never reads what is served through DNS rebinding.
    bool Start(const std::string& strListen, std::map<std::string, HttpRoute> routes, std::string& strWhy,
               const HttpServeLimits& limits = {}, const HttpServeAccess& access = {});
    // Closes every connection and the listening socket; waits for the thread.
    void Stop();
    uint16_t GetPort() const { return m_nPort; }

    struct Loop;  // the server thread's state

private:
    std::unique_ptr<Loop> m_pLoop;
    std::thread m_thread;
    uint16_t m_nPort = 0;
};

// The address and port of "ADDRESS:PORT" (an IPv6 address in brackets);
// false when it is not that, or the port is missing.
bool ParseListenAddress(const std::string& strListen, std::string& strAddress, uint16_t& nPort);
