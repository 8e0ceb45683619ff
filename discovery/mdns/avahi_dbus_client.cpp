// avahi-daemon's own D-Bus interface behind CDnsSdClient (GDBus).
//
// Every call is asynchronous with a bound of its own and runs on a GLib
// main context private to the calling thread, over a private bus connection
// made for the purpose: a daemon that hangs costs a bound, never a blocked
// thread, and one that dies ends the session's waits with LOST instead of
// taking the process down. Each browser or resolver object is created with
// its *Prepare method and then started; avahi 0.8 sends a resolver's Found
// right after the Prepare reply, before Start, so signals are taken for the
// whole session from the start and kept for an object path not known yet.
// That also lets a resolve with an address be made and started by one
// ServiceResolverNew: half the bus calls when hundreds run at once.
#include <gio/gio.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "avahi_dbus_reply.h"
#include "bounded_bus.h"
#include "dnssd_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr const char* AVAHI_NAME = "org.freedesktop.Avahi";
constexpr const char* AVAHI_SERVER = "org.freedesktop.Avahi.Server";
// Avahi 0.8 offers the *Prepare methods on this interface of the server.
constexpr const char* AVAHI_SERVER2 = "org.freedesktop.Avahi.Server2";
constexpr gint32 AVAHI_IF_UNSPEC = -1;
constexpr gint32 AVAHI_PROTO_UNSPEC = -1;
constexpr gint32 AVAHI_PROTO_INET = 0;  // the window lists IPv4 addresses only
// A resolve gives host and TXT only, as the dns_sd library's does: the A
// record is asked for on its own, so a host without one still resolves.
constexpr guint32 AVAHI_LOOKUP_NO_ADDRESS = 8;

// The bus connection, and every method call.
constexpr Ms CONNECT_BOUND{2000};
constexpr Ms CALL_BOUND{3000};
// The availability check runs on the window's thread: its calls get the
// first bound, its teardown what is left of the second. A process's first
// use of GDBus costs ~10 ms, but ~300-400 ms under ThreadSanitizer on a busy
// machine, so its builds (never shipped) wait longer.
#if defined(__SANITIZE_THREAD__)
constexpr Ms AVAILABILITY_BOUND{1800};
constexpr Ms AVAILABILITY_LIMIT{2000};
#else
constexpr Ms AVAILABILITY_BOUND{430};
constexpr Ms AVAILABILITY_LIMIT{480};
#endif
// A check ended (answered, stopped or timed out) gives back its connection
// within this.
constexpr Ms STOPPED_CHECK_LIMIT{50};

int32_t ErrorOf(const GError* pError) {
    if (pError == nullptr) {
        return DNSSD_ERR_UNKNOWN;
    }
    if (g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        return DNSSD_ERR_TIMEOUT;
    }
    if (g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
        return DNSSD_ERR_SERVICE_NOT_RUNNING;
    }
    return DNSSD_ERR_UNKNOWN;
}

struct CAvahiObject;
using ObjectPtr = std::shared_ptr<CAvahiObject>;

// What one session knows of the daemon's objects. The operations' handles
// and the bus's callbacks share it; the bus runs no callback once the
// session is gone.
struct CAvahiSessionState {
    CBoundedBus* pBus = nullptr;  // null once the session is gone
    // Replies for the next Wait, which alone runs the provider's callbacks
    // (a Browse waiting for its Start runs the context too).
    std::deque<std::function<void()>> ready;
    std::string strOwner;  // avahi-daemon's unique bus name: signals from anyone else are ignored
    // The objects of this session by path, and signals that came for a path
    // before its Prepare reply.
    std::map<std::string, std::weak_ptr<CAvahiObject>> objects;
    std::map<std::string, std::vector<std::pair<std::string, GVariant*>>> early;
    size_t nEarly = 0;
    // Objects let go of: what still comes for them is dropped. Both this and
    // early matter only while a call that makes an object awaits its reply
    // (a signal can only run ahead of such a reply); once none does, both
    // are emptied, so a session that runs for weeks holds only what is open.
    std::set<std::string> ended;
    int nMaking = 0;  // calls that make an object, awaiting their reply

