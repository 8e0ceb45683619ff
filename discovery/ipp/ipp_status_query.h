// One printer's status over IPP: a single Get-Printer-Attributes request,
// made and read with libcups and carried by libsoup, the whole exchange
// (connect, TLS handshake, request, reply) under one bound.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ipp_status.h"
#include "ipp_status_reply.h"

struct StatusTarget {
    // A numeric address: a host name would need a lookup, which cannot be
    // bounded (getaddrinfo has no timeout), and the row's address is the one
    // that was found.
    std::string strAddress;
    int nPort = 631;
    bool bTls = false;
    // Tried in order; the next one only when the printer says the path does
    // not exist (HTTP 404 or IPP client-error-not-found).
    std::vector<std::string> aResources;
    // Also ask what a driverless setup needs (DRIVERLESS_ATTRIBUTES).
    bool bDriverless = false;
};

// Where to ask a listed printer: an _ipp._tcp/_ipps._tcp instance at its
// port (631 when unknown) and TXT "rp" (default "ipp/print"); any other row
// at 631, first /ipp/print, then /.
StatusTarget StatusTargetFor(std::u16string_view strType, std::u16string_view strAddress, int nPort,
                             const std::u16string* pRp);

// "ipp://192.0.2.10:631/ipp/print" (ipps for TLS, brackets for IPv6).
std::string StatusUri(const StatusTarget& target, size_t nResource);

// Asks the printer; returns within the bound (plus a short slice), or
// earlier once bCancel is set, with NoAnswer then. Never sends anything but
// Get-Printer-Attributes; a target whose address is not numeric is never
// asked (NoAnswer).
PrinterStatus QueryPrinterStatus(const StatusTarget& target, std::chrono::milliseconds bound,
                                 const std::atomic<bool>& bCancel);

// One IPP operation to the target, carried as the status query carries it,
// under one bound. The request goes as IPP/2.0, and once more as IPP/1.1
// when the printer refuses 2.0, as CUPS does.
struct IppExchange {
    // The request for the printer-uri in the version nVersion (20 or 11;
    // the exchange sets it).
    std::function<ipp_t*(const std::string& strUri, int nVersion)> fnRequest;
    // Reads a printer's reply; nVersion: that of the request (20 or 11).
    std::function<StatusReply(ipp_t* pResponse, int nVersion)> fnReply;
};

// NEEDS_AUTH: HTTP 401 or 403, an IPP server that wants credentials.
enum class IppOutcome { ANSWERED, NO_IPP, NO_ANSWER, NEEDS_AUTH };

// Each path of the target in turn while the printer says it has not that
// one; strUri gets the URI that answered (or the last one tried), ipps://
// once the printer asked for TLS (HTTP 426).
IppOutcome ExchangeIpp(const StatusTarget& target, const IppExchange& exchange,
                       std::chrono::milliseconds bound, const std::atomic<bool>& bCancel,
                       std::string& strUri);
