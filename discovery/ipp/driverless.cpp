// The rules are those of CUPS 2.4's PPD generator (what "lpadmin -m
// everywhere" runs in cupsd): one raster or PDF format it can send, a list of
// paper sizes, and for a raster format the resolutions to render at.
#include "driverless.h"

#include <cups/cups.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
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
    "media-size-supported",
    "media-supported",
    "ipp-versions-supported",
    "ipp-features-supported",
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

// Paper sizes as CUPS 2.4 reads them: from one source only, the first there
// of media-col-database, media-size-supported and media-supported, and only
// the sizes libcups knows (a range is no size; media-supported only PWG
// self-describing names, never legacy keywords such as "iso-a4").
enum class MediaSource { NONE, COL_DATABASE, SIZE_SUPPORTED, SUPPORTED };

bool HasSizeIn(ipp_attribute_t* pCols, bool bDatabase) {
    for (int i = 0; i < ippGetCount(pCols); ++i) {
        ipp_t* pSize = ippGetCollection(pCols, i);
        if (bDatabase)
            pSize = ippGetCollection(ippFindAttribute(pSize, "media-size", IPP_TAG_BEGIN_COLLECTION), 0);
        ipp_attribute_t* pX = ippFindAttribute(pSize, "x-dimension", IPP_TAG_ZERO);
        ipp_attribute_t* pY = ippFindAttribute(pSize, "y-dimension", IPP_TAG_ZERO);
        if (pwgMediaForSize(ippGetInteger(pX, 0), ippGetInteger(pY, 0))) return true;
    }
    return false;
}

bool HasPwgSizeName(ipp_attribute_t* pNames) {
    for (int i = 0; i < ippGetCount(pNames); ++i) {
        const char* psz = ippGetString(pNames, i, nullptr);
        if (psz && pwgMediaForPWG(psz) && !std::strstr(psz, "_max_") && !std::strstr(psz, "_max.") &&
            !std::strstr(psz, "_min_") && !std::strstr(psz, "_min."))
            return true;
    }
    return false;
}

struct Media {
    MediaSource nSource = MediaSource::NONE;
    bool bUsable = false;
};

Media ReadMedia(ipp_t* pResponse) {
    if (ipp_attribute_t* p = ippFindAttribute(pResponse, "media-col-database", IPP_TAG_BEGIN_COLLECTION))
        return {MediaSource::COL_DATABASE, HasSizeIn(p, true)};
    if (ipp_attribute_t* p = ippFindAttribute(pResponse, "media-size-supported", IPP_TAG_BEGIN_COLLECTION))
        return {MediaSource::SIZE_SUPPORTED, HasSizeIn(p, false)};
    if (ipp_attribute_t* p = ippFindAttribute(pResponse, "media-supported", IPP_TAG_ZERO))
        return {MediaSource::SUPPORTED, HasPwgSizeName(p)};
    return {};
}

struct Offer {
    bool bUrf, bPdf, bPwg, bPclm, bUrfSupported, bUrfResolution, bPwgResolution, bPwgType, bPwgBack,
        bTwoSided, bIpp2, bEverywhereFeature;
    Media media;
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
        .bIpp2 = SpeaksIpp2(pResponse, nIppVersion),
        .bEverywhereFeature =
            ippContainsString(ippFindAttribute(pResponse, "ipp-features-supported", IPP_TAG_KEYWORD),
                              "ipp-everywhere") != 0,
        .media = ReadMedia(pResponse),
    };
}

void AddMediaReason(const Media& media, std::vector<DriverlessReason>& aReasons) {
    switch (media.bUsable ? MediaSource::NONE : media.nSource) {
        case MediaSource::COL_DATABASE:
            aReasons.push_back({u"no-usable-media-size",
                                u"Its media-col-database holds no paper size CUPS can use (ranges only), and "
                                u"CUPS reads no other list when it is there"});
            break;
        case MediaSource::SIZE_SUPPORTED:
            aReasons.push_back({u"no-usable-media-size",
                                u"Its media-size-supported holds no paper size CUPS can use (ranges only)"});
            break;
        case MediaSource::SUPPORTED:
            aReasons.push_back(
                {u"no-usable-media-size",
                 u"Its media-supported names no PWG paper size CUPS knows (legacy keywords "
                 u"such as iso-a4 or na-letter are not read), and it has no media-col-database"});
            break;
        case MediaSource::NONE:
            if (!media.bUsable)
                aReasons.push_back({u"no-media-database",
                                    u"Lists no paper sizes (none of media-col-database, media-size-supported "
                                    u"and media-supported)"});
            break;
    }
}

