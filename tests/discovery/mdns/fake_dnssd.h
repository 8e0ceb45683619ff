// A scripted DNS-SD client for the provider's unit tests. Each operation's
// replies come at scripted times after its start, delivered inside the
// session's Wait as the real clients deliver them; a resolve or query
// without a script never answers. The service can be scripted to go away.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// What the client will do; shared between the test and the client.
struct Script {
    std::mutex cs;
    int32_t nCheckResult = 0;
    int nChecks = 0;
    std::map<std::string, int32_t> browseStartError;                       // type -> error
    std::map<std::string, std::vector<BrowseEvent>> browse;                // type -> events
    std::map<std::pair<std::string, std::string>, ResolveScript> resolve;  // (instance, type)
    std::map<std::string, int32_t> resolveStartError;                      // instance -> error
    bool bRefuseOnce = false;                     // each resolveStartError refuses the first resolve only
    std::map<std::string, int> resolveSilentFor;  // instance -> how many of its first resolves never answer
    std::map<std::string, RecordScript> records;  // host target
    std::optional<Ms> lostAt;                     // the service goes away this long after the search began
    Ms browseStartDelay{0};                       // each BrowseEach returns this late (a slow daemon)
    std::function<void()> onWait;                 // runs at each Wait, on the search's thread
    std::vector<Call> calls;
    int nOpenOperations = 0;
    int nMostOpen = 0;  // the most operations open at one time

    void Record(std::string a, std::string b, std::string c) {
        std::lock_guard<std::mutex> lock(cs);
        calls.push_back({std::move(a), std::move(b), std::move(c), Clock::now()});
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(cs);
        return calls;
    }
};

class Session;

class Operation : public CDnsSdOperation {
public:
    struct Event {
        Ms at;
        std::function<void()> fnDeliver;  // empty: a wake without a callback
    };
    Operation(Session& session, std::deque<Event> aEvents);
    ~Operation() override;

    Clock::time_point Due() const { return m_tStart + m_aEvents.front().at; }
    bool HasEvent() const { return !m_aEvents.empty(); }
    Event Pop() {
        Event e = std::move(m_aEvents.front());
        m_aEvents.pop_front();
        return e;
    }

private:
    Session& m_session;
    Clock::time_point m_tStart = Clock::now();
    std::deque<Event> m_aEvents;
};

class Session : public CDnsSdSession {
public:
    Session(std::shared_ptr<Script> pScript, int hStopFd)
        : m_pScript(std::move(pScript)), m_hStopFd(hStopFd) {}

    int32_t Browse(const char* pszType, const char* pszDomain, BrowseFn fnReply,
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
        std::stable_sort(aEvents.begin(), aEvents.end(),
                         [](const auto& a, const auto& b) { return a.at < b.at; });
        return Open(std::move(aEvents), pOperation);
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char*, ResolveFn fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        m_pScript->Record("resolve", pszName, pszType);
        std::deque<Operation::Event> aEvents;
        {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            auto itError = m_pScript->resolveStartError.find(pszName);
            if (itError != m_pScript->resolveStartError.end()) {
                const int32_t nError = itError->second;
                if (m_pScript->bRefuseOnce) m_pScript->resolveStartError.erase(itError);
                return nError;
            }
            auto it = m_pScript->resolve.find({pszName, pszType});
            if (m_pScript->resolveSilentFor[pszName]-- > 0) it = m_pScript->resolve.end();
            if (it != m_pScript->resolve.end()) {
                aEvents.push_back({it->second.at, [fnReply, reply = it->second.reply] { fnReply(reply); }});
            }
        }
        return Open(std::move(aEvents), pOperation);
    }

    int32_t BrowseEach(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                       std::unique_ptr<CDnsSdOperation>& pOperation) override {
        std::this_thread::sleep_for(m_pScript->browseStartDelay);
        return Browse(pszType, pszDomain, std::move(fnReply), pOperation);
    }

