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
#include "driverless.h"
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

enum class Attempt { Answered, PathMissing, NotIpp, NoAnswer, NeedsTls, OldVersion, NeedsAuth };

extern "C" ssize_t AppendIpp(void* pContext, ipp_uchar_t* pBuffer, size_t nBytes) {
    static_cast<std::string*>(pContext)->append(reinterpret_cast<const char*>(pBuffer), nBytes);
    return static_cast<ssize_t>(nBytes);
}

// The request as bytes, in the version asked; takes the request.
std::string RequestBytes(ipp_t* pRequest, int nVersion) {
    if (!pRequest) return {};
    ippSetVersion(pRequest, nVersion / 10, nVersion % 10);
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

// A whole HTTP 200 reply read as IPP. A printer that speaks only IPP/1.1
// refuses a 2.0 request with bad-request or version-not-supported.
Attempt ReadIppReply(const std::string& strReply, int nVersion, const IppExchange& exchange) {
    ipp_t* pResponse = ReadIppMessage(strReply);
    if (!pResponse) return Attempt::NotIpp;
    const ipp_status_t nStatus = ippGetStatusCode(pResponse);
    Attempt nAttempt = Attempt::NotIpp;
    if (nVersion >= 20 &&
        (nStatus == IPP_STATUS_ERROR_VERSION_NOT_SUPPORTED || nStatus == IPP_STATUS_ERROR_BAD_REQUEST)) {
        nAttempt = Attempt::OldVersion;
    } else {
        switch (exchange.fnReply(pResponse, nVersion)) {
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
    ippDelete(pResponse);
    return nAttempt;
}

struct Asking {
    SoupSession* pSession;
    GCancellable* pCancel;
    const QueryContext& context;
    const IppExchange& exchange;
};

// One POST of the request to one path, over TLS or not, in one IPP version.
Attempt AskOnce(const Asking& asking, const StatusTarget& target, bool bTls, const std::string& strResource,
                int nVersion, const std::string& strUri) {
    StatusTarget transport = target;
    transport.bTls = bTls;
    transport.aResources = {strResource};
    const std::string strIppUri = StatusUri(transport, 0);
    // The same place over HTTP: "ipp" is HTTP on 631, "ipps" HTTPS.
    const std::string strHttpUri = (bTls ? "https" : "http") + strIppUri.substr(strIppUri.find(':'));
    const std::string strBody = RequestBytes(asking.exchange.fnRequest(strUri, nVersion), nVersion);
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
    GInputStream* pStream = soup_session_send(asking.pSession, pMessage, asking.pCancel, &pError);
    Attempt nAttempt = Attempt::NotIpp;
    if (!pStream) {
        nAttempt = FailedAttempt(pError, asking.context);
    } else {
        const guint nHttp = soup_message_get_status(pMessage);
        std::string strReply;
        const bool bWhole = ReadBody(pStream, asking.pCancel, strReply);
        if (asking.context.Expired()) {
            nAttempt = Attempt::NoAnswer;
        } else if (nHttp == SOUP_STATUS_NOT_FOUND) {
            nAttempt = Attempt::PathMissing;
        } else if (nHttp == 426 && !bTls) {
            nAttempt = Attempt::NeedsTls;  // Upgrade Required: the same path over TLS
        } else if ((nHttp == SOUP_STATUS_BAD_REQUEST || nHttp == SOUP_STATUS_HTTP_VERSION_NOT_SUPPORTED) &&
                   nVersion >= 20) {
            nAttempt = Attempt::OldVersion;  // some IPP/1.1 printers refuse 2.0 in HTTP
        } else if (nHttp == SOUP_STATUS_UNAUTHORIZED || nHttp == SOUP_STATUS_FORBIDDEN) {
            nAttempt = Attempt::NeedsAuth;
        } else if (nHttp == SOUP_STATUS_OK && bWhole) {
            nAttempt = ReadIppReply(strReply, nVersion, asking.exchange);
        }
        g_input_stream_close(pStream, asking.pCancel, nullptr);
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
IppOutcome AskPrinter(const StatusTarget& target, const IppExchange& exchange, const QueryContext& context,
                      std::string& strUri) {
    strUri = StatusUri(target, 0);
    if (!IsNumericAddress(target.strAddress)) return IppOutcome::NO_ANSWER;  // a lookup would be unbounded
    GMainContext* pMainContext = g_main_context_new();
    g_main_context_push_thread_default(pMainContext);
    SoupSession* pSession = soup_session_new_with_options("proxy-resolver", nullptr, nullptr);
    soup_session_set_proxy_resolver(pSession, nullptr);
    soup_session_remove_feature_by_type(pSession, SOUP_TYPE_CONTENT_DECODER);
    GCancellable* pCancel = g_cancellable_new();
    IppOutcome nOutcome = IppOutcome::NO_ANSWER;
    {
        const CCancelWatchdog watchdog(context, pCancel);
        const Asking asking{pSession, pCancel, context, exchange};
        StatusTarget asked = target;
        int nVersion = 20;
        for (size_t i = 0; i < target.aResources.size() && !context.Expired(); ++i) {
            strUri = StatusUri(asked, i);
            const auto fnAsk = [&] {
                return AskOnce(asking, asked, asked.bTls, asked.aResources[i], nVersion, strUri);
            };
            Attempt nAttempt = fnAsk();
            if (nAttempt == Attempt::NeedsTls) {
                asked.bTls = true;
                strUri = StatusUri(asked, i);
                nAttempt = fnAsk();
            }
            if (nAttempt == Attempt::OldVersion) {  // as CUPS does: once more in IPP/1.1
                nVersion = 11;
                nAttempt = fnAsk();
            }
            if (nAttempt == Attempt::PathMissing) {
                nOutcome = IppOutcome::NO_IPP;  // unless another path answers
                continue;
            }
            nOutcome = nAttempt == Attempt::Answered    ? IppOutcome::ANSWERED
                       : nAttempt == Attempt::NoAnswer  ? IppOutcome::NO_ANSWER
                       : nAttempt == Attempt::NeedsAuth ? IppOutcome::NEEDS_AUTH
                                                        : IppOutcome::NO_IPP;
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
    return nOutcome;
}

// cupsd's own requested-attributes for "-m everywhere" (Debian 12: IPP/1.1
// asks "all" only, and "all" leaves media-col-database out).
const std::vector<const char*> DRIVERLESS_REQUEST_IPP2 = {"all", "media-col-database",
                                                          "media-size-supported"};
const std::vector<const char*> DRIVERLESS_REQUEST_IPP11 = {"all"};

// Get-Printer-Attributes for the URI: nothing else is ever sent for a status.
ipp_t* GetAttributesRequest(const std::string& strUri, const std::vector<const char*>& aAttributes) {
    ipp_t* pRequest = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, strUri.c_str());
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 REQUESTING_USER_NAME);
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(aAttributes.size()), nullptr, aAttributes.data());
    return pRequest;
}

}  // namespace

IppOutcome ExchangeIpp(const StatusTarget& target, const IppExchange& exchange,
                       std::chrono::milliseconds bound, const std::atomic<bool>& bCancel,
                       std::string& strUri) {
    const QueryContext context{Clock::now() + bound, &bCancel};
    return AskPrinter(target, exchange, context, strUri);
}

PrinterStatus QueryPrinterStatus(const StatusTarget& target, std::chrono::milliseconds bound,
                                 const std::atomic<bool>& bCancel) {
    std::vector<const char*> aAttributes(IPP_STATUS_ATTRIBUTES,
                                         IPP_STATUS_ATTRIBUTES + IPP_STATUS_ATTRIBUTE_COUNT);
    if (target.bDriverless)
        aAttributes.insert(aAttributes.end(), DRIVERLESS_ATTRIBUTES,
                           DRIVERLESS_ATTRIBUTES + DRIVERLESS_ATTRIBUTE_COUNT);
    PrinterStatus status;
    const IppExchange exchange{
        [&aAttributes, &target](const std::string& strUri, int nVersion) {
            // What cupsd asks when it sets the printer up: the verdict is on
            // the same reply ("all" holds the status attributes too).
            if (target.bDriverless)
                return GetAttributesRequest(
                    strUri, nVersion >= 20 ? DRIVERLESS_REQUEST_IPP2 : DRIVERLESS_REQUEST_IPP11);
            return GetAttributesRequest(strUri, aAttributes);
        },
        [&status, &target](ipp_t* pResponse, int nVersion) {
            status = PrinterStatus{};
            if (ReadStatusReply(pResponse, status)) {
                if (target.bDriverless) status.driverless = JudgeDriverless(pResponse, nVersion);
                return StatusReply::ANSWERED;
            }
            const ipp_status_t nStatus = ippGetStatusCode(pResponse);
            if (nStatus == IPP_STATUS_ERROR_NOT_FOUND) return StatusReply::NOT_FOUND;
            // An IPP server that will not tell: no driverless setup either.
            if (target.bDriverless && nStatus > IPP_STATUS_OK_EVENTS_COMPLETE)
                status.driverless = RefusedDriverless(Utf8ToUtf16(ippErrorString(nStatus)));
            return StatusReply::NOT_IPP;
        }};
    std::string strUri;
    const IppOutcome nOutcome = ExchangeIpp(target, exchange, bound, bCancel, strUri);
    if (nOutcome == IppOutcome::NEEDS_AUTH) {
        status = PrinterStatus{};
        status.nState = PrinterState::NeedsAuth;
        if (target.bDriverless) status.driverless = RefusedDriverless(u"needs authentication");
    } else if (nOutcome != IppOutcome::ANSWERED) {
        status.nState = nOutcome == IppOutcome::NO_ANSWER ? PrinterState::NoAnswer : PrinterState::NoIpp;
    }
    status.strUri = Utf8ToUtf16(strUri);
    TraceMessage(TRACE_INFO, nullptr, u"IPP: %s: %s", status.strUri, PrinterStateText(status.nState));
    return status;
}
