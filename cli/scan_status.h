// hvl-scan --status: each listed printer asked over IPP for its state while
// the scan goes on; its table line waits for the answer (or its bound).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipp_status.h"
#include "ipp_status_query.h"
#include "scan_output.h"
#include "scan_row.h"

class CIppStatusRunner;

// Where to ask the row's printer: its mDNS IPP instance, else 631.
StatusTarget StatusTargetForRow(const ScanRow& row, bool bDriverless = false);

// "ip  method  name  url  idle  toner-low (Black Toner 8%)\n"; with
// bDriverless the verdict after it ("ready (ipp-everywhere, pdf)"), then
// indented, a line per reason ("code: sentence") and the setup line.
std::string StatusTableLine(const ScanRow& row, const PrinterStatus& status, bool bDriverless = false);

// "ready", "not ready", or the state of a printer never judged ("no IPP").
std::u16string DriverlessText(const PrinterStatus& status);

// The JSON key "driverless" (null for a row without a status); with
// statuses, the CSV columns driverless, driverless_kinds,
// driverless_reasons (codes joined by ';') and driverless_setup.
std::vector<OutputColumn> DriverlessColumns(
    const std::unordered_map<std::u16string, PrinterStatus>* pStatuses);

// The JSON key "status" (null for a row without one); with statuses, the
// CSV columns state, reasons (joined by ';') and supplies (name=level%).
std::vector<OutputColumn> StatusColumns(const std::unordered_map<std::u16string, PrinterStatus>* pStatuses);

// A row found over SNMP (strSnmpCommunity, the community it answered) is
// asked over SNMP; any other over IPP, then, when IPP told nothing, over SNMP
// with aSnmpCommunities in what is left of the bound (none: not over SNMP).
PrinterStatus QueryRowStatus(const StatusTarget& target, const std::string& strSnmpCommunity,
                             const std::vector<std::string>& aSnmpCommunities,
                             std::chrono::milliseconds bound, const std::atomic<bool>& bCancel);

// Asks each row's printer as QueryRowStatus does, knowing the community of
// each row found over SNMP once it is remembered; callable from any thread.
class CRowStatusQuery {
public:
    explicit CRowStatusQuery(std::vector<std::string> aSnmpCommunities)
        : m_aSnmpCommunities(std::move(aSnmpCommunities)) {}
    void Remember(const ScanRow& row);
    void Forget(const std::u16string& strAddress);
    PrinterStatus operator()(const StatusTarget& target, std::chrono::milliseconds bound,
                             const std::atomic<bool>& bCancel);

private:
    const std::vector<std::string> m_aSnmpCommunities;
    std::mutex m_mutex;  // m_communities
    std::unordered_map<std::string, std::string>
        m_communities;  // address -> community, of rows found over SNMP
};

class CScanStatus {
public:
    // Called for each row once its status is known, on the answering
    // thread, one at a time (may be null).
    using AnswerFn = std::function<void(const ScanRow&, const PrinterStatus&)>;
    // Each row asked as QueryRowStatus asks it.
    CScanStatus(std::chrono::milliseconds bound, AnswerFn fnAnswer, std::vector<std::string> aSnmpCommunities,
                bool bDriverless = false);
    ~CScanStatus();

    // Asks the row's printer; called for each row as it is listed.
    void Ask(const ScanRow& row);
    // Waits up to the timeout for every answer (each bounded); true when all
    // are in. After Cancel they come in at once.
    bool WaitFor(std::chrono::milliseconds timeout);
    void Cancel();

    // Valid after WaitAll(): the statuses by the id the row was asked with.
    const std::unordered_map<std::u16string, PrinterStatus>& GetStatuses() const { return m_mapStatus; }
    // True when every printer answered, none is stopped and none has an error.
    bool AllHealthy() const;

private:
    void OnResult(size_t nId, const PrinterStatus& status);

    const AnswerFn m_fnAnswer;
    const bool m_bDriverless;
    CRowStatusQuery m_query;
    std::mutex m_mutex;  // guards the rows and statuses; never held while m_fnAnswer runs
    std::vector<ScanRow> m_aRows;
    std::unordered_map<std::u16string, PrinterStatus> m_mapStatus;
    std::unique_ptr<CIppStatusRunner> m_pRunner;  // last: its workers use the rest
};
