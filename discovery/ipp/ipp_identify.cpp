#include "ipp_identify.h"

#include <cups/http.h>
#include <glib.h>

#include <algorithm>
#include <cstring>

#include "conv_string.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* IDENTIFY_MESSAGE = "hvl-scan";
// Every action a printer lists is asked for, as keywords, at most these many.
constexpr int MAX_ACTIONS = 8;

bool IsKeyword(const char* psz) {
    if (!psz || !*psz || std::strlen(psz) > 63) return false;
    for (const char* p = psz; *p; ++p) {
        if (!g_ascii_islower(*p) && !g_ascii_isdigit(*p) && *p != '-' && *p != '_' && *p != '.') return false;
    }
    return true;
}

ipp_t* NewRequest(ipp_op_t nOperation, const std::string& strUri) {
    ipp_t* pRequest = ippNewRequest(nOperation);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, strUri.c_str());
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "anonymous");
    return pRequest;
}

// What the printer can do: false when it does not say it has the operation.
bool ReadCapabilities(ipp_t* pResponse, std::vector<std::string>& aActions) {
    ipp_attribute_t* pActions = ippFindAttribute(pResponse, "identify-actions-supported", IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(pActions) && static_cast<int>(aActions.size()) < MAX_ACTIONS; ++i) {
        const char* psz = ippGetString(pActions, i, nullptr);
        if (IsKeyword(psz) && std::find(aActions.begin(), aActions.end(), psz) == aActions.end())
            aActions.emplace_back(psz);
    }
    ipp_attribute_t* pOperations = ippFindAttribute(pResponse, "operations-supported", IPP_TAG_ENUM);
    return ippContainsInteger(pOperations, IPP_OP_IDENTIFY_PRINTER) != 0;
}

IdentifyResult ResultOf(IppOutcome nOutcome) {
    return nOutcome == IppOutcome::NO_ANSWER    ? IdentifyResult::NO_ANSWER
           : nOutcome == IppOutcome::NEEDS_AUTH ? IdentifyResult::NEEDS_AUTH
                                                : IdentifyResult::NOT_IPP;
}

// Get-Printer-Attributes: the actions into outcome, bSupported when the
// printer lists the operation.
IppOutcome AskCapabilities(const StatusTarget& target, std::chrono::milliseconds bound,
                           const std::atomic<bool>& bCancel, IdentifyOutcome& outcome, bool& bSupported) {
    const IppExchange ask{
        [](const std::string& strUri, int) {
            ipp_t* pRequest = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, strUri);
            const char* apszNames[] = {"identify-actions-supported", "operations-supported"};
            ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                          apszNames);
            return pRequest;
        },
        [&](ipp_t* pResponse, int) {
            const ipp_status_t nStatus = ippGetStatusCode(pResponse);
            if (nStatus == IPP_STATUS_ERROR_NOT_FOUND) return StatusReply::NOT_FOUND;
            if (nStatus > IPP_STATUS_OK_EVENTS_COMPLETE) return StatusReply::NOT_IPP;
            bSupported = ReadCapabilities(pResponse, outcome.aActions);
            return StatusReply::ANSWERED;
        }};
    return ExchangeIpp(target, ask, bound, bCancel, outcome.strUri);
}

ipp_t* IdentifyRequest(const std::string& strUri, const std::vector<std::string>& aActions) {
    ipp_t* pRequest = NewRequest(IPP_OP_IDENTIFY_PRINTER, strUri);
    std::vector<const char*> apszActions;
    for (const std::string& str : aActions) apszActions.push_back(str.c_str());
    if (!apszActions.empty())
        ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "identify-actions",
                      static_cast<int>(apszActions.size()), nullptr, apszActions.data());
    // The message is what a display shows and what a printer that speaks says.
    if (std::find(aActions.begin(), aActions.end(), "display") != aActions.end() ||
        std::find(aActions.begin(), aActions.end(), "speak") != aActions.end())
        ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_TEXT, "message", nullptr, IDENTIFY_MESSAGE);
    return pRequest;
}

