// Get-Printer-Attributes with libcups under one deadline. libcups waits in
// slices: the timeout callback ends the exchange once the deadline passes.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <cups/cups.h>

#include "conv_string.h"
#include "ipp_status_query.h"
#include "ipp_status_reply.h"
#include "trace_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a blocked libcups call looks at the deadline and the cancel flag.
constexpr double WAIT_SLICE_SECONDS = 0.2;

struct QueryContext {
    Clock::time_point deadline;
    const std::atomic<bool>* pCancel;

    bool Expired() const { return Clock::now() >= deadline || pCancel->load(); }
    int RemainingMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
};

// libcups does not bound every wait by its timeout (a TLS handshake with a
// silent peer waits 10 s): at the deadline, or on cancel, the watchdog shuts
// the socket down, which ends any wait on it at once.
class CSocketWatchdog {
public:
    explicit CSocketWatchdog(const QueryContext& context)
        : m_context(context), m_thread([this] { Watch(); }) {}
    ~CSocketWatchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_bDone = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    // The connection's socket, or -1 before it is closed.
    void SetSocket(int fd) {
        std::lock_guard lock(m_mutex);
        m_fd = fd;
        if (m_bFired && fd >= 0) shutdown(fd, SHUT_RDWR);
    }

private:
    void Watch() {
        std::unique_lock lock(m_mutex);
        while (!m_bDone && !m_context.Expired()) m_cv.wait_for(lock, std::chrono::milliseconds(50));
        if (m_bDone) return;
        m_bFired = true;
        if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
    }

    const QueryContext& m_context;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_fd = -1;
    bool m_bDone = false;
    bool m_bFired = false;
    std::thread m_thread;  // last: starts once the rest is set up
};

// libcups reports every failed connect alike (EHOSTDOWN). Asked again
// after an early failure: was the connection refused (a host that runs no
// IPP server) rather than unreachable?
bool IsConnectRefused(const StatusTarget& target, const QueryContext& context) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (getaddrinfo(target.strAddress.c_str(), std::to_string(target.nPort).c_str(), &hints, &pList) != 0)
        return false;
    int nError = 0;
    const int fd = socket(pList->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, pList->ai_addr, pList->ai_addrlen) != 0) {
        nError = errno;
        pollfd pfd{fd, POLLOUT, 0};
        if (nError == EINPROGRESS && poll(&pfd, 1, context.RemainingMs()) == 1) {
            socklen_t nLen = sizeof nError;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLen);
        }
    }
    if (fd >= 0) close(fd);
    freeaddrinfo(pList);
    return nError == ECONNREFUSED;
}

extern "C" int KeepWaiting(http_t*, void* pData) {
    return static_cast<const QueryContext*>(pData)->Expired() ? 0 : 1;
}

// A printer that asks for a password gets none: no prompt on the terminal.
extern "C" const char* NoPassword(const char*, http_t*, const char*, const char*, void*) {
    return nullptr;
}

// Path bytes that could leave the request line (spaces, line breaks) or
// change its meaning are percent-encoded.
std::string EncodeResource(std::string_view strPath) {
    std::string str = "/";
    for (const char ch : strPath.starts_with('/') ? strPath.substr(1) : strPath) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte <= 0x20 || byte >= 0x7F || ch == '%' || ch == '?' || ch == '#') {
            char szHex[4];
            std::snprintf(szHex, sizeof szHex, "%%%02X", byte);
            str += szHex;
        } else {
            str += ch;
        }
    }
    return str;
}

enum class Attempt { Answered, PathMissing, NotIpp, NoAnswer };

Attempt AskOnce(http_t* pHttp, const std::string& strUri, const std::string& strResource,
                const QueryContext& context, PrinterStatus& status) {
    ipp_t* pRequest = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, strUri.c_str());
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  IPP_STATUS_ATTRIBUTE_COUNT, nullptr, IPP_STATUS_ATTRIBUTES);
    ipp_t* pResponse = cupsDoRequest(pHttp, pRequest, strResource.c_str());  // frees the request
    const http_status_t nHttp = httpGetStatus(pHttp);
    const ipp_status_t nIpp = pResponse ? ippGetStatusCode(pResponse) : cupsLastError();
    const bool bRead = pResponse && ReadStatusReply(pResponse, status);
    ippDelete(pResponse);
    if (bRead) return Attempt::Answered;
    if (context.Expired()) return Attempt::NoAnswer;
    if (nHttp == HTTP_STATUS_NOT_FOUND || nIpp == IPP_STATUS_ERROR_NOT_FOUND) return Attempt::PathMissing;
    return Attempt::NotIpp;
}

}  // namespace

