// Status texts and the reading of a Get-Printer-Attributes reply.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "conv_string.h"
#include "ipp_status_reply.h"
#include "network_text.h"

const char* const IPP_STATUS_ATTRIBUTES[] = {
    "printer-state",
    "printer-state-reasons",
    "printer-is-accepting-jobs",
    "printer-state-message",
    "printer-make-and-model",
    "printer-uuid",
    "printer-more-info",
    "marker-names",
    "marker-levels",
    "marker-colors",
    "marker-types",
    "marker-low-levels",
    "printer-supply",
    "printer-supply-description",
    "printer-location",
    "printer-device-id",
    "printer-firmware-name",
    "printer-firmware-string-version",
    "ipp-features-supported",
    "mopria-certified",
};
const int IPP_STATUS_ATTRIBUTE_COUNT = static_cast<int>(std::size(IPP_STATUS_ATTRIBUTES));

const char16_t* PrinterStateText(PrinterState nState) {
    switch (nState) {
        case PrinterState::Idle:
            return u"idle";
        case PrinterState::Printing:
            return u"printing";
        case PrinterState::Stopped:
            return u"stopped";
        case PrinterState::NoIpp:
            return u"no IPP";
        case PrinterState::NeedsAuth:
            return u"needs authentication";
        case PrinterState::NotAsked:
            return u"not asked";
        case PrinterState::NoAnswer:
            break;
    }
    return u"no answer";
}

ReasonSeverity SeverityOfReason(std::u16string_view strKeyword) {
    if (strKeyword.ends_with(u"-report")) return ReasonSeverity::Report;
    if (strKeyword.ends_with(u"-warning")) return ReasonSeverity::Warning;
    return strKeyword.ends_with(u"-error") ? ReasonSeverity::Error : ReasonSeverity::Report;
}

const StateReason* MostSevereReason(const PrinterStatus& status) {
    const StateReason* pWorst = nullptr;
    for (const StateReason& reason : status.aReasons) {
        if (!pWorst || reason.nSeverity > pWorst->nSeverity) pWorst = &reason;
    }
    return pWorst;
}

const SupplyLevel* LowestSupply(const PrinterStatus& status) {
    const SupplyLevel* pLowest = nullptr;
    for (const SupplyLevel& supply : status.aSupplies) {
        if (supply.nLevel >= 0 && !supply.bReceptacle && (!pLowest || supply.nLevel < pLowest->nLevel))
            pLowest = &supply;
    }
    return pLowest;
}

bool IsStatusHealthy(const PrinterStatus& status) {
    if (status.nState == PrinterState::NotAsked) return true;
    if (status.nState != PrinterState::Idle && status.nState != PrinterState::Printing) return false;
    if (status.nAccepting == 0) return false;
    const StateReason* pWorst = MostSevereReason(status);
    return !pWorst || pWorst->nSeverity != ReasonSeverity::Error;
}

std::u16string StatusSummary(const PrinterStatus& status) {
    std::u16string str = PrinterStateText(status.nState);
    const StateReason* pReason = MostSevereReason(status);
    const SupplyLevel* pSupply = LowestSupply(status);
    if (pReason || pSupply) str += u"  ";
    if (pReason) str += pReason->strKeyword;
    if (pSupply) {
        if (pReason) str += u' ';
        str += u'(' + (pSupply->strName.empty() ? std::u16string(u"supply") : pSupply->strName) + u' ' +
               Utf8ToUtf16(std::to_string(pSupply->nLevel)) + u"%)";
    }
    return str;
}

