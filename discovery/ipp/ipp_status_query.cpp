// Get-Printer-Attributes under one deadline: the message made and read by
// libcups, carried by libsoup over a connection of the query's own. libcups'
// own HTTP client cannot be bounded from outside (it reconnects behind its
// caller with limits of its own, for TLS, "Connection: close", 401 and 426);
// here every wait, the TLS handshake included, ends when the query's
// cancellable does, and nothing outside the query's own objects is touched.
#include <netdb.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <cups/ipp.h>
#include <libsoup/soup.h>

#include "conv_string.h"
#include "ipp_status_query.h"
#include "ipp_status_reply.h"
#include "trace_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// A status reply is a few kilobytes; a longer one is not read on.
constexpr gsize MAX_REPLY_BYTES = 1024 * 1024;

// Sent as requesting-user-name: a read-only query needs no account, and the
// login name is nobody else's business.
constexpr const char* REQUESTING_USER_NAME = "anonymous";

struct QueryContext {
    Clock::time_point deadline;
    const std::atomic<bool>* pCancel;

    bool Expired() const { return Clock::now() >= deadline || pCancel->load(); }
};

// Cancels the query's cancellable at the deadline or on cancel, which ends
// any wait of the exchange at once.
class CCancelWatchdog {
public:
    CCancelWatchdog(const QueryContext& context, GCancellable* pCancel)
        : m_context(context), m_pCancel(pCancel), m_thread([this] { Watch(); }) {}
    ~CCancelWatchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_bDone = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }

private:
    void Watch() {
        std::unique_lock lock(m_mutex);
        while (!m_bDone && !m_context.Expired()) m_cv.wait_for(lock, std::chrono::milliseconds(50));
        if (!m_bDone) g_cancellable_cancel(m_pCancel);
    }

    const QueryContext& m_context;
    GCancellable* const m_pCancel;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::thread m_thread;  // last: starts once the rest is set up
};

bool IsNumericAddress(const std::string& strAddress) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* pList = nullptr;
    if (getaddrinfo(strAddress.c_str(), nullptr, &hints, &pList) != 0) return false;
    freeaddrinfo(pList);
    return true;
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

enum class Attempt { Answered, PathMissing, NotIpp, NoAnswer, NeedsTls };

extern "C" ssize_t AppendIpp(void* pContext, ipp_uchar_t* pBuffer, size_t nBytes) {
    static_cast<std::string*>(pContext)->append(reinterpret_cast<const char*>(pBuffer), nBytes);
    return static_cast<ssize_t>(nBytes);
}

// The request as bytes: Get-Printer-Attributes, nothing else is ever sent.
std::string RequestBody(const std::string& strUri) {
    ipp_t* pRequest = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, strUri.c_str());
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 REQUESTING_USER_NAME);
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  IPP_STATUS_ATTRIBUTE_COUNT, nullptr, IPP_STATUS_ATTRIBUTES);
    std::string strBody;
    const ipp_state_t nState = ippWriteIO(&strBody, AppendIpp, 1, nullptr, pRequest);  // whole, blocking
    ippDelete(pRequest);
    return nState == IPP_STATE_DATA ? strBody : std::string();
}

// A read-only query: the certificate of an ipps printer is not checked
// (printers mostly have self-signed ones).
extern "C" gboolean AcceptAnyCertificate(SoupMessage*, GTlsCertificate*, GTlsCertificateFlags, gpointer) {
    return TRUE;
}

// The connection failed before anything was said: refused means a host that
// runs no IPP server; the rest (unreachable, cancelled) no answer.
Attempt FailedAttempt(const GError* pError, const QueryContext& context) {
    if (context.Expired()) return Attempt::NoAnswer;
    if (g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED)) return Attempt::NotIpp;
    if (g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE) ||
        g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE) ||
        g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        return Attempt::NoAnswer;
    return Attempt::NotIpp;  // TLS refused, connection reset, not HTTP
}

// Reads the reply body up to its cap; false when it is longer or cut off.
bool ReadBody(GInputStream* pStream, GCancellable* pCancel, std::string& strBody) {
    char buffer[16 * 1024];
    for (;;) {
        const gssize n = g_input_stream_read(pStream, buffer, sizeof buffer, pCancel, nullptr);
        if (n < 0) return false;
        if (n == 0) return true;
        strBody.append(buffer, static_cast<size_t>(n));
        if (strBody.size() > MAX_REPLY_BYTES) return false;
    }
}