StatusTarget StatusTargetFor(std::u16string_view strType, std::u16string_view strAddress, int nPort,
                             const std::u16string* pRp) {
    StatusTarget target;
    target.strAddress = Utf16ToUtf8(strAddress);
    if (strType == u"_ipp._tcp" || strType == u"_ipps._tcp") {
        if (nPort > 0 && nPort <= 65535) target.nPort = nPort;  // else unknown (the window's scan): 631
        target.bTls = strType == u"_ipps._tcp";
        target.aResources.push_back(EncodeResource(pRp ? Utf16ToUtf8(*pRp) : "ipp/print"));
    } else {
        target.aResources = {"/ipp/print", "/"};
    }
    return target;
}

std::string StatusUri(const StatusTarget& target, size_t nResource) {
    const bool bIpv6 = target.strAddress.find(':') != std::string::npos;
    std::string strHost = target.strAddress;
    if (bIpv6) {
        // a link-local address's zone ("%eth0") is written "%25eth0" in a URI
        const size_t nZone = strHost.find('%');
        if (nZone != std::string::npos) strHost.insert(nZone + 1, "25");
        strHost = "[" + strHost + "]";
    }
    const std::string& strResource =
        nResource < target.aResources.size() ? target.aResources[nResource] : "/";
    return (target.bTls ? "ipps://" : "ipp://") + strHost + ":" + std::to_string(target.nPort) + strResource;
}

namespace {

PrinterStatus AskPrinter(const StatusTarget& target, const QueryContext& context) {
    CSocketWatchdog watchdog(context);
    PrinterStatus status;
    status.nState = PrinterState::NoAnswer;
    for (size_t i = 0; i < target.aResources.size() && !context.Expired(); ++i) {
        status.strUri = Utf8ToUtf16(StatusUri(target, i));
        // Connected in the clear first, so that the TLS handshake already
        // runs under the deadline's timeout callback.
        // Created unconnected (msec 0), so that a failed connect leaves its
        // error in the connection.
        http_t* pHttp = httpConnect2(target.strAddress.c_str(), target.nPort, nullptr, AF_UNSPEC,
                                     HTTP_ENCRYPTION_IF_REQUESTED, 1, 0, nullptr);
        if (!pHttp) return status;  // not a usable address
        if (httpReconnect2(pHttp, std::max(1, context.RemainingMs()), nullptr) != 0) {
            httpClose(pHttp);
            const bool bRefused = !context.Expired() && IsConnectRefused(target, context);
            status.nState = bRefused ? PrinterState::NoIpp : PrinterState::NoAnswer;
            return status;
        }
        watchdog.SetSocket(httpGetFd(pHttp));
        httpSetTimeout(pHttp, WAIT_SLICE_SECONDS, KeepWaiting, const_cast<QueryContext*>(&context));
        Attempt nAttempt = Attempt::NotIpp;
        if (target.bTls && httpEncryption(pHttp, HTTP_ENCRYPTION_ALWAYS) != 0) {
            nAttempt = context.Expired() ? Attempt::NoAnswer : Attempt::NotIpp;
        } else {
            nAttempt = AskOnce(pHttp, Utf16ToUtf8(status.strUri), target.aResources[i], context, status);
        }
        watchdog.SetSocket(-1);
        httpClose(pHttp);
        switch (nAttempt) {
            case Attempt::Answered:
                return status;
            case Attempt::NoAnswer:
                status.nState = PrinterState::NoAnswer;
                return status;
            case Attempt::NotIpp:
                status.nState = PrinterState::NoIpp;
                return status;
            case Attempt::PathMissing:
                status.nState = PrinterState::NoIpp;  // unless another path answers
                break;
        }
    }
    if (context.Expired() && status.nState != PrinterState::NoIpp) status.nState = PrinterState::NoAnswer;
    return status;
}

}  // namespace

PrinterStatus QueryPrinterStatus(const StatusTarget& target, std::chrono::milliseconds bound,
                                 const std::atomic<bool>& bCancel) {
    const QueryContext context{Clock::now() + bound, &bCancel};
    cupsSetPasswordCB2(NoPassword, nullptr);  // per thread in libcups
    PrinterStatus status = AskPrinter(target, context);
    TraceMessage(TRACE_INFO, nullptr, u"IPP: %s: %s", status.strUri, PrinterStateText(status.nState));
    return status;
}
