// The discovery methods, each described once in its own folder: source
// names, hvl-scan's switches and their completion, the messages of a method
// that cannot run, the live scan's sources and the diagnosis are all made
// from DiscoveryMethods().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conv_string.h"
#include "multicast_data_provider.h"

// The row kinds beyond the window's providers (PROVIDER_KIND_MDNS and
// PROVIDER_KIND_UPNP): unicast DNS-SD (hvl-scan --domain), WS-Discovery and
// SNMP (hvl-scan's live scan only).
constexpr int32_t ROW_KIND_UNICAST_DNSSD = 2;
constexpr int32_t ROW_KIND_WSD = 3;
constexpr int32_t ROW_KIND_SNMP = 4;

class CLiveSource;
struct LiveScanSettings;
struct LivenessDatagram;

// One line of hvl-scan --diagnose: "OK ..." or the problem and what to do.
struct DiagnoseLine {
    enum class Level { OK, WARN, FAIL };
    Level nLevel = Level::OK;
    std::string strText;  // the whole line, tag included, without the line break
};

// Appends the line with its tag ("OK   ", "WARN ", "FAIL "). Inline, as
// are the texts below: the methods' folders use them, and the list links them.
inline void AddDiagnoseLine(std::vector<DiagnoseLine>& aLines, DiagnoseLine::Level nLevel,
                            const std::string& strText) {
    static constexpr const char* TAGS[] = {"OK   ", "WARN ", "FAIL "};
    aLines.push_back({nLevel, TAGS[static_cast<int>(nLevel)] + strText});
}

struct DiscoveryMethod {
    int32_t nKind = -1;               // its rows' ScanRow::nKind
    std::u16string_view strSource;    // "mdns": --source, the output's source
    std::u16string_view strName;      // "MDNS": as messages name it
    bool bOnByDefault = false;        // else only when its option asks for it
    const char* pszOption = nullptr;  // "no-wsd" when on by default, "snmp" when not; null: none
    const char* pszOptionHelp = nullptr;
    std::u16string_view strDaemon;  // what its DaemonLost means ("avahi-daemon"); empty: "NAME's daemon"
    // The line (without "hvl-scan: ") told when it cannot run here; null:
    // "NAME discovery is not available on this machine."
    std::string (*pfnUnavailableText)() = nullptr;
    // Its live scan source; null when it has none.
    std::unique_ptr<CLiveSource> (*pfnCreateLiveSource)(const LiveScanSettings&) = nullptr;
    // Its checks of --diagnose (bWhole) and of the note after a scan that
    // found nothing, appended; null when it has none.
    void (*pfnDiagnose)(std::vector<DiagnoseLine>& aLines, bool bWhole) = nullptr;
    // How the watch checks its rows, when not by a TCP connect; null: that.
    const LivenessDatagram* pLiveness = nullptr;
};

// Every method, in the order --help, --diagnose and the live scan take them.
const std::vector<const DiscoveryMethod*>& DiscoveryMethods();
// Null when none has this kind, source text or name.
const DiscoveryMethod* FindMethodByKind(int32_t nKind);
const DiscoveryMethod* FindMethodBySource(std::u16string_view strSource);
const DiscoveryMethod* FindMethodByName(std::u16string_view strName);

// "NAME discovery is not available on this machine" and the reason, if any.
inline std::string UnavailableText(const DiscoveryMethod& method, const char* pszWhy) {
    return Utf16ToUtf8(std::u16string(method.strName)) + " discovery is not available on this machine" +
           pszWhy + ".";
}
std::string UnavailableText(const DiscoveryMethod& method);

// The live sources of the methods the settings switch on, in the list's order.
std::vector<std::unique_ptr<CLiveSource>> CreateLiveSources(const LiveScanSettings& settings);
