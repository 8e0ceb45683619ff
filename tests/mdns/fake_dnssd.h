// A scripted dns_sd library for the provider's unit tests. Each operation's
// replies come at scripted times through a timerfd, so the provider sees a
// descriptor that becomes readable as the real one does; a reply or query
// without a script never answers. ProcessResult on a descriptor that is not
// readable would hang the real library for good: the fake counts it.
#pragma once

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dnssd_client.h"

namespace fake {

using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct BrowseEvent {
    Ms at{0};
    bool bWakeOnly = false;  // the descriptor wakes, no callback
    DnsSdBrowseReply reply;
};

inline BrowseEvent Found(std::string strName, int nAtMs = 0) {
    BrowseEvent e;
    e.at = Ms(nAtMs);
    e.reply.nFlags = 0x2;
    e.reply.bHasName = true;
    e.reply.strName = std::move(strName);
    return e;
}

inline BrowseEvent Wake(int nAtMs) {
    BrowseEvent e;
    e.at = Ms(nAtMs);
    e.bWakeOnly = true;
    return e;
}

struct ResolveScript {
    Ms at{1};
    DnsSdResolveReply reply;
};

struct RecordScript {
    Ms at{1};
    DnsSdRecordReply reply;
};

inline std::string Txt(const std::vector<std::string>& aItems) {
    std::string s;
    for (const std::string& item : aItems) {
        s.push_back(static_cast<char>(item.size()));
        s += item;
    }
    return s;
}

inline ResolveScript Resolved(const std::string& strFull, const std::string& strHost,
                              std::string strTxt = {}) {
    ResolveScript r;
    r.reply.strFullName = strFull;
    r.reply.strHostTarget = strHost;
    r.reply.strTxt = std::move(strTxt);
    return r;
}

inline RecordScript Address(std::string strBytes) {
    RecordScript r;
    r.reply.nType = 1;
    r.reply.nClass = 1;
    r.reply.strData = std::move(strBytes);
    return r;
}

struct Call {
    std::string strWhat;  // "browse", "resolve", "query"
    std::string strArg1;  // type, instance or host
    std::string strArg2;  // -, type, -
    Clock::time_point t;
};

// What the library will do; shared between the test and the client.
struct Script {
    std::mutex cs;
    int32_t nCheckResult = 0;
    int nChecks = 0;
    std::map<std::string, int32_t> browseStartError;                       // type -> error
    std::map<std::string, std::vector<BrowseEvent>> browse;                // type -> events
    std::map<std::pair<std::string, std::string>, ResolveScript> resolve;  // (instance, type)
    std::map<std::string, RecordScript> records;                           // host target
    std::vector<Call> calls;
    int nBlockingProcessCalls = 0;  // ProcessResult with nothing readable
    int nOpenOperations = 0;

    void Record(std::string a, std::string b, std::string c) {
        std::lock_guard<std::mutex> lock(cs);
        calls.push_back({std::move(a), std::move(b), std::move(c), Clock::now()});
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(cs);
        return calls;
    }
};

class Operation : public CDnsSdOperation {
public:
    Operation(std::shared_ptr<Script> pScript) : m_pScript(std::move(pScript)) {
        m_hTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        m_tStart = Clock::now();
        std::lock_guard<std::mutex> lock(m_pScript->cs);
        ++m_pScript->nOpenOperations;
    }
    ~Operation() override {
        close(m_hTimer);
        std::lock_guard<std::mutex> lock(m_pScript->cs);
        --m_pScript->nOpenOperations;
    }

    // Events sorted by time; each is one readiness of the descriptor.
    struct Event {
        Ms at;
        std::function<void()> fnDeliver;  // empty: a wake without a callback
    };
    void Start(std::deque<Event> aEvents) {
        m_aEvents = std::move(aEvents);
        Arm();
    }

    int GetFd() const override { return m_hTimer; }

