// hvl-scan --watch: the live scan kept running, a line (or a JSON object)
// per printer listed, gone or changed, as it happens.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipp_status.h"
#include "live_watch.h"
#include "scan_options.h"
#include "scan_output.h"
#include "scan_serve.h"

// "2026-12-09 03:14:07  +  <table line>", with "  (goodbye)" after a
// removal and "  (changed: url, model)" after a change; "  unreachable"
// after the line of a printer that does not answer.
std::string WatchEventLine(const WatchEvent& event);

// One line of JSON Lines: {"event", "time", "reason", "changed", "row"}, the
// row as --json writes it (aColumns).
std::string WatchEventJson(const WatchEvent& event, const std::vector<OutputColumn>& aColumns);

// What changed between two statuses of one printer: "state", "reasons" (the
// most severe one), "supplies" (which are at or below their low mark).
std::vector<std::string> ChangedStatus(const PrinterStatus& before, const PrinterStatus& after);

struct WatchHooks {
    std::function<bool()> fnStopAsked;
    std::function<void(const std::u16string&)> fnUnavailable;
    std::function<bool(const ScanRow&)> fnFilter;  // null: every row
    CServedWatch* pServed = nullptr;               // --serve: told every event and status
    // Started once the watch runs (--publish), with a way to read its rows;
    // what it returns is let go when the watch ends.
    std::function<std::shared_ptr<void>(std::function<std::vector<ScanRow>()>)> fnBeside;
    std::function<void()> fnRowsChanged;  // after each event (--publish); null: none told
    // A method cannot work (unavailable, its daemon gone) or works again (--publish).
    std::function<void(const std::u16string&, bool bWorks)> fnMethodWorks;
};

struct WatchOutcome {
    bool bNothingCanWork = false;  // methods were switched on, none could run
    bool bOutputFailed = false;
};

// Watches until stopped or until args' --timeout.
WatchOutcome RunWatch(const ScanOptions& args, const LiveScanSettings& settings, const WatchHooks& hooks);
