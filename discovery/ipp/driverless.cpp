// The rules are those of CUPS 2.4's PPD generator (what "lpadmin -m
// everywhere" runs in cupsd): one raster or PDF format it can send, a list of
// paper sizes, and for a raster format the resolutions to render at.
#include "driverless.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "conv_string.h"
#include "network_text.h"

const char* const DRIVERLESS_ATTRIBUTES[] = {
    "document-format-supported",
    "urf-supported",
    "pwg-raster-document-resolution-supported",
    "pwg-raster-document-type-supported",
    "pwg-raster-document-sheet-back",
    "sides-supported",
    "color-supported",
    "media-col-database",
    "media-supported",
    "ipp-versions-supported",
};
const int DRIVERLESS_ATTRIBUTE_COUNT = static_cast<int>(std::size(DRIVERLESS_ATTRIBUTES));

namespace {

// The few formats worth naming when none of them can be used.
constexpr int MAX_FORMATS_NAMED = 6;
constexpr size_t MAX_FORMAT_UNITS = 64;

bool Has(ipp_t* pResponse, const char* pszName, ipp_tag_t nTag) {
    return ippFindAttribute(pResponse, pszName, nTag) != nullptr;
}

// CUPS reads the first "RS" value of urf-supported ("RS300-600") and needs
// a resolution above 0 there.
bool HasUrfResolution(ipp_attribute_t* pUrf) {
    for (int i = 0; i < ippGetCount(pUrf); ++i) {
        const char* psz = ippGetString(pUrf, i, nullptr);
        if (psz && strncasecmp(psz, "RS", 2) == 0) return std::atoi(psz + 2) > 0;
    }
    return false;
}

bool SpeaksIpp2(ipp_t* pResponse, int nIppVersion) {
    if (nIppVersion < 20) return false;
    ipp_attribute_t* pVersions = ippFindAttribute(pResponse, "ipp-versions-supported", IPP_TAG_KEYWORD);
    if (!pVersions) return true;  // it answered 2.0 all the same
    for (int i = 0; i < ippGetCount(pVersions); ++i) {
        const char* psz = ippGetString(pVersions, i, nullptr);
        if (psz && psz[0] >= '2' && psz[0] <= '9') return true;
    }
    return false;
}

std::u16string FormatList(ipp_attribute_t* pFormats) {
    if (!pFormats || ippGetCount(pFormats) == 0) return u"none";
    std::u16string str;
    const int nCount = ippGetCount(pFormats);
    for (int i = 0; i < nCount && i < MAX_FORMATS_NAMED; ++i) {
        const char* psz = ippGetString(pFormats, i, nullptr);
        str += (i ? u", " : u"") + (psz ? TrimmedNetworkText(psz, MAX_FORMAT_UNITS) : u"?");
    }
    return nCount > MAX_FORMATS_NAMED ? str + u", ..." : str;
}

struct Offer {
    bool bUrf, bPdf, bPwg, bPclm, bUrfSupported, bUrfResolution, bPwgResolution, bPwgType, bPwgBack,
        bTwoSided, bMedia, bIpp2;
};

Offer ReadOffer(ipp_t* pResponse, ipp_attribute_t* pFormats, int nIppVersion) {
    ipp_attribute_t* pUrf = ippFindAttribute(pResponse, "urf-supported", IPP_TAG_KEYWORD);
    ipp_attribute_t* pSides = ippFindAttribute(pResponse, "sides-supported", IPP_TAG_KEYWORD);
    return {
        .bUrf = ippContainsString(pFormats, "image/urf") != 0,
        .bPdf = ippContainsString(pFormats, "application/pdf") != 0,
        .bPwg = ippContainsString(pFormats, "image/pwg-raster") != 0,
        .bPclm = ippContainsString(pFormats, "application/PCLm") != 0,
        .bUrfSupported = pUrf != nullptr,
        .bUrfResolution = HasUrfResolution(pUrf),
        .bPwgResolution = Has(pResponse, "pwg-raster-document-resolution-supported", IPP_TAG_RESOLUTION),
        .bPwgType = Has(pResponse, "pwg-raster-document-type-supported", IPP_TAG_KEYWORD),
        .bPwgBack = Has(pResponse, "pwg-raster-document-sheet-back", IPP_TAG_KEYWORD),
        .bTwoSided = pSides && ippGetCount(pSides) > 1,
        .bMedia = Has(pResponse, "media-col-database", IPP_TAG_BEGIN_COLLECTION) ||
                  Has(pResponse, "media-supported", IPP_TAG_ZERO),
        .bIpp2 = SpeaksIpp2(pResponse, nIppVersion),
    };
}

// What stops CUPS; CUPS takes PWG raster only from a printer without Apple raster.
void AddBlockingReasons(const Offer& offer, ipp_attribute_t* pFormats,
                        std::vector<DriverlessReason>& aReasons) {
    const bool bPwgUsed = offer.bPwg && !offer.bUrf;
    if (!offer.bUrf && !offer.bPdf && !bPwgUsed)
        aReasons.push_back(
            {u"no-driverless-format",
             u"Offers none of PDF, PWG raster and Apple raster (it offers " + FormatList(pFormats) + u")"});
    if (!offer.bMedia)
        aReasons.push_back(
            {u"no-media-database", u"Lists no paper sizes (neither media-col-database nor media-supported)"});
    if (offer.bUrfSupported && !offer.bUrfResolution)
        aReasons.push_back(
            {u"bad-urf-supported", u"Its urf-supported gives no resolution (no RS value above 0)"});
    if (offer.bUrfSupported || offer.bPwgResolution || !(offer.bUrf || bPwgUsed)) return;
    if (offer.bUrf)
        aReasons.push_back(
            {u"no-urf-supported",
             u"Offers Apple raster (image/urf) without urf-supported, which gives its resolutions"});
    if (offer.bPwg)
        aReasons.push_back(
            {u"no-raster-resolution", u"Offers PWG raster without pwg-raster-document-resolution-supported"});
}

// What only IPP Everywhere (and Windows' IPP driver, which asks the same) minds.
void AddNotes(const Offer& offer, std::vector<DriverlessReason>& aReasons) {
    const auto fnNote = [&aReasons](const char16_t* pszCode, std::u16string strText) {
        for (const DriverlessReason& reason : aReasons) {
            if (std::u16string_view(reason.pszCode) == pszCode) return;
        }
        aReasons.push_back({pszCode, std::move(strText), false});
    };
    if (!offer.bIpp2)
        fnNote(u"ipp-1.1-only",
               u"Speaks IPP/1.1 only: CUPS falls back to it, IPP Everywhere and Windows need 2.0");
    if (!offer.bPwg) return;
    if (!offer.bPwgResolution)
        fnNote(u"no-raster-resolution",
               u"Offers PWG raster without pwg-raster-document-resolution-supported");
    if (!offer.bPwgType)
        fnNote(u"no-raster-type", u"Offers PWG raster without pwg-raster-document-type-supported");
    if (offer.bTwoSided && !offer.bPwgBack)
        fnNote(u"no-raster-back-side", u"Prints both sides without pwg-raster-document-sheet-back");
}

}  // namespace

