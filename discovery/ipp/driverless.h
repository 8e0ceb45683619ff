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

// The verdict on a successful reply; nIppVersion is the version the printer
// answered (20 for 2.0, 11 for 1.1).
DriverlessVerdict JudgeDriverless(ipp_t* pResponse, int nIppVersion);
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
// "lpadmin -p NAME -E -v URI -m everywhere", the URI quoted for a shell when
// it needs to be: to print, never to run.
std::string CupsSetupLine(std::u16string_view strName, std::string_view strUri);