    void Forget(const std::string& strPath) {
        objects.erase(strPath);
        if (nMaking > 0) ended.insert(strPath);
        auto it = early.find(strPath);
        if (it != early.end()) {
            for (auto& [strMember, pBody] : it->second) {
                g_variant_unref(pBody);
            }
            nEarly -= it->second.size();
            early.erase(it);
        }
    }

    void MadeOrFailed() {
        if (--nMaking > 0) return;
        ended.clear();
        for (auto& [strPath, aSignals] : early) {
            for (auto& [strMember, pBody] : aSignals) {
                g_variant_unref(pBody);
            }
        }
        early.clear();
        nEarly = 0;
    }

    ~CAvahiSessionState() {
        for (auto& [strPath, aSignals] : early) {
            for (auto& [strMember, pBody] : aSignals) {
                g_variant_unref(pBody);
            }
        }
    }
};
using SessionStatePtr = std::shared_ptr<CAvahiSessionState>;

// One browser, resolver or record browser object of the daemon.
struct CAvahiObject : std::enable_shared_from_this<CAvahiObject> {
    enum Kind { BROWSE, RESOLVE, RECORD };
    Kind nKind = BROWSE;
    SessionStatePtr pSession;
    std::string strPath;                                 // empty until Prepare answered
    bool bEnded = false;                                 // the provider let go of it
    bool bStarted = false;                               // Start answered
    bool bStartsItself = false;                          // made by a *New method: running once it is made
    bool bAllForNow = false;                             // a browse that tells its AllForNow (BrowseEach)
    Clock::time_point tSent = Clock::time_point::max();  // its making call went out
    int32_t nError = 0;                                  // Prepare or Start failed
    CDnsSdSession::BrowseFn fnBrowse;
    CDnsSdSession::ResolveFn fnResolve;
    CDnsSdSession::RecordFn fnRecord;

    const char* Interface() const {
        switch (nKind) {
            case BROWSE:
                return "org.freedesktop.Avahi.ServiceBrowser";
            case RESOLVE:
                return "org.freedesktop.Avahi.ServiceResolver";
            case RECORD:
                return "org.freedesktop.Avahi.RecordBrowser";
        }
        return "";
    }

    // Queues a reply for the next Wait; by then the provider may have let
    // go of the object, and the reply is dropped.
    template <typename Reply>
    void Post(Reply reply) {
        // Bounded: Wait takes them all, but a Browse waits up to its bound.
        constexpr size_t MAX_READY = 16384;
        if (bEnded || pSession->ready.size() >= MAX_READY) {
            return;
        }
        pSession->ready.push_back([pWeak = weak_from_this(), reply = std::move(reply)] {
            ObjectPtr pObject = pWeak.lock();
            if (pObject != nullptr && !pObject->bEnded) {
                pObject->Hand(reply);
            }
        });
    }
    void Hand(const DnsSdBrowseReply& reply) { fnBrowse(reply); }
    void Hand(const DnsSdResolveReply& reply) { fnResolve(reply); }
    void Hand(const DnsSdRecordReply& reply) { fnRecord(reply); }

    // A failure is a reply with its error, as the dns_sd library gives it.
    void PostError(int32_t nCode) {
        if (nKind == BROWSE) {
            DnsSdBrowseReply reply;
            reply.nError = nCode;
            Post(std::move(reply));
        } else if (nKind == RESOLVE) {
            DnsSdResolveReply reply;
            reply.nError = nCode;
            Post(std::move(reply));
        } else {
            DnsSdRecordReply reply;
            reply.nError = nCode;
            Post(std::move(reply));
        }
    }
};

void FreeObject(CAvahiSessionState& session, const std::string& strPath, const char* pszInterface) {
    if (session.pBus == nullptr || strPath.empty() || session.pBus->IsLost()) {
        return;
    }
    // Best effort, without waiting: the daemon also frees a client's objects
    // when its connection goes.
    session.pBus->SendWithoutReply(AVAHI_NAME, strPath.c_str(), pszInterface, "Free", nullptr);
}