DriverlessVerdict JudgeDriverless(ipp_t* pResponse, int nIppVersion) {
    DriverlessVerdict verdict;
    verdict.bJudged = true;
    ipp_attribute_t* pFormats = ippFindAttribute(pResponse, "document-format-supported", IPP_TAG_MIMETYPE);
    const Offer offer = ReadOffer(pResponse, pFormats, nIppVersion);
    AddBlockingReasons(offer, pFormats, verdict.aReasons);
    verdict.bReady = verdict.aReasons.empty();
    AddNotes(offer, verdict.aReasons);
    if (offer.bIpp2 && offer.bPwg && offer.bPwgResolution && offer.bPwgType && offer.bMedia &&
        (offer.bPwgBack || !offer.bTwoSided))
        verdict.aKinds.push_back(u"ipp-everywhere");
    if (offer.bUrf && offer.bUrfResolution) verdict.aKinds.push_back(u"airprint");
    if (offer.bPdf) verdict.aKinds.push_back(u"pdf");
    if (offer.bPclm) verdict.aKinds.push_back(u"pclm");
    verdict.aTxt = AnnouncedTxt(pResponse);
    return verdict;
}

std::vector<std::string> AnnouncedTxt(ipp_t* pResponse) {
    std::vector<std::string> aTxt;
    // Values joined by commas, whole ones only while the item fits.
    const auto fnList = [&](const char* pszKey, const char* pszAttribute) {
        ipp_attribute_t* pList = ippFindAttribute(pResponse, pszAttribute, IPP_TAG_ZERO);
        std::string strItem = pszKey;
        for (int i = 0; pList && i < ippGetCount(pList); ++i) {
            const char* psz = ippGetString(pList, i, nullptr);
            const size_t nLength = psz ? std::strlen(psz) : 0;
            if (nLength == 0 || strItem.size() + 1 + nLength > 255) continue;
            // Appended in steps: GCC 12 at -O3 takes "," + std::string for an overlapping copy.
            if (strItem.back() != '=') strItem += ',';
            strItem += psz;
        }
        if (strItem.back() != '=') aTxt.push_back(strItem);
    };
    fnList("pdl=", "document-format-supported");
    if (ipp_attribute_t* pColor = ippFindAttribute(pResponse, "color-supported", IPP_TAG_BOOLEAN))
        aTxt.push_back(ippGetBoolean(pColor, 0) ? "Color=T" : "Color=F");
    if (ipp_attribute_t* pSides = ippFindAttribute(pResponse, "sides-supported", IPP_TAG_KEYWORD)) {
        bool bTwoSided = false;
        for (int i = 0; i < ippGetCount(pSides); ++i) {
            const char* psz = ippGetString(pSides, i, nullptr);
            bTwoSided = bTwoSided || (psz && std::strncmp(psz, "two-sided", 9) == 0);
        }
        aTxt.push_back(bTwoSided ? "Duplex=T" : "Duplex=F");
    }
    fnList("URF=", "urf-supported");
    return aTxt;
}

