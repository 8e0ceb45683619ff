// hvl-scan --domain: the unicast DNS-SD browse on a thread of its own, beside
// whichever scan engine runs, its printers handed over as rows.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "scan_row.h"
#include "unicast_browser.h"

// The types browsed in each domain: the window's two, with --ipp the IPP ones.
std::vector<std::string> UnicastTypes(bool bIpp);

ScanRow ScanRowFromUnicast(const UnicastPrinter& printer);

// "domain: text" for stderr: names come from the network, so control and
// reordering characters become '?'.
std::string PrintableProblem(const UnicastProblem& problem);

// The browse options of --domain values: "auto" asks the network.
UnicastOptions UnicastOptionsFor(const std::vector<std::string>& aDomains, bool bIpp);

class CUnicastScan {
public:
    using RowFn = std::function<void(const ScanRow&)>;
    using ProblemFn = std::function<void(const UnicastProblem&)>;

    // Starts the browse at once; fnRow and fnProblem run on its thread.
    CUnicastScan(UnicastOptions options, RowFn fnRow, ProblemFn fnProblem);
    // Stops and waits for the thread.
    ~CUnicastScan();
    CUnicastScan(const CUnicastScan&) = delete;
    CUnicastScan& operator=(const CUnicastScan&) = delete;

    // Waits until the browse has ended, fnStop() holds or tDeadline passes;
    // then ends it and joins. Each query is bounded, so a browse ends by
    // itself within a few of its bounds.
    void WaitThenStop(std::chrono::steady_clock::time_point tDeadline, const std::function<bool()>& fnStop);
    // After WaitThenStop: the browse ran to its end without reaching any DNS
    // server (none configured, none reachable), so nothing was browsed.
    bool ReachedNoServer() const { return m_bReachedNoServer.load(); }

private:
    int m_hStopFd = -1;
    std::atomic<bool> m_bDone{false};
    std::atomic<bool> m_bReachedNoServer{false};
    std::thread m_thread;
};