void Deliver(CAvahiObject& object, std::string_view member, GVariant* pBody) {
    if (object.bEnded) {
        return;
    }
    if (member == "Failure") {
        object.PostError(DNSSD_ERR_UNKNOWN);
        return;
    }
    switch (object.nKind) {
        case CAvahiObject::BROWSE: {
            DnsSdBrowseReply reply;
            if ((member == "ItemNew" || member == "ItemRemove") &&
                AvahiBrowseItemToReply(pBody, member == "ItemNew", reply)) {
                object.Post(std::move(reply));
            } else if (member == "AllForNow" && object.bAllForNow) {
                reply.nFlags = DNSSD_BROWSE_ALL_FOR_NOW;
                object.Post(std::move(reply));
            }
            break;  // CacheExhausted says nothing of an instance
        }
        case CAvahiObject::RESOLVE: {
            DnsSdResolveReply reply;
            if (member == "Found" && AvahiResolverFoundToReply(pBody, reply)) {
                object.Post(std::move(reply));
            }
            break;
        }
        case CAvahiObject::RECORD: {
            DnsSdRecordReply reply;
            if (member == "ItemNew" && AvahiRecordItemToReply(pBody, reply)) {
                object.Post(std::move(reply));
            }
            break;
        }
    }
}

// Every signal of avahi's browser and resolver objects, for this session.
void OnObjectSignal(CAvahiSessionState& session, const char* pszSender, const char* pszPath,
                    const char* pszMember, GVariant* pBody) {
    if (pszSender == nullptr || session.strOwner != pszSender || pszPath == nullptr) {
        return;
    }
    const std::string_view member(pszMember != nullptr ? pszMember : "");
    auto it = session.objects.find(pszPath);
    if (it != session.objects.end()) {
        if (ObjectPtr pObject = it->second.lock()) {
            Deliver(*pObject, member, pBody);
        }
        return;
    }
    if (session.nMaking == 0 || session.ended.count(pszPath) != 0) {
        return;
    }
    // Bounded: a daemon that sends for paths this session never asked for
    // cannot make it hold more.
    constexpr size_t MAX_EARLY = 4096;
    if (session.nEarly < MAX_EARLY) {
        ++session.nEarly;
        session.early[pszPath].emplace_back(std::string(member), g_variant_ref(pBody));
    }
}

class CDbusOperation : public CDnsSdOperation {
public:
    explicit CDbusOperation(ObjectPtr pObject) : m_pObject(std::move(pObject)) {}
    Clock::time_point SentAt() const override { return m_pObject->tSent; }
    ~CDbusOperation() override {
        CAvahiObject& object = *m_pObject;
        object.bEnded = true;
        if (!object.strPath.empty()) {
            object.pSession->Forget(object.strPath);
        }
        FreeObject(*object.pSession, object.strPath, object.Interface());
    }

private:
    ObjectPtr m_pObject;
};