    // Scripted under the type with the protocol, e.g. "_printer._tcp@1".
    int32_t ResolveWithAddress(const char* pszName, const char* pszType, const char* pszDomain, int32_t,
                               int32_t nProtocol, ResolveFn fnReply,
                               std::unique_ptr<CDnsSdOperation>& pOperation) override {
        const std::string strType = pszType + ("@" + std::to_string(nProtocol));
        return Resolve(pszName, strType.c_str(), pszDomain, std::move(fnReply), pOperation);
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t, uint16_t, RecordFn fnReply,
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
        return Open(std::move(aEvents), pOperation);
    }

    DnsSdWait Wait(Clock::time_point tDeadline, int32_t& nError) override {
        if (m_pScript->onWait) m_pScript->onWait();
        for (;;) {
            const auto tNow = Clock::now();
            if (IsLost(tNow)) {
                nError = DNSSD_ERR_SERVICE_NOT_RUNNING;
                return DnsSdWait::LOST;
            }
            Operation* pNext = nullptr;
            for (Operation* pOp : m_aOpen) {
                if (pOp->HasEvent() && (pNext == nullptr || pOp->Due() < pNext->Due())) {
                    pNext = pOp;
                }
            }
            if (pNext != nullptr && pNext->Due() <= tNow) {
                Operation::Event e = pNext->Pop();
                if (e.fnDeliver) {
                    e.fnDeliver();
                }
                return DnsSdWait::READY;
            }
            if (tDeadline <= tNow) {
                return DnsSdWait::TIMEOUT;
            }
            auto tWake = pNext != nullptr ? std::min(pNext->Due(), tDeadline) : tDeadline;
            if (m_pScript->lostAt) {
                tWake = std::min(tWake, m_tOpened + *m_pScript->lostAt);
            }
            pollfd pfd{m_hStopFd, POLLIN, 0};
            const auto nMs = std::chrono::ceil<Ms>(tWake - tNow).count();
            if (poll(&pfd, 1, static_cast<int>(std::max<long long>(nMs, 0))) > 0) {
                return DnsSdWait::STOPPED;
            }
        }
    }

    void Forget(Operation* pOp) {
        m_aOpen.erase(std::remove(m_aOpen.begin(), m_aOpen.end(), pOp), m_aOpen.end());
        std::lock_guard<std::mutex> lock(m_pScript->cs);
        --m_pScript->nOpenOperations;
    }

private:
    bool IsLost(Clock::time_point tNow) const {
        return m_pScript->lostAt && tNow >= m_tOpened + *m_pScript->lostAt;
    }

    int32_t Open(std::deque<Operation::Event> aEvents, std::unique_ptr<CDnsSdOperation>& pOperation) {
        if (IsLost(Clock::now())) {
            return DNSSD_ERR_SERVICE_NOT_RUNNING;
        }
        auto pOp = std::make_unique<Operation>(*this, std::move(aEvents));
        m_aOpen.push_back(pOp.get());
        {
            std::lock_guard<std::mutex> lock(m_pScript->cs);
            ++m_pScript->nOpenOperations;
            m_pScript->nMostOpen = std::max(m_pScript->nMostOpen, m_pScript->nOpenOperations);
        }
        pOperation = std::move(pOp);
        return 0;
    }

    std::shared_ptr<Script> m_pScript;
    const int m_hStopFd;
    const Clock::time_point m_tOpened = Clock::now();
    std::vector<Operation*> m_aOpen;
};

inline Operation::Operation(Session& session, std::deque<Event> aEvents)
    : m_session(session), m_aEvents(std::move(aEvents)) {}

inline Operation::~Operation() {
    m_session.Forget(this);
}

class Client : public CDnsSdClient {
public:
    explicit Client(std::shared_ptr<Script> pScript) : m_pScript(std::move(pScript)) {}

    int32_t CheckService() override {
        std::lock_guard<std::mutex> lock(m_pScript->cs);
        ++m_pScript->nChecks;
        return m_pScript->nCheckResult;
    }

    std::unique_ptr<CDnsSdSession> OpenSession(int hStopFd) override {
        return std::make_unique<Session>(m_pScript, hStopFd);
    }

private:
    std::shared_ptr<Script> m_pScript;
};

}  // namespace fake