namespace {

// Printers are peers like any other: their texts are bounded and cleaned,
// and no more values than a printer plausibly has are read.
constexpr size_t MAX_TEXT_UNITS = 1024;
constexpr int MAX_VALUES = 64;

std::u16string StringAt(ipp_attribute_t* pAttr, int nIndex) {
    if (!pAttr || nIndex >= ippGetCount(pAttr)) return {};
    const char* psz = ippGetString(pAttr, nIndex, nullptr);
    return psz ? TrimmedNetworkText(psz, MAX_TEXT_UNITS) : std::u16string();
}

int ValueCount(ipp_attribute_t* pAttr) {
    return pAttr ? std::min(ippGetCount(pAttr), MAX_VALUES) : 0;
}

// An integer value, or -1 when the attribute or that value is missing.
int32_t IntegerAt(ipp_attribute_t* pAttr, int nIndex) {
    if (!pAttr || nIndex >= ippGetCount(pAttr) || ippGetValueTag(pAttr) != IPP_TAG_INTEGER) return -1;
    return ippGetInteger(pAttr, nIndex);
}

// Percent levels: the negative "unknown" values and anything past 100 are unknown.
int32_t Percent(int32_t nValue) {
    return nValue >= 0 && nValue <= 100 ? nValue : -1;
}

ipp_attribute_t* Find(ipp_t* pResponse, const char* pszName) {
    return ippFindAttribute(pResponse, pszName, IPP_TAG_ZERO);
}

// -1, -2 and -3: the Printer MIB's levels that are no amount ("" for others).
const char16_t* SpecialLevelText(int32_t nLevel) {
    return nLevel == -3 ? u"some remaining" : nLevel == -2 ? u"unknown" : nLevel == -1 ? u"other" : u"";
}

// marker-*: parallel lists, each of which may arrive as one value. A waste
// marker's level says how full it is, as CUPS writes it.
void ReadMarkers(ipp_t* pResponse, std::vector<SupplyLevel>& aSupplies) {
    ipp_attribute_t* pNames = Find(pResponse, "marker-names");
    ipp_attribute_t* pLevels = Find(pResponse, "marker-levels");
    ipp_attribute_t* pColors = Find(pResponse, "marker-colors");
    ipp_attribute_t* pTypes = Find(pResponse, "marker-types");
    ipp_attribute_t* pLows = Find(pResponse, "marker-low-levels");
    const int nCount = std::max(ValueCount(pNames), ValueCount(pLevels));
    for (int i = 0; i < nCount; ++i) {
        SupplyLevel supply;
        supply.strName = StringAt(pNames, i);
        supply.strType = StringAt(pTypes, i);
        supply.strColor = StringAt(pColors, i);
        if (supply.strColor == u"none") supply.strColor.clear();
        supply.nLevel = Percent(IntegerAt(pLevels, i));
        if (i < ValueCount(pLevels)) supply.strLevelText = SpecialLevelText(IntegerAt(pLevels, i));
        supply.bReceptacle = supply.strType.starts_with(u"waste");
        supply.nLow = Percent(IntegerAt(pLows, i));
        supply.nIndex = i + 1;
        aSupplies.push_back(std::move(supply));
    }
}

int32_t ParseInt(std::string_view str) {
    int32_t n = -1;
    const auto [ptr, ec] = std::from_chars(str.data(), str.data() + str.size(), n);
    return ec == std::errc() && ptr == str.data() + str.size() ? n : -1;
}

// printer-supply values are octetStrings; some printers send them as text.
std::string_view SupplyValueAt(ipp_attribute_t* pAttr, int nIndex) {
    if (ippGetValueTag(pAttr) == IPP_TAG_STRING) {
        int nLength = 0;
        const void* pData = ippGetOctetString(pAttr, nIndex, &nLength);
        return pData ? std::string_view(static_cast<const char*>(pData), static_cast<size_t>(nLength))
                     : std::string_view();
    }
    const char* psz = ippGetString(pAttr, nIndex, nullptr);
    return psz ? std::string_view(psz) : std::string_view();
}

void ReadPwgSupplies(ipp_t* pResponse, std::vector<SupplyLevel>& aSupplies) {
    ipp_attribute_t* pSupply = Find(pResponse, "printer-supply");
    if (!pSupply) return;
    ipp_attribute_t* pDescriptions = Find(pResponse, "printer-supply-description");
    for (int i = 0; i < ValueCount(pSupply); ++i) {
        SupplyLevel supply;
        supply.nIndex = i + 1;  // unless the value says its own
        if (ReadPwgSupply(SupplyValueAt(pSupply, i), StringAt(pDescriptions, i), supply))
            aSupplies.push_back(std::move(supply));
    }
}

void ReadReasons(ipp_t* pResponse, std::vector<StateReason>& aReasons) {
    ipp_attribute_t* pReasons = Find(pResponse, "printer-state-reasons");
    for (int i = 0; i < ValueCount(pReasons); ++i) {
        std::u16string strKeyword = StringAt(pReasons, i);
        if (strKeyword.empty() || strKeyword == u"none") continue;
        const ReasonSeverity nSeverity = SeverityOfReason(strKeyword);
        aReasons.push_back({std::move(strKeyword), nSeverity});
    }
}

}  // namespace