DriverlessVerdict RefusedDriverless(std::u16string_view strStatus) {
    DriverlessVerdict verdict;
    verdict.bJudged = true;
    verdict.aReasons.push_back(
        {u"attributes-refused", u"Refused to tell its attributes (" + std::u16string(strStatus) + u")"});
    return verdict;
}

const char16_t* DriverlessVerdictText(const DriverlessVerdict& verdict) {
    return verdict.bReady ? u"ready" : u"not ready";
}

std::string CupsQueueName(std::u16string_view strName) {
    std::string strQueue;
    for (const char16_t ch : strName) {
        const bool bKept =
            (ch < 0x80 && std::isalnum(static_cast<int>(ch))) || ch == u'-' || ch == u'_' || ch == u'.';
        // Never a leading '-' (an option to lpadmin) or '.'.
        if (strQueue.empty() && (!bKept || ch == u'-' || ch == u'.')) continue;
        if (bKept) {
            strQueue += static_cast<char>(ch);
        } else if (strQueue.back() != '_') {
            strQueue += '_';
        }
        if (strQueue.size() >= 127) break;
    }
    while (!strQueue.empty() && strQueue.back() == '_') strQueue.pop_back();
    return strQueue.empty() ? "printer" : strQueue;
}

std::string CupsSetupLine(std::u16string_view strName, std::string_view strUri) {
    std::string strShellUri(strUri);
    if (strUri.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789:/._%@+,=~-") !=
        std::string_view::npos) {
        strShellUri.assign(1, '\'');
        for (const char ch : strUri) {
            if (ch == '\'')
                strShellUri += "'\\''";
            else
                strShellUri += ch;
        }
        strShellUri += '\'';
    }
    return "lpadmin -p " + CupsQueueName(strName) + " -E -v " + strShellUri + " -m everywhere";
}