// One search's (or one availability check's) use of the daemon, on the
// thread that made it: avahi's objects on top of a bounded bus connection.
class CDbusSession : public CDnsSdSession {
public:
    CDbusSession(int hStopFd, Clock::time_point tConnectDeadline)
        : m_bus(hStopFd), m_pState(std::make_shared<CAvahiSessionState>()) {
        m_pState->pBus = &m_bus;
        GError* pError = nullptr;
        const std::string strAddress = CBoundedBus::SystemBusAddress(&pError);
        if (strAddress.empty()) {
            m_nConnectError = ErrorOf(pError);
            g_clear_error(&pError);
            return;
        }
        if (!m_bus.Connect(strAddress, tConnectDeadline, &pError)) {
            m_nConnectError = pError != nullptr   ? ErrorOf(pError)
                              : m_bus.IsStopped() ? DNSSD_ERR_UNKNOWN
                                                  : DNSSD_ERR_TIMEOUT;
            g_clear_error(&pError);
            return;
        }
        m_bus.Subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                        "/org/freedesktop/DBus", AVAHI_NAME,
                        [this](const char*, const char*, const char*, GVariant* pBody) {
                            const char* pszNewOwner = nullptr;
                            if (g_variant_is_of_type(pBody, G_VARIANT_TYPE("(sss)"))) {
                                g_variant_get(pBody, "(&s&s&s)", nullptr, nullptr, &pszNewOwner);
                            }
                            if (pszNewOwner != nullptr && *pszNewOwner == '\0') {
                                m_bus.MarkLost();
                            }
                        });
        // The daemon sends its objects' signals to this connection alone;
        // they are taken from the daemon's unique name only.
        for (const char* pszInterface :
             {"org.freedesktop.Avahi.ServiceBrowser", "org.freedesktop.Avahi.ServiceResolver",
              "org.freedesktop.Avahi.RecordBrowser"}) {
            m_bus.Subscribe(nullptr, pszInterface, nullptr, nullptr, nullptr,
                            [pState = m_pState](const char* pszSender, const char* pszPath,
                                                const char* pszMember, GVariant* pBody) {
                                OnObjectSignal(*pState, pszSender, pszPath, pszMember, pBody);
                            });
        }
        CBusReply owner;
        m_bus.Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                   g_variant_new("(s)", AVAHI_NAME), G_VARIANT_TYPE("(s)"), tConnectDeadline, owner);
        if (owner.pReply != nullptr) {
            const char* pszOwner = nullptr;
            g_variant_get(owner.pReply, "(&s)", &pszOwner);
            m_pState->strOwner = pszOwner;
        } else {
            m_nConnectError = owner.bAnswered ? ErrorOf(owner.pError) : DNSSD_ERR_TIMEOUT;
        }
    }

    ~CDbusSession() override { m_pState->pBus = nullptr; }

    int32_t Browse(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                   std::unique_ptr<CDnsSdOperation>& pOperation) override {
        return StartBrowse(pszType, pszDomain, AVAHI_PROTO_INET, false, std::move(fnReply), pOperation);
    }

    // Every item on IPv4 and IPv6 with its interface and protocol, and AllForNow.
    int32_t BrowseEach(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                       std::unique_ptr<CDnsSdOperation>& pOperation) override {
        return StartBrowse(pszType, pszDomain, AVAHI_PROTO_UNSPEC, true, std::move(fnReply), pOperation);
    }

    int32_t StartBrowse(const char* pszType, const char* pszDomain, gint32 nProtocol, bool bAllForNow,
                        BrowseFn fnReply, std::unique_ptr<CDnsSdOperation>& pOperation) {
        ObjectPtr pObject = NewObject(CAvahiObject::BROWSE);
        pObject->fnBrowse = std::move(fnReply);
        pObject->bAllForNow = bAllForNow;
        const int32_t nError =
            Prepare(pObject, "ServiceBrowserPrepare",
                    g_variant_new("(iissu)", AVAHI_IF_UNSPEC, nProtocol, pszType, pszDomain, 0u));
        if (nError != 0) {
            return nError;
        }
        if (bAllForNow) {
            // Every browse of a search starts at once: a failure to start
            // comes as a reply with its error, like AllForNow without a name.
            pOperation = std::make_unique<CDbusOperation>(pObject);
            return 0;
        }
        // A browse that does not run is a failure to browse: wait for Start.
        auto pHandle = std::make_unique<CDbusOperation>(pObject);
        const auto outcome = m_bus.RunUntil([&pObject] { return pObject->bStarted || pObject->nError != 0; },
                                            Clock::now() + CALL_BOUND);
        if (!pObject->bStarted && outcome == CBoundedBus::Outcome::STOPPED) {
            // The search has ended: no failure to report, its next Wait says so.
            pOperation = std::move(pHandle);
            return 0;
        }
        if (!pObject->bStarted) {
            return pObject->nError != 0 ? pObject->nError
                   : m_bus.IsLost()     ? DNSSD_ERR_SERVICE_NOT_RUNNING
                                        : DNSSD_ERR_TIMEOUT;
        }
        pOperation = std::move(pHandle);
        return 0;
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain, ResolveFn fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        ObjectPtr pObject = NewObject(CAvahiObject::RESOLVE);
        pObject->fnResolve = std::move(fnReply);
        return Begin(pObject, "ServiceResolverPrepare",
                     g_variant_new("(iisssiu)", AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, pszName, pszType,
                                   pszDomain, AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_ADDRESS),
                     pOperation);
    }

    int32_t ResolveWithAddress(const char* pszName, const char* pszType, const char* pszDomain,
                               int32_t nInterface, int32_t nProtocol, ResolveFn fnReply,
                               std::unique_ptr<CDnsSdOperation>& pOperation) override {
        ObjectPtr pObject = NewObject(CAvahiObject::RESOLVE);
        pObject->fnResolve = std::move(fnReply);
        // The host's address of the protocol it was seen on: asked for any,
        // avahi answers an IPv4 resolve with the AAAA record it also holds
        // there (publish-aaaa-on-ipv4) and keeps to it, so the row would show
        // a link-local address, and keep it when the printer's IPv4 changes.
        pObject->bStartsItself = true;
        return Begin(
            pObject, "ServiceResolverNew",
            g_variant_new("(iisssiu)", nInterface, nProtocol, pszName, pszType, pszDomain, nProtocol, 0u),
            pOperation);
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass, RecordFn fnReply,
                        std::unique_ptr<CDnsSdOperation>& pOperation) override {
        ObjectPtr pObject = NewObject(CAvahiObject::RECORD);
        pObject->fnRecord = std::move(fnReply);
        return Begin(pObject, "RecordBrowserPrepare",
                     g_variant_new("(iisqqu)", AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, pszFullName,
                                   static_cast<guint16>(nClass), static_cast<guint16>(nType), 0u),
                     pOperation);
    }

    DnsSdWait Wait(Clock::time_point tDeadline, int32_t& nError) override {
        CAvahiSessionState& state = *m_pState;
        switch (m_bus.RunUntil([&state] { return !state.ready.empty(); }, tDeadline)) {
            case CBoundedBus::Outcome::DONE: {
                auto aReady = std::move(state.ready);
                state.ready.clear();
                for (auto& fnHand : aReady) {
                    fnHand();
                }
                return DnsSdWait::READY;
            }
            case CBoundedBus::Outcome::STOPPED:
                return DnsSdWait::STOPPED;
            case CBoundedBus::Outcome::LOST:
                nError = DNSSD_ERR_SERVICE_NOT_RUNNING;
                return DnsSdWait::LOST;
            case CBoundedBus::Outcome::TIMEOUT:
                break;
        }
        return DnsSdWait::TIMEOUT;
    }

    // Teardown ends by this time, whatever is still under way.
    void LimitTeardown(Clock::time_point tLimit) { m_bus.LimitTeardown(tLimit); }

    // The daemon's state, for the availability check: 0 when it answered.
    int32_t GetState(Clock::time_point tDeadline) {
        if (m_nConnectError != 0) {
            return m_nConnectError;
        }
        CBusReply state;
        m_bus.Call(AVAHI_NAME, "/", AVAHI_SERVER, "GetState", nullptr, G_VARIANT_TYPE("(i)"), tDeadline,
                   state);
        return state.pReply != nullptr ? 0 : state.bAnswered ? ErrorOf(state.pError) : DNSSD_ERR_TIMEOUT;
    }