// One POST of the request to one path, over TLS or not.
Attempt AskOnce(SoupSession* pSession, GCancellable* pCancel, const StatusTarget& target, bool bTls,
                const std::string& strResource, const QueryContext& context, PrinterStatus& status) {
    StatusTarget transport = target;
    transport.bTls = bTls;
    transport.aResources = {strResource};
    const std::string strIppUri = StatusUri(transport, 0);
    // The same place over HTTP: "ipp" is HTTP on 631, "ipps" HTTPS.
    const std::string strHttpUri = (bTls ? "https" : "http") + strIppUri.substr(strIppUri.find(':'));
    const std::string strBody = RequestBody(Utf16ToUtf8(status.strUri));
    SoupMessage* pMessage = strBody.empty() ? nullptr : soup_message_new("POST", strHttpUri.c_str());
    if (!pMessage) return Attempt::NotIpp;
    soup_message_add_flags(pMessage, SOUP_MESSAGE_NO_REDIRECT);
    SoupMessageHeaders* pHeaders = soup_message_get_request_headers(pMessage);
    soup_message_headers_replace(pHeaders, "Accept-Encoding", "identity");
    // One request per connection: the next path, if any, gets a fresh one.
    soup_message_headers_replace(pHeaders, "Connection", "close");
    GBytes* pBytes = g_bytes_new(strBody.data(), strBody.size());
    soup_message_set_request_body_from_bytes(pMessage, "application/ipp", pBytes);
    g_bytes_unref(pBytes);
    g_signal_connect(pMessage, "accept-certificate", G_CALLBACK(AcceptAnyCertificate), nullptr);

    GError* pError = nullptr;
    GInputStream* pStream = soup_session_send(pSession, pMessage, pCancel, &pError);
    Attempt nAttempt = Attempt::NotIpp;
    if (!pStream) {
        nAttempt = FailedAttempt(pError, context);
    } else {
        const guint nHttp = soup_message_get_status(pMessage);
        std::string strReply;
        const bool bWhole = ReadBody(pStream, pCancel, strReply);
        if (context.Expired()) {
            nAttempt = Attempt::NoAnswer;
        } else if (nHttp == SOUP_STATUS_NOT_FOUND) {
            nAttempt = Attempt::PathMissing;
        } else if (nHttp == 426 && !bTls) {
            nAttempt = Attempt::NeedsTls;  // Upgrade Required: the same path over TLS
        } else if (nHttp == SOUP_STATUS_OK && bWhole) {
            switch (ReadStatusReplyBody(strReply, status)) {
                case StatusReply::ANSWERED:
                    nAttempt = Attempt::Answered;
                    break;
                case StatusReply::NOT_FOUND:
                    nAttempt = Attempt::PathMissing;
                    break;
                case StatusReply::NOT_IPP:
                    break;
            }
        }
        g_input_stream_close(pStream, pCancel, nullptr);
        g_object_unref(pStream);
    }
    g_clear_error(&pError);
    g_object_unref(pMessage);
    return nAttempt;
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

// Each path in turn while the printer says it has not that one. A session of
// its own: no proxy (printers are on the LAN), no content decoding, and no
// connection shared with any other query.
PrinterStatus AskPrinter(const StatusTarget& target, const QueryContext& context) {
    PrinterStatus status;
    status.nState = PrinterState::NoAnswer;
    status.strUri = Utf8ToUtf16(StatusUri(target, 0));
    if (!IsNumericAddress(target.strAddress)) return status;  // a name would need an unbounded lookup
    GMainContext* pMainContext = g_main_context_new();
    g_main_context_push_thread_default(pMainContext);
    SoupSession* pSession = soup_session_new_with_options("proxy-resolver", nullptr, nullptr);
    soup_session_set_proxy_resolver(pSession, nullptr);
    soup_session_remove_feature_by_type(pSession, SOUP_TYPE_CONTENT_DECODER);
    GCancellable* pCancel = g_cancellable_new();
    {
        const CCancelWatchdog watchdog(context, pCancel);
        bool bTls = target.bTls;
        for (size_t i = 0; i < target.aResources.size() && !context.Expired(); ++i) {
            status.strUri = Utf8ToUtf16(StatusUri(target, i));
            Attempt nAttempt =
                AskOnce(pSession, pCancel, target, bTls, target.aResources[i], context, status);
            if (nAttempt == Attempt::NeedsTls) {
                bTls = true;
                nAttempt = AskOnce(pSession, pCancel, target, bTls, target.aResources[i], context, status);
            }
            if (nAttempt == Attempt::PathMissing) {
                status.nState = PrinterState::NoIpp;  // unless another path answers
                continue;
            }
            if (nAttempt != Attempt::Answered)
                status.nState = nAttempt == Attempt::NoAnswer ? PrinterState::NoAnswer : PrinterState::NoIpp;
            break;
        }
        soup_session_abort(pSession);
    }
    g_object_unref(pCancel);
    g_object_unref(pSession);
    for (int i = 0; i < 1000 && g_main_context_iteration(pMainContext, FALSE); ++i) {
    }
    g_main_context_pop_thread_default(pMainContext);
    g_main_context_unref(pMainContext);
    return status;
}

}  // namespace

PrinterStatus QueryPrinterStatus(const StatusTarget& target, std::chrono::milliseconds bound,
                                 const std::atomic<bool>& bCancel) {
    const QueryContext context{Clock::now() + bound, &bCancel};
    PrinterStatus status = AskPrinter(target, context);
    TraceMessage(TRACE_INFO, nullptr, u"IPP: %s: %s", status.strUri, PrinterStateText(status.nState));
    return status;
}
