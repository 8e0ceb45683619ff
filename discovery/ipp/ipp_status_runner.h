// Asks many printers for their status at once: up to a fixed number of
// queries run side by side, each under its own bound, so a printer that does
// not answer never delays another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ipp_status_query.h"

class CIppStatusRunner {
public:
    static constexpr size_t MAX_PARALLEL = 32;

    // Called once per added query, from a worker thread, one call at a time.
    using ResultCallback = std::function<void(size_t nId, const PrinterStatus& status)>;
    using QueryFunction = std::function<PrinterStatus(
        const StatusTarget& target, std::chrono::milliseconds bound, const std::atomic<bool>& bCancel)>;

    CIppStatusRunner(ResultCallback fnResult, std::chrono::milliseconds bound,
                     size_t nMaxParallel = MAX_PARALLEL, QueryFunction fnQuery = QueryPrinterStatus);
    ~CIppStatusRunner();  // cancels what still runs and waits for it
    CIppStatusRunner(const CIppStatusRunner&) = delete;
    CIppStatusRunner& operator=(const CIppStatusRunner&) = delete;

    // Queues a query; its bound starts when a worker takes it up. Thread-safe.
    void Add(size_t nId, StatusTarget target);

    // Waits until every query added so far has reported.
    void WaitAll();
    // The same, for at most the timeout; true when everything has reported.
    bool WaitFor(std::chrono::milliseconds timeout);

    // Queries still queued (and any added later) report NotAsked at once;
    // running ones end at their next check (a fraction of a second).
    void Cancel();

private:
    struct Job {
        size_t nId;
        StatusTarget target;
    };
    void WorkerLoop();
    void Report(size_t nId, const PrinterStatus& status);

    const ResultCallback m_fnResult;
    const QueryFunction m_fnQuery;
    const std::chrono::milliseconds m_bound;
    const size_t m_nMaxParallel;
    std::atomic<bool> m_bCancel{false};

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_cvWork;
    std::condition_variable m_cvDone;
    std::deque<Job> m_queue;
    std::vector<std::thread> m_aWorkers;
    size_t m_nIdle = 0;
    size_t m_nPending = 0;  // added and not yet reported
    bool m_bClosing = false;

    std::mutex m_mutexReport;  // one result callback at a time
};