bool ReadPwgSupply(std::string_view strValue, std::u16string_view strDescription, SupplyLevel& supply) {
    int32_t nLevel = -1;
    int32_t nMax = -1;
    bool bPercentUnit = false;
    bool bLevelRead = false;
    bool bAny = false;
    std::string_view strColorant;
    while (!strValue.empty()) {
        const size_t nEnd = std::min(strValue.find(';'), strValue.size());
        const std::string_view item = strValue.substr(0, nEnd);
        strValue.remove_prefix(std::min(nEnd + 1, strValue.size()));
        const size_t nEquals = item.find('=');
        if (nEquals == std::string_view::npos) continue;
        const std::string_view key = item.substr(0, nEquals);
        const std::string_view value = item.substr(nEquals + 1);
        if (key == "level") {
            nLevel = ParseInt(value);
            bLevelRead = !value.empty() && value.find_first_not_of("-0123456789") == std::string_view::npos;
            bAny = true;
        } else if (key == "maxcapacity") {
            nMax = ParseInt(value);
        } else if (key == "unit") {
            bPercentUnit = value == "percent";
        } else if (key == "type") {
            supply.strType = TrimmedNetworkText(value, MAX_TEXT_UNITS);
            bAny = true;
        } else if (key == "colorantname") {
            strColorant = value;
        } else if (key == "class") {
            supply.bReceptacle = value == "receptacleThatIsFilled";
        } else if (key == "index" && ParseInt(value) >= 0) {
            supply.nIndex = ParseInt(value);
        }
    }
    if (!bAny) return false;
    if (nLevel >= 0 && nMax > 0) {
        supply.nLevel = static_cast<int32_t>(std::min<int64_t>(100, int64_t{nLevel} * 100 / nMax));
    } else if (bPercentUnit) {
        supply.nLevel = Percent(nLevel);
    }
    // The Printer MIB's levels, which printer-supply takes over: a
    // receptacle's level is the space it has left, so full is the rest;
    // -1, -2 and -3 are no amounts.
    if (supply.bReceptacle && supply.nLevel >= 0) supply.nLevel = 100 - supply.nLevel;
    if (supply.nLevel < 0 && bLevelRead) supply.strLevelText = SpecialLevelText(nLevel);
    if (strColorant != "unknown" && strColorant != "none")
        supply.strColor = TrimmedNetworkText(strColorant, MAX_TEXT_UNITS);
    supply.strName = strDescription;
    if (supply.strName.empty()) {
        supply.strName = supply.strColor;
        if (!supply.strName.empty() && !supply.strType.empty()) supply.strName += u' ';
        supply.strName += supply.strType;
    }
    return true;
}