    int32_t ProcessResult() override {
        pollfd pfd{m_hTimer, POLLIN, 0};
        if (poll(&pfd, 1, 0) != 1) {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            ++m_pScript->nBlockingProcessCalls;
            return -65537;  // the real library would never return
        }
        uint64_t nExpirations = 0;
        ssize_t n = read(m_hTimer, &nExpirations, sizeof(nExpirations));
        (void)n;
        Event e = std::move(m_aEvents.front());
        m_aEvents.pop_front();
        Arm();
        if (e.fnDeliver) {
            e.fnDeliver();
        }
        return 0;
    }

private:
    void Arm() {
        itimerspec when{};
        if (!m_aEvents.empty()) {
            auto tDue = m_tStart + m_aEvents.front().at;
            auto nLeft = std::chrono::duration_cast<std::chrono::nanoseconds>(tDue - Clock::now()).count();
            if (nLeft < 1000) {
                nLeft = 1000;
            }
            when.it_value.tv_sec = nLeft / 1000000000;
            when.it_value.tv_nsec = nLeft % 1000000000;
        }
        timerfd_settime(m_hTimer, 0, &when, nullptr);
    }

    std::shared_ptr<Script> m_pScript;
    int m_hTimer = -1;
    Clock::time_point m_tStart;
    std::deque<Event> m_aEvents;
};

class Client : public CDnsSdClient {
public:
    explicit Client(std::shared_ptr<Script> pScript) : m_pScript(std::move(pScript)) {}

    int32_t CheckService() override {
        std::lock_guard<std::mutex> lock(m_pScript->cs);
        ++m_pScript->nChecks;
        return m_pScript->nCheckResult;
    }

    int32_t Browse(const char* pszType, const char* pszDomain,
                   std::function<void(const DnsSdBrowseReply&)> fnReply,
                   std::unique_ptr<CDnsSdOperation>& pOperation) override {
        m_pScript->Record("browse", pszType, pszDomain);
        std::deque<Operation::Event> aEvents;
        {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            auto itError = m_pScript->browseStartError.find(pszType);
            if (itError != m_pScript->browseStartError.end()) {
                return itError->second;
            }
            for (const BrowseEvent& e : m_pScript->browse[pszType]) {
                if (e.bWakeOnly) {
                    aEvents.push_back({e.at, {}});
                } else {
                    aEvents.push_back({e.at, [fnReply, reply = e.reply] { fnReply(reply); }});
                }
            }
        }
        auto pOp = std::make_unique<Operation>(m_pScript);
        pOp->Start(std::move(aEvents));
        pOperation = std::move(pOp);
        return 0;
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char*,
                    std::function<void(const DnsSdResolveReply&)> fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        m_pScript->Record("resolve", pszName, pszType);
        std::deque<Operation::Event> aEvents;
        {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            auto it = m_pScript->resolve.find({pszName, pszType});
            if (it != m_pScript->resolve.end()) {
                aEvents.push_back({it->second.at, [fnReply, reply = it->second.reply] { fnReply(reply); }});
            }
        }
        auto pOp = std::make_unique<Operation>(m_pScript);
        pOp->Start(std::move(aEvents));
        pOperation = std::move(pOp);
        return 0;
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t, uint16_t,
                        std::function<void(const DnsSdRecordReply&)> fnReply,
                        std::unique_ptr<CDnsSdOperation>& pOperation) override {
        m_pScript->Record("query", pszFullName, "");
        std::deque<Operation::Event> aEvents;
        {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            auto it = m_pScript->records.find(pszFullName);
            if (it != m_pScript->records.end()) {
                aEvents.push_back({it->second.at, [fnReply, reply = it->second.reply] { fnReply(reply); }});
            }
        }
        auto pOp = std::make_unique<Operation>(m_pScript);
        pOp->Start(std::move(aEvents));
        pOperation = std::move(pOp);
        return 0;
    }

private:
    std::shared_ptr<Script> m_pScript;
};

}  // namespace fake
