// Worker threads are started as queries arrive, up to the limit, and all
// end when the runner does.
#include "ipp_status_runner.h"

#include "conv_string.h"

namespace {

// A query given up before it was sent: no answer is missing.
PrinterStatus NotAskedStatus(const StatusTarget& target) {
    PrinterStatus status;
    status.nState = PrinterState::NotAsked;
    status.strUri = Utf8ToUtf16(StatusUri(target, 0));
    return status;
}

}  // namespace

CIppStatusRunner::CIppStatusRunner(ResultCallback fnResult, std::chrono::milliseconds bound,
                                   size_t nMaxParallel, QueryFunction fnQuery)
    : m_fnResult(std::move(fnResult)),
      m_fnQuery(std::move(fnQuery)),
      m_bound(bound),
      m_nMaxParallel(nMaxParallel > 0 ? nMaxParallel : 1) {}

CIppStatusRunner::~CIppStatusRunner() {
    Cancel();
    {
        std::lock_guard lock(m_mutex);
        m_bClosing = true;
    }
    m_cvWork.notify_all();
    for (std::thread& worker : m_aWorkers) worker.join();
}

void CIppStatusRunner::Add(size_t nId, StatusTarget target) {
    if (m_bCancel.load()) {
        Report(nId, NotAskedStatus(target));
        return;
    }
    std::lock_guard lock(m_mutex);
    m_queue.push_back({nId, std::move(target)});
    ++m_nPending;
    // An idle worker that was woken takes one job, but counts as idle until
    // it has the lock again: more queued jobs than idle workers need more.
    if (m_queue.size() > m_nIdle && m_aWorkers.size() < m_nMaxParallel) {
        m_aWorkers.emplace_back(&CIppStatusRunner::WorkerLoop, this);
    } else {
        m_cvWork.notify_one();
    }
}

void CIppStatusRunner::WaitAll() {
    std::unique_lock lock(m_mutex);
    m_cvDone.wait(lock, [this] { return m_nPending == 0; });
}

bool CIppStatusRunner::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_cvDone.wait_for(lock, timeout, [this] { return m_nPending == 0; });
}

void CIppStatusRunner::Cancel() {
    m_bCancel.store(true);
    std::deque<Job> queue;
    {
        std::lock_guard lock(m_mutex);
        queue.swap(m_queue);
    }
    for (const Job& job : queue) {
        Report(job.nId, NotAskedStatus(job.target));
        std::lock_guard lock(m_mutex);
        --m_nPending;
    }
    m_cvDone.notify_all();
}

void CIppStatusRunner::Report(size_t nId, const PrinterStatus& status) {
    std::lock_guard lock(m_mutexReport);
    m_fnResult(nId, status);
}

void CIppStatusRunner::WorkerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_nIdle;
        m_cvWork.wait(lock, [this] { return m_bClosing || !m_queue.empty(); });
        --m_nIdle;
        if (m_queue.empty()) return;  // closing
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        const PrinterStatus status = m_fnQuery(job.target, m_bound, m_bCancel);
        Report(job.nId, status);
        lock.lock();
        if (--m_nPending == 0) m_cvDone.notify_all();
    }
}