private:
    ObjectPtr NewObject(CAvahiObject::Kind nKind) {
        auto pObject = std::make_shared<CAvahiObject>();
        pObject->nKind = nKind;
        pObject->pSession = m_pState;
        return pObject;
    }

    // Sends the *Prepare call (or *New); its reply starts the object.
    int32_t Prepare(const ObjectPtr& pObject, const char* pszMethod, GVariant* pArgs) {
        if (m_nConnectError != 0 || m_bus.IsLost()) {
            g_variant_unref(g_variant_ref_sink(pArgs));
            return m_nConnectError != 0 ? m_nConnectError : DNSSD_ERR_SERVICE_NOT_RUNNING;
        }
        ++m_pState->nMaking;
        m_bus.CallAsync(
            AVAHI_NAME, "/", pObject->bStartsItself ? AVAHI_SERVER : AVAHI_SERVER2, pszMethod, pArgs,
            G_VARIANT_TYPE("(o)"), static_cast<int>(CALL_BOUND.count()),
            [this, pObject](GVariant* pReply, const GError* pError) {
                OnPrepareReply(pObject, pReply, pError);
                m_pState->MadeOrFailed();
            },
            // Let go of before its turn came: the daemon makes nothing.
            [pObject] {
                pObject->tSent = Clock::now();
                return !pObject->bEnded;
            },
            // Made after the bound: nobody takes it, the daemon frees it.
            [pState = m_pState, pObject](GVariant* pReply, const GError*) {
                const char* pszPath = nullptr;
                if (g_variant_is_of_type(pReply, G_VARIANT_TYPE("(o)"))) {
                    g_variant_get(pReply, "(&o)", &pszPath);
                    FreeObject(*pState, pszPath, pObject->Interface());
                }
            });
        return 0;
    }

    void OnPrepareReply(const ObjectPtr& pObject, GVariant* pReply, const GError* pError) {
        CAvahiSessionState& state = *m_pState;
        if (pReply == nullptr) {
            pObject->nError = ErrorOf(pError);
            if (pObject->nKind != CAvahiObject::BROWSE || pObject->bAllForNow) {
                pObject->PostError(pObject->nError);
            }
            return;
        }
        const char* pszPath = nullptr;
        if (g_variant_is_of_type(pReply, G_VARIANT_TYPE("(o)"))) {
            g_variant_get(pReply, "(&o)", &pszPath);
            pObject->strPath = pszPath;
        }
        if (pObject->strPath.empty()) {
            pObject->nError = DNSSD_ERR_UNKNOWN;
            pObject->PostError(pObject->nError);
            return;
        }
        if (pObject->bEnded) {
            state.Forget(pObject->strPath);
            FreeObject(state, pObject->strPath, pObject->Interface());
            return;
        }
        state.objects[pObject->strPath] = pObject;
        auto itEarly = state.early.find(pObject->strPath);
        if (itEarly != state.early.end()) {
            auto aSignals = std::move(itEarly->second);
            state.nEarly -= aSignals.size();
            state.early.erase(itEarly);
            for (auto& [strMember, pBody] : aSignals) {
                Deliver(*pObject, strMember, pBody);
                g_variant_unref(pBody);
            }
        }
        if (pObject->bStartsItself) {
            pObject->bStarted = true;
            return;
        }
        m_bus.CallAsync(
            AVAHI_NAME, pObject->strPath.c_str(), pObject->Interface(), "Start", nullptr, nullptr,
            static_cast<int>(CALL_BOUND.count()),
            [pObject](GVariant* pStarted, const GError* pFailure) {
                if (pStarted != nullptr) {
                    pObject->bStarted = true;
                    return;
                }
                pObject->nError = ErrorOf(pFailure);
                if (pObject->nKind != CAvahiObject::BROWSE || pObject->bAllForNow) {
                    pObject->PostError(pObject->nError);
                }
            },
            [pObject] { return !pObject->bEnded; });
    }

    int32_t Begin(const ObjectPtr& pObject, const char* pszMethod, GVariant* pArgs,
                  std::unique_ptr<CDnsSdOperation>& pOperation) {
        const int32_t nError = Prepare(pObject, pszMethod, pArgs);
        if (nError == 0) {
            pOperation = std::make_unique<CDbusOperation>(pObject);
        }
        return nError;
    }

    // Declared first: torn down last, after every handle of this session.
    CBoundedBus m_bus;
    SessionStatePtr m_pState;
    int32_t m_nConnectError = 0;
};

class CDbusClient : public CDnsSdClient {
public:
    int32_t CheckService() override {
        const auto tStart = Clock::now();
        CDbusSession session(-1, tStart + AVAILABILITY_BOUND);
        session.LimitTeardown(tStart + AVAILABILITY_LIMIT);
        return session.GetState(tStart + AVAILABILITY_BOUND);
    }

    int32_t CheckServiceUntilStop(int hStopFd, Ms bound) override {
        // Off the window's thread: a slow daemon is given the bound asked
        // for, and a stop ends the check at once.
        const auto tStart = Clock::now();
        CDbusSession session(hStopFd, tStart + bound);
        const int32_t nState = session.GetState(tStart + bound);
        session.LimitTeardown(Clock::now() + STOPPED_CHECK_LIMIT);
        return nState;
    }

    std::unique_ptr<CDnsSdSession> OpenSession(int hStopFd) override {
        return std::make_unique<CDbusSession>(hStopFd, Clock::now() + CONNECT_BOUND);
    }
};

}  // namespace

std::unique_ptr<CDnsSdClient> CreateSystemDnsSdClient() {
    return std::make_unique<CDbusClient>();
}

const char* MdnsBackendName() {
    return "dbus";
}