bool ReadStatusReply(ipp_t* pResponse, PrinterStatus& status) {
    status.nState = PrinterState::NoIpp;
    if (!pResponse || ippGetStatusCode(pResponse) > IPP_STATUS_OK_EVENTS_COMPLETE) return false;
    ipp_attribute_t* pState = ippFindAttribute(pResponse, "printer-state", IPP_TAG_ENUM);
    if (!pState) return false;
    switch (ippGetInteger(pState, 0)) {
        case IPP_PSTATE_IDLE:
            status.nState = PrinterState::Idle;
            break;
        case IPP_PSTATE_PROCESSING:
            status.nState = PrinterState::Printing;
            break;
        case IPP_PSTATE_STOPPED:
            status.nState = PrinterState::Stopped;
            break;
        default:
            return false;
    }
    if (ipp_attribute_t* pAccepting =
            ippFindAttribute(pResponse, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
        status.nAccepting = ippGetBoolean(pAccepting, 0) ? 1 : 0;
    ReadReasons(pResponse, status.aReasons);
    status.strMessage = StringAt(Find(pResponse, "printer-state-message"), 0);
    status.strMakeAndModel = StringAt(Find(pResponse, "printer-make-and-model"), 0);
    status.strUuid = StringAt(Find(pResponse, "printer-uuid"), 0);
    status.strMoreInfo = StringAt(Find(pResponse, "printer-more-info"), 0);
    status.strLocation = StringAt(Find(pResponse, "printer-location"), 0);
    status.strDeviceId = StringAt(Find(pResponse, "printer-device-id"), 0);
    status.strFirmwareName = StringAt(Find(pResponse, "printer-firmware-name"), 0);
    status.strFirmwareVersion = StringAt(Find(pResponse, "printer-firmware-string-version"), 0);
    ipp_attribute_t* pFeatures = Find(pResponse, "ipp-features-supported");
    for (int i = 0; i < ValueCount(pFeatures); ++i) status.aIppFeatures.push_back(StringAt(pFeatures, i));
    status.strMopriaCertified = StringAt(Find(pResponse, "mopria-certified"), 0);
    // Printers that give both forms describe the same supplies twice: the
    // marker-* form, which most printers give, wins.
    ReadMarkers(pResponse, status.aSupplies);
    if (status.aSupplies.empty()) ReadPwgSupplies(pResponse, status.aSupplies);
    return true;
}

namespace {

struct MemoryReader {
    std::string_view rest;
};

extern "C" ssize_t ReadFromMemory(void* pContext, ipp_uchar_t* pBuffer, size_t nBytes) {
    auto* pReader = static_cast<MemoryReader*>(pContext);
    const size_t n = std::min(nBytes, pReader->rest.size());
    std::copy_n(pReader->rest.data(), n, pBuffer);
    pReader->rest.remove_prefix(n);
    return static_cast<ssize_t>(n);
}

// No printer's reply holds more: a big printer's "all" with a media-col-
// database of a thousand entries is some 25000 values (each collection member
// counts), a few hundred attributes. More is refused before libcups reads it,
// since libcups keeps each keyword in one table all threads share.
constexpr size_t MAX_IPP_ATTRIBUTES = 2048;
constexpr size_t MAX_IPP_VALUES = 32768;

uint16_t Be16(std::string_view body, size_t nAt) {
    return static_cast<uint16_t>(static_cast<unsigned char>(body[nAt]) << 8 |
                                 static_cast<unsigned char>(body[nAt + 1]));
}

// Walks the encoding (tag, name length, name, value length, value) to its
// end-of-attributes tag; false past either cap or when it runs short.
bool WithinIppCaps(std::string_view body) {
    size_t nAt = 8, nAttributes = 0, nValues = 0;
    while (nAt < body.size()) {
        const auto nTag = static_cast<unsigned char>(body[nAt++]);
        if (nTag == IPP_TAG_END) return true;
        if (nTag < 0x10) continue;  // a group
        if (nAt + 2 > body.size()) return false;
        const size_t nName = Be16(body, nAt);
        if (nAt + 2 + nName + 2 > body.size()) return false;
        const size_t nValue = Be16(body, nAt + 2 + nName);
        nAt += 4 + nName + nValue;
        if ((nName > 0 && ++nAttributes > MAX_IPP_ATTRIBUTES) || ++nValues > MAX_IPP_VALUES) return false;
    }
    return false;
}

}  // namespace

ipp_t* ReadIppMessage(std::string_view body) {
    if (!WithinIppCaps(body)) return nullptr;
    MemoryReader reader{body};
    ipp_t* pMessage = ippNew();
    // Blocking: one call reads the whole message, or fails at its end.
    if (ippReadIO(&reader, ReadFromMemory, 1, nullptr, pMessage) == IPP_STATE_DATA) return pMessage;
    ippDelete(pMessage);
    return nullptr;
}

StatusReply ReadStatusReplyBody(std::string_view body, PrinterStatus& status) {
    status.nState = PrinterState::NoIpp;
    ipp_t* pResponse = ReadIppMessage(body);
    StatusReply nReply = StatusReply::NOT_IPP;
    if (pResponse) {
        if (ReadStatusReply(pResponse, status)) {
            nReply = StatusReply::ANSWERED;
        } else if (ippGetStatusCode(pResponse) == IPP_STATUS_ERROR_NOT_FOUND) {
            nReply = StatusReply::NOT_FOUND;
        }
    }
    ippDelete(pResponse);
    return nReply;
}
