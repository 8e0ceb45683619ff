#include "live_scan.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "glib_types.h"

LiveRunResult RunLiveSources(const LiveSourceArray& aSources, CLiveRowSink& sink,
                             std::chrono::steady_clock::time_point tDeadline,
                             const std::function<bool()>& fnStopAsked,
                             const std::function<void(const std::u16string&)>& fnUnavailable,
                             const std::function<void()>& fnTick, std::chrono::milliseconds retryEvery) {
    using Clock = std::chrono::steady_clock;
    LiveRunResult result;
    std::mutex mutexDone;  // the five below, the result's lists, fnUnavailable's calls
    std::condition_variable cvDone;
    size_t nDone = 0;
    size_t nWaiting = 0;  // to be run again
    size_t nFailed = 0;   // done, never having worked
    bool bEnding = false;
    SetUpGLibTypes();
    std::vector<std::thread> aThreads;
    for (const auto& pSource : aSources) {
        ++result.nEnabled;
        CLiveSource* p = pSource.get();
        aThreads.emplace_back([&, p] {
            int32_t nCode = p->Run(sink);
            std::unique_lock<std::mutex> lock(mutexDone);
            for (bool bSaid = false; nCode != 0; bSaid = true) {
                if (!bSaid && fnUnavailable) fnUnavailable(p->GetName());
                if (retryEvery.count() <= 0 || !p->CanRunAgain()) break;
                ++nWaiting;
                cvDone.notify_all();
                cvDone.wait_for(lock, retryEvery, [&bEnding] { return bEnding; });
                --nWaiting;
                if (bEnding) break;
                lock.unlock();
                nCode = p->Run(sink);
                lock.lock();
            }
            if (nCode != 0) {
                result.aUnavailable.push_back(p->GetName());
                ++nFailed;
            }
            ++nDone;
            cvDone.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutexDone);
        // Done when every source is, or when none has worked and some wait to
        // be tried again.
        while (nDone < aThreads.size() && !(nWaiting > 0 && nFailed + nWaiting == aThreads.size())) {
            if ((fnStopAsked && fnStopAsked()) || Clock::now() >= tDeadline) {
                result.bStopped = true;
                break;
            }
            cvDone.wait_until(lock, std::min(tDeadline, Clock::now() + std::chrono::milliseconds(20)));
            if (fnTick) {
                lock.unlock();
                fnTick();
                lock.lock();
            }
        }
        bEnding = true;
        cvDone.notify_all();
    }
    if (result.bStopped) {
        for (const auto& pSource : aSources) pSource->Stop();
    }
    for (std::thread& thread : aThreads) thread.join();
    for (const auto& pSource : aSources) result.nMdnsInstances += pSource->GetMdnsInstances();
    result.nAvailable = result.nEnabled - static_cast<int32_t>(result.aUnavailable.size());
    return result;
}