void ReadIdentifyReply(ipp_t* pResponse, IdentifyOutcome& outcome) {
    const ipp_status_t nStatus = ippGetStatusCode(pResponse);
    if (nStatus <= IPP_STATUS_OK_EVENTS_COMPLETE) {
        outcome.nResult = IdentifyResult::ASKED;
        return;
    }
    outcome.nResult = nStatus == IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED ? IdentifyResult::NOT_SUPPORTED
                                                                          : IdentifyResult::REFUSED;
    outcome.strStatus = ippErrorString(nStatus);
}

}  // namespace

bool IdentifyTargetFor(const std::string& strWhere, StatusTarget& target) {
    if (g_hostname_is_ip_address(strWhere.c_str())) {
        target = StatusTargetFor(u"", Utf8ToUtf16(strWhere), 0, nullptr);
        return true;
    }
    char szScheme[16], szUser[256], szHost[256], szResource[1024];
    int nPort = 0;
    // The path stays as written (encoded), for the request line.
    if (httpSeparateURI(static_cast<http_uri_coding_t>(HTTP_URI_CODING_USERNAME | HTTP_URI_CODING_HOSTNAME),
                        strWhere.c_str(), szScheme, sizeof szScheme, szUser, sizeof szUser, szHost,
                        sizeof szHost, &nPort, szResource, sizeof szResource) < HTTP_URI_STATUS_OK)
        return false;
    const std::string strScheme = szScheme;
    std::string strHost = szHost;  // an IPv6 zone comes as "%25eth0"... or "%eth0"
    if (const size_t n = strHost.find("%25"); n != std::string::npos) strHost.erase(n + 1, 2);
    if ((strScheme != "ipp" && strScheme != "ipps") || !g_hostname_is_ip_address(strHost.c_str()))
        return false;
    target = {strHost, nPort, strScheme == "ipps", {szResource}};
    return true;
}

IdentifyOutcome IdentifyPrinter(const StatusTarget& target, std::chrono::milliseconds bound,
                                const std::atomic<bool>& bCancel) {
    const auto tEnd = Clock::now() + bound;
    IdentifyOutcome outcome;
    bool bSupported = false;
    const IppOutcome nAsked = AskCapabilities(target, bound, bCancel, outcome, bSupported);
    if (nAsked != IppOutcome::ANSWERED || !bSupported) {
        outcome.nResult = nAsked == IppOutcome::ANSWERED ? IdentifyResult::NOT_SUPPORTED : ResultOf(nAsked);
        return outcome;
    }
    // The path that answered, and only that one.
    StatusTarget answered = target;
    answered.aResources = {outcome.strUri.substr(outcome.strUri.find('/', outcome.strUri.find("//") + 2))};
    const IppExchange identify{
        [&outcome](const std::string& strUri, int) { return IdentifyRequest(strUri, outcome.aActions); },
        [&outcome](ipp_t* pResponse, int) {
            ReadIdentifyReply(pResponse, outcome);
            return StatusReply::ANSWERED;
        }};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now());
    std::string strUri;
    const IppOutcome nIdentified =
        left.count() > 0 ? ExchangeIpp(answered, identify, left, bCancel, strUri) : IppOutcome::NO_ANSWER;
    if (nIdentified != IppOutcome::ANSWERED) outcome.nResult = ResultOf(nIdentified);
    return outcome;
}

std::string IdentifyText(const IdentifyOutcome& outcome) {
    std::string strActions;
    for (const std::string& str : outcome.aActions) strActions += (strActions.empty() ? "" : ", ") + str;
    switch (outcome.nResult) {
        case IdentifyResult::ASKED:
            return outcome.strUri + ": asked to identify itself (" +
                   (strActions.empty() ? std::string("its own way") : strActions) + ")";
        case IdentifyResult::NOT_SUPPORTED:
            return outcome.strUri + ": an IPP printer that cannot identify itself (no Identify-Printer)";
        case IdentifyResult::REFUSED:
            return outcome.strUri + ": refused to identify itself (" + outcome.strStatus + ")";
        case IdentifyResult::NEEDS_AUTH:
            return outcome.strUri + ": needs authentication (HTTP 401 or 403)";
        case IdentifyResult::NOT_IPP:
            return outcome.strUri + ": not an IPP printer (refused, or something else answered)";
        case IdentifyResult::NO_ANSWER:
            break;
    }
    return outcome.strUri + ": no answer within the time limit";
}
