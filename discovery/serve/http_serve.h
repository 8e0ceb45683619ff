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
    size_t nMaxHeaderBytes = 8192;  // the request line and headers
    // From the connection's accept to the response's last byte; the
    // connection ends then whatever it is doing.
    std::chrono::milliseconds requestBound{5000};
};

class CHttpServe {
public:
    CHttpServe();
    ~CHttpServe();
    CHttpServe(const CHttpServe&) = delete;
    CHttpServe& operator=(const CHttpServe&) = delete;

    // Listens on "ADDRESS:PORT" ("127.0.0.1:9464", "[::1]:9464"; an address,
    // never a name; port 0: one the system picks). False, with why, when it
    // cannot. Only GET and HEAD of the routes' paths are answered.
    bool Start(const std::string& strListen, std::map<std::string, HttpRoute> routes, std::string& strWhy,
               const HttpServeLimits& limits = {});
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