// What stops CUPS; CUPS takes PWG raster only from a printer without Apple
// raster. PCLm only through cups-filters' driverless (bPclmDriver: installed).
void AddBlockingReasons(const Offer& offer, ipp_attribute_t* pFormats, bool bPclmDriver,
                        std::vector<DriverlessReason>& aReasons) {
    const bool bPwgUsed = offer.bPwg && !offer.bUrf;
    const bool bCupsFormat = offer.bUrf || offer.bPdf || bPwgUsed;
    if (!bCupsFormat && offer.bPclm && !bPclmDriver)
        aReasons.push_back({u"pclm-only",
                            u"Offers PCLm only, which CUPS sends only with cups-filters' driverless "
                            u"(not installed here)"});
    else if (!bCupsFormat && !offer.bPclm)
        aReasons.push_back(
            {u"no-driverless-format",
             u"Offers none of PDF, PWG raster and Apple raster (it offers " + FormatList(pFormats) + u")"});
    AddMediaReason(offer.media, aReasons);
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

bool HasPclmDriver() {
    return access("/usr/lib/cups/driver/driverless", X_OK) == 0;
}

bool HasDnssdBackend() {
    return access("/usr/lib/cups/backend/dnssd", X_OK) == 0;
}

DriverlessVerdict JudgeDriverless(ipp_t* pResponse, int nIppVersion, bool bPclmDriver) {
    DriverlessVerdict verdict;
    verdict.bJudged = true;
    // Debian 12's cupsd (its CVE-2024-47175 fix, upstream from 2.4.11) makes
    // no PPD for a reply that libcups finds invalid.
    if (!ippValidateAttributes(pResponse))
        verdict.aReasons.push_back(
            {u"invalid-reply", u"Its reply fails libcups' validation, which CUPS refuses (" +
                                   TrimmedNetworkText(cupsLastErrorString(), 256) + u")"});
    ipp_attribute_t* pFormats = ippFindAttribute(pResponse, "document-format-supported", IPP_TAG_MIMETYPE);
    const Offer offer = ReadOffer(pResponse, pFormats, nIppVersion);
    AddBlockingReasons(offer, pFormats, bPclmDriver, verdict.aReasons);
    verdict.bReady = verdict.aReasons.empty();
    verdict.bViaCupsFilters =
        verdict.bReady && offer.bPclm && !offer.bUrf && !offer.bPdf && !(offer.bPwg && !offer.bUrf);
    AddNotes(offer, verdict.aReasons);
    if (offer.bEverywhereFeature && offer.bIpp2 && offer.bPwg && offer.bPwgResolution && offer.bPwgType &&
        offer.media.bUsable && (offer.bPwgBack || !offer.bTwoSided))
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

std::string UniqueCupsQueueName(std::u16string_view strName, std::vector<std::string>& aTaken) {
    const std::string strBase = CupsQueueName(strName);
    const auto fnTaken = [&aTaken](const std::string& str) {
        for (const std::string& strTaken : aTaken) {
            if (strcasecmp(strTaken.c_str(), str.c_str()) == 0) return true;
        }
        return false;
    };
    std::string strQueue = strBase;
    for (int n = 2; fnTaken(strQueue); ++n) strQueue = strBase.substr(0, 120) + "_" + std::to_string(n);
    aTaken.push_back(strQueue);
    return strQueue;
}

namespace {

// Unreserved bytes and the URI delimiters no shell reads specially.
bool IsShellSafe(unsigned char ch) {
    return std::isalnum(ch) || ch == '-' || ch == '.' || ch == '_' || ch == ':' || ch == '/' || ch == '%' ||
           ch == '=' || ch == '@' || ch == ',' || ch == '+';
}

std::string PercentEncoded(std::string_view str, bool bKeepPercent) {
    std::string strOut;
    for (const char ch : str) {
        const auto byte = static_cast<unsigned char>(ch);
        if (IsShellSafe(byte) && (bKeepPercent || ch != '%') && ch < 0x7F) {
            strOut += ch;
        } else {
            char szHex[4];
            std::snprintf(szHex, sizeof szHex, "%%%02X", byte);
            strOut += szHex;
        }
    }
    return strOut;
}

// Single quotes mean the same in sh, bash, fish and csh once the text holds
// no quote, backslash, '!' or control character.
std::string QuotedText(std::u16string_view str) {
    std::string strOut = "'";
    for (const char ch : Utf16ToUtf8(TrimmedNetworkText(Utf16ToUtf8(std::u16string(str)), 127))) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F) continue;
        strOut += ch == '\'' || ch == '\\' || ch == '!' ? ' ' : ch;
    }
    return strOut + "'";
}

}  // namespace

std::string DnssdUri(std::u16string_view strInstance, std::u16string_view strType,
                     std::u16string_view strUuid) {
    std::string strUri = "dnssd://" + PercentEncoded(Utf16ToUtf8(std::u16string(strInstance)), false) + "." +
                         PercentEncoded(Utf16ToUtf8(std::u16string(strType)), false) + ".local/";
    if (!strUuid.empty()) strUri += "%3Fuuid=" + PercentEncoded(Utf16ToUtf8(std::u16string(strUuid)), false);
    return strUri;
}

std::string ShellSafeUri(std::string_view strUri) {
    const size_t nOpen = strUri.find('[');
    const size_t nClose = strUri.find(']');
    if (nOpen == std::string_view::npos || nClose == std::string_view::npos || nClose < nOpen)
        return PercentEncoded(strUri, true);
    // Appended in steps: GCC 12 at -O3 misreads "'" + std::string as an
    // overlapping copy (-Werror=restrict).
    std::string strQuoted = "'";
    strQuoted += PercentEncoded(strUri.substr(0, nOpen), true);
    strQuoted += strUri.substr(nOpen, nClose + 1 - nOpen);
    strQuoted += PercentEncoded(strUri.substr(nClose + 1), true);
    strQuoted += '\'';
    return strQuoted;
}

std::string CupsSetupLine(const CupsSetup& setup) {
    const std::string strUri = ShellSafeUri(setup.strUri);
    std::string strLine = "lpadmin -p " + setup.strQueue + " -E -v " + strUri;
    if (!setup.strLocation.empty()) strLine += " -L " + QuotedText(setup.strLocation);
    if (!setup.strMakeAndModel.empty()) strLine += " -D " + QuotedText(setup.strMakeAndModel);
    if (!setup.bViaCupsFilters) return strLine + " -m everywhere";
    // driverless:URI, the URI as one word
    return strLine + " -m " +
           (strUri.starts_with('\'') ? "'driverless:" + strUri.substr(1) : "driverless:" + strUri);
}
