// Can CUPS set the printer up without a driver? Judged from one
// Get-Printer-Attributes reply by the rules CUPS itself applies when it makes
// a queue with "-m everywhere", so that "ready" means lpadmin's setup works.
#pragma once

#include <cups/ipp.h>

#include <string>
#include <string_view>
#include <vector>

struct DriverlessReason {
    const char16_t* pszCode;  // "no-driverless-format"
    std::u16string strText;   // a sentence for a person
    bool bBlocksCups = true;  // false: only IPP Everywhere and Windows' IPP driver mind it
};

struct DriverlessVerdict {
    bool bJudged = false;  // the printer answered the attributes (or refused them)
    bool bReady = false;   // CUPS makes a queue without a driver
    // Ready through cups-filters' driverless ("-m driverless:URI"), not "-m everywhere" (PCLm only).
    bool bViaCupsFilters = false;
    // What the printer offers of each driverless way: "ipp-everywhere",
    // "airprint", "pdf", "pclm".
    std::vector<std::u16string> aKinds;
    std::vector<DriverlessReason> aReasons;  // every shortfall, blocking or not
    // The TXT items an IPP printer announces of these ("pdl=...", "Color=T",
    // "Duplex=F", "URF=..."), those the reply told.
    std::vector<std::string> aTxt;
};

// The attributes asked for besides the status ones.
extern const char* const DRIVERLESS_ATTRIBUTES[];
extern const int DRIVERLESS_ATTRIBUTE_COUNT;

// cups-filters' driverless is where cupsd looks for it.
bool HasPclmDriver();
// CUPS's dnssd backend is installed (Debian's "cups" package; cups-daemon
// alone has only ipp, ipps, http and https, and refuses a dnssd:// URI).
bool HasDnssdBackend();

// The verdict on a successful reply; nIppVersion is the version the printer
// answered (20 for 2.0, 11 for 1.1), bPclmDriver whether cups-filters'
// driverless can take a PCLm-only printer.
DriverlessVerdict JudgeDriverless(ipp_t* pResponse, int nIppVersion, bool bPclmDriver = HasPclmDriver());
// The printer is an IPP server but refused to tell its attributes.
DriverlessVerdict RefusedDriverless(std::u16string_view strStatus);

// The TXT items of a reply (DriverlessVerdict::aTxt); pdl keeps whole
// formats within a TXT string's 255 bytes.
std::vector<std::string> AnnouncedTxt(ipp_t* pResponse);

// "ready", "not ready".
const char16_t* DriverlessVerdictText(const DriverlessVerdict& verdict);

// A CUPS queue name from a printer's name: letters, digits, '-', '_' and '.'
// only (others become '_'), at most 127 bytes, "printer" when nothing is left.
std::string CupsQueueName(std::u16string_view strName);
// A CUPS queue name not taken yet by aTaken (which it joins): "_2", "_3"...
// after the name when one differs from it only in case, as CUPS compares.
std::string UniqueCupsQueueName(std::u16string_view strName, std::vector<std::string>& aTaken);

// The device URI of a printer announced over mDNS, which cupsd resolves
// itself each time it prints: "dnssd://Lab%20p1._ipp._tcp.local/%3Fuuid=..."
// (the '?' encoded too: cupsd decodes the path before it looks for the UUID).
std::string DnssdUri(std::u16string_view strInstance, std::u16string_view strType,
                     std::u16string_view strUuid);

// The URI with every byte a shell could read otherwise percent-encoded, so
// that sh, bash, fish and csh take it as one word unquoted; an IPv6 literal,
// whose brackets cannot be encoded, is put in single quotes.
std::string ShellSafeUri(std::string_view strUri);

struct CupsSetup {
    std::string strQueue;  // a queue name (CupsQueueName)
    std::string strUri;    // the device URI
    std::u16string strLocation;
    std::u16string strMakeAndModel;
    bool bViaCupsFilters = false;  // "-m driverless:URI" (cups-filters) rather than "-m everywhere"
};

// "lpadmin -p NAME -E -v URI -L 'location' -D 'make and model' -m everywhere":
// to print, never to run; the texts single-quoted without the characters
// shells read differently inside quotes (' \ ! and controls).
std::string CupsSetupLine(const CupsSetup& setup);
