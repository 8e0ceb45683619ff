// hvl-scan --diagnose: why a scan may find nothing, checked without sending
// anything on the network. Each check gives one line: "OK ..." or the
// problem and what to do about it.
#pragma once

#include <string>
#include <vector>

struct DiagnoseLine {
    enum class Level { OK, WARN, FAIL };
    Level nLevel = Level::OK;
    std::string strText;  // the whole line, without the line break
};

struct DiagnoseReport {
    std::vector<DiagnoseLine> aLines;  // in the order the checks ran
    bool bMdnsCanWork = false;
    bool bUpnpCanWork = false;
};

// Runs every check. Each call to the bus or avahi-daemon is bounded by
// DIAGNOSE_BUS_TIMEOUT_MS; hvl.cfg is read from the current directory.
DiagnoseReport RunDiagnose();

// The system bus and avahi-daemon on it alone (two lines): whether mDNS can
// reach the daemon.
bool DiagnoseBusAndAvahi(DiagnoseReport& report);

constexpr int DIAGNOSE_BUS_TIMEOUT_MS = 1000;
