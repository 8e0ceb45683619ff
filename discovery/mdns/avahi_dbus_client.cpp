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
#include <gio/gio.h>
#include <glib-unix.h>

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <utility>

#include "avahi_dbus_reply.h"
#include "dnssd_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr const char* AVAHI_NAME = "org.freedesktop.Avahi";
constexpr const char* AVAHI_SERVER = "org.freedesktop.Avahi.Server";
// Avahi 0.8 offers the *Prepare methods on this interface of the server.
constexpr const char* AVAHI_SERVER2 = "org.freedesktop.Avahi.Server2";
constexpr gint32 AVAHI_IF_UNSPEC = -1;
constexpr gint32 AVAHI_PROTO_INET = 0;  // the locator lists IPv4 addresses only
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
// Teardown: the time given to cancelled calls to come back.
constexpr Ms DRAIN_BOUND{100};

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

// The GLib side of one session. Callbacks hold it by a shared pointer, so a
// callback that comes after the session has gone finds it still there, and
// closed.
struct CCore {
    GMainContext* pContext = nullptr;
    GDBusConnection* pConnection = nullptr;
    GCancellable* pCancellable = g_cancellable_new();
    int32_t nConnectError = 0;
    bool bConnecting = false;
    int32_t nLostError = 0;  // the daemon or the bus went away
    bool bClosed = false;
    bool bStopSeen = false;
    bool bDelivered = false;  // a reply reached the provider since the last look
    int nOutstanding = 0;     // calls whose completion has not run yet
    std::string strOwner;     // avahi-daemon's unique bus name: signals from anyone else are ignored
    // The objects of this session by path, and signals that came for a path
    // before its Prepare reply.
    std::map<std::string, std::weak_ptr<struct COpState>> ops;
    std::map<std::string, std::vector<std::pair<std::string, GVariant*>>> early;
    size_t nEarly = 0;
    std::set<std::string> ended;  // objects let go of: what still comes for them is dropped

    void End(const std::string& strPath) {
        ops.erase(strPath);
        ended.insert(strPath);
        auto it = early.find(strPath);
        if (it != early.end()) {
            for (auto& [strMember, pBody] : it->second) {
                g_variant_unref(pBody);
            }
            nEarly -= it->second.size();
            early.erase(it);
        }
    }

    CCore() : pContext(g_main_context_new()) {}
    ~CCore() {
        for (auto& [strPath, aSignals] : early) {
            for (auto& [strMember, pBody] : aSignals) {
                g_variant_unref(pBody);
            }
        }
        if (pConnection != nullptr) {
            g_object_unref(pConnection);
        }
        g_object_unref(pCancellable);
        g_main_context_unref(pContext);
    }
};
using CorePtr = std::shared_ptr<CCore>;

// A heap copy of a shared pointer, for GLib's user data.
template <typename T>
gpointer Hold(const std::shared_ptr<T>& p) {
    return new std::shared_ptr<T>(p);
}
template <typename T>
void Release(gpointer p) {
    delete static_cast<std::shared_ptr<T>*>(p);
}

// One browser, resolver or record browser object of the daemon.
struct COpState {
    enum Kind { BROWSE, RESOLVE, RECORD };
    Kind nKind = BROWSE;
    CorePtr pCore;
    std::string strPath;    // empty until Prepare answered
    bool bEnded = false;    // the provider let go of it
    bool bStarted = false;  // Start answered
    int32_t nError = 0;     // Prepare or Start failed
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

    // A failure is a reply with its error, as the dns_sd library gives it.
    void DeliverError(int32_t nCode) {
        if (bEnded) {
            return;
        }
        pCore->bDelivered = true;
        if (nKind == BROWSE) {
            DnsSdBrowseReply reply;
            reply.nError = nCode;
            fnBrowse(reply);
        } else if (nKind == RESOLVE) {
            DnsSdResolveReply reply;
            reply.nError = nCode;
            fnResolve(reply);
        } else {
            DnsSdRecordReply reply;
            reply.nError = nCode;
            fnRecord(reply);
        }
    }
};
using OpPtr = std::shared_ptr<COpState>;

void FreeObject(CCore& core, const std::string& strPath, const char* pszInterface) {
    if (core.pConnection == nullptr || strPath.empty() || core.nLostError != 0) {
        return;
    }
    // Best effort, without waiting: the daemon also frees a client's objects
    // when its connection goes.
    g_dbus_connection_call(core.pConnection, AVAHI_NAME, strPath.c_str(), pszInterface, "Free", nullptr,
                           nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<int>(CALL_BOUND.count()),
                           nullptr, nullptr, nullptr);
}

void Deliver(COpState& op, std::string_view member, GVariant* pBody) {
    if (op.bEnded) {
        return;
    }
    if (member == "Failure") {
        op.DeliverError(DNSSD_ERR_UNKNOWN);
        return;
    }
    switch (op.nKind) {
        case COpState::BROWSE: {
            DnsSdBrowseReply reply;
            if ((member == "ItemNew" || member == "ItemRemove") &&
                AvahiBrowseItemToReply(pBody, member == "ItemNew", reply)) {
                op.pCore->bDelivered = true;
                op.fnBrowse(reply);
            }
            break;  // AllForNow and CacheExhausted say nothing of an instance
        }
        case COpState::RESOLVE: {
            DnsSdResolveReply reply;
            if (member == "Found" && AvahiResolverFoundToReply(pBody, reply)) {
                op.pCore->bDelivered = true;
                op.fnResolve(reply);
            }
            break;
        }
        case COpState::RECORD: {
            DnsSdRecordReply reply;
            if (member == "ItemNew" && AvahiRecordItemToReply(pBody, reply)) {
                op.pCore->bDelivered = true;
                op.fnRecord(reply);
            }
            break;
        }
    }
}

// Every signal of avahi's browser and resolver objects, for this session.
void OnObjectSignal(GDBusConnection*, const char* pszSender, const char* pszPath, const char*,
                    const char* pszMember, GVariant* pBody, gpointer pData) {
    CCore& core = **static_cast<CorePtr*>(pData);
    if (core.bClosed || pszSender == nullptr || core.strOwner != pszSender || pszPath == nullptr) {
        return;
    }
    const std::string_view member(pszMember != nullptr ? pszMember : "");
    auto it = core.ops.find(pszPath);
    if (it != core.ops.end()) {
        if (OpPtr pOp = it->second.lock()) {
            Deliver(*pOp, member, pBody);
        }
        return;
    }
    if (core.ended.count(pszPath) != 0) {
        return;
    }
    // Bounded: a daemon that sends for paths this session never asked for
    // cannot make it hold more.
    constexpr size_t MAX_EARLY = 4096;
    if (core.nEarly < MAX_EARLY) {
        ++core.nEarly;
        core.early[pszPath].emplace_back(std::string(member), g_variant_ref(pBody));
    }
}

void OnStartReply(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    OpPtr pOp = *static_cast<OpPtr*>(pData);
    Release<COpState>(pData);
    --pOp->pCore->nOutstanding;
    GError* pError = nullptr;
    GVariant* pReply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(pSource), pResult, &pError);
    if (pReply != nullptr) {
        g_variant_unref(pReply);
        pOp->bStarted = true;
    } else {
        pOp->nError = ErrorOf(pError);
        if (pOp->nKind != COpState::BROWSE && !g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            pOp->DeliverError(pOp->nError);
        }
        g_error_free(pError);
    }
}

void OnPrepareReply(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    OpPtr pOp = *static_cast<OpPtr*>(pData);
    Release<COpState>(pData);
    CCore& core = *pOp->pCore;
    --core.nOutstanding;
    GError* pError = nullptr;
    GVariant* pReply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(pSource), pResult, &pError);
    if (pReply == nullptr) {
        pOp->nError = ErrorOf(pError);
        if (pOp->nKind != COpState::BROWSE && !g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            pOp->DeliverError(pOp->nError);
        }
        g_error_free(pError);
        return;
    }
    const char* pszPath = nullptr;
    if (g_variant_is_of_type(pReply, G_VARIANT_TYPE("(o)"))) {
        g_variant_get(pReply, "(&o)", &pszPath);
        pOp->strPath = pszPath;
    }
    g_variant_unref(pReply);
    if (pOp->strPath.empty()) {
        pOp->nError = DNSSD_ERR_UNKNOWN;
        pOp->DeliverError(pOp->nError);
        return;
    }
    if (pOp->bEnded || core.bClosed) {
        core.End(pOp->strPath);
        FreeObject(core, pOp->strPath, pOp->Interface());
        return;
    }
    core.ops[pOp->strPath] = pOp;
    auto itEarly = core.early.find(pOp->strPath);
    if (itEarly != core.early.end()) {
        auto aSignals = std::move(itEarly->second);
        core.nEarly -= aSignals.size();
        core.early.erase(itEarly);
        for (auto& [strMember, pBody] : aSignals) {
            Deliver(*pOp, strMember, pBody);
            g_variant_unref(pBody);
        }
    }
    ++core.nOutstanding;
    g_dbus_connection_call(core.pConnection, AVAHI_NAME, pOp->strPath.c_str(), pOp->Interface(), "Start",
                           nullptr, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           static_cast<int>(CALL_BOUND.count()), core.pCancellable, OnStartReply, Hold(pOp));
}

class CDbusOperation : public CDnsSdOperation {
public:
    explicit CDbusOperation(OpPtr pOp) : m_pOp(std::move(pOp)) {}
    ~CDbusOperation() override {
        COpState& op = *m_pOp;
        op.bEnded = true;
        if (!op.strPath.empty()) {
            op.pCore->End(op.strPath);
        }
        FreeObject(*op.pCore, op.strPath, op.Interface());
    }

private:
    OpPtr m_pOp;
};

void OnNameOwnerChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* pBody,
                        gpointer pData) {
    CCore& core = **static_cast<CorePtr*>(pData);
    const char* pszNewOwner = nullptr;
    if (g_variant_is_of_type(pBody, G_VARIANT_TYPE("(sss)"))) {
        g_variant_get(pBody, "(&s&s&s)", nullptr, nullptr, &pszNewOwner);
    }
    if (pszNewOwner != nullptr && *pszNewOwner == '\0' && core.nLostError == 0) {
        core.nLostError = DNSSD_ERR_SERVICE_NOT_RUNNING;
    }
}

void OnClosed(GDBusConnection*, gboolean, GError*, gpointer pData) {
    CCore& core = **static_cast<CorePtr*>(pData);
    if (core.nLostError == 0) {
        core.nLostError = DNSSD_ERR_SERVICE_NOT_RUNNING;
    }
}

void OnConnected(GObject*, GAsyncResult* pResult, gpointer pData) {
    CorePtr pCore = *static_cast<CorePtr*>(pData);
    Release<CCore>(pData);
    pCore->bConnecting = false;
    GError* pError = nullptr;
    GDBusConnection* pConnection = g_dbus_connection_new_for_address_finish(pResult, &pError);
    if (pConnection == nullptr) {
        pCore->nConnectError = ErrorOf(pError);
        g_error_free(pError);
        return;
    }
    if (pCore->bClosed) {
        g_dbus_connection_close(pConnection, nullptr, nullptr, nullptr);
        g_object_unref(pConnection);
        return;
    }
    pCore->pConnection = pConnection;
}

gboolean OnStopReadable(gint, GIOCondition, gpointer pData) {
    static_cast<CCore*>(pData)->bStopSeen = true;
    return G_SOURCE_CONTINUE;
}

gboolean OnDeadline(gpointer pData) {
    *static_cast<bool*>(pData) = true;
    return G_SOURCE_REMOVE;
}

// One search's (or one availability check's) use of the daemon, on the
// thread that made it.
class CDbusSession : public CDnsSdSession {
public:
    CDbusSession(int hStopFd, Clock::time_point tConnectDeadline) : m_pCore(std::make_shared<CCore>()) {
        CCore& core = *m_pCore;
        g_main_context_push_thread_default(core.pContext);
        if (hStopFd >= 0) {
            m_pStopSource = g_unix_fd_source_new(hStopFd, G_IO_IN);
            // GLib's documented way: the fd source's callback passed as a GSourceFunc.
            g_source_set_callback(m_pStopSource,
                                  reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(OnStopReadable)),
                                  &core, nullptr);
            g_source_attach(m_pStopSource, core.pContext);
        }
        GError* pError = nullptr;
        // Honours DBUS_SYSTEM_BUS_ADDRESS; reads no socket.
        gchar* pszAddress = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &pError);
        if (pszAddress == nullptr) {
            core.nConnectError = ErrorOf(pError);
            g_error_free(pError);
            return;
        }
        core.bConnecting = true;
        g_dbus_connection_new_for_address(
            pszAddress,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, core.pCancellable, OnConnected, Hold(m_pCore));
        g_free(pszAddress);
        RunUntil([&core] { return !core.bConnecting; }, tConnectDeadline);
        if (core.pConnection == nullptr) {
            if (core.nConnectError == 0) {
                core.nConnectError = core.bStopSeen ? DNSSD_ERR_UNKNOWN : DNSSD_ERR_TIMEOUT;
            }
            return;
        }
        g_dbus_connection_set_exit_on_close(core.pConnection, FALSE);
        m_nClosedHandler = g_signal_connect_data(core.pConnection, "closed", G_CALLBACK(OnClosed),
                                                 Hold(m_pCore), ClosureRelease, GConnectFlags(0));
        m_aSubscriptions.push_back(g_dbus_connection_signal_subscribe(
            core.pConnection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            "/org/freedesktop/DBus", AVAHI_NAME, G_DBUS_SIGNAL_FLAGS_NONE, OnNameOwnerChanged, Hold(m_pCore),
            Release<CCore>));
        // The daemon sends its objects' signals to this connection alone;
        // they are taken from the daemon's unique name only.
        for (const char* pszInterface :
             {"org.freedesktop.Avahi.ServiceBrowser", "org.freedesktop.Avahi.ServiceResolver",
              "org.freedesktop.Avahi.RecordBrowser"}) {
            m_aSubscriptions.push_back(g_dbus_connection_signal_subscribe(
                core.pConnection, nullptr, pszInterface, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                OnObjectSignal, Hold(m_pCore), Release<CCore>));
        }
        GVariant* pOwner = nullptr;
        core.nConnectError =
            Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                 g_variant_new("(s)", AVAHI_NAME), G_VARIANT_TYPE("(s)"), tConnectDeadline, &pOwner);
        if (pOwner != nullptr) {
            const char* pszOwner = nullptr;
            g_variant_get(pOwner, "(&s)", &pszOwner);
            core.strOwner = pszOwner;
            g_variant_unref(pOwner);
        }
    }

    ~CDbusSession() override {
        CCore& core = *m_pCore;
        core.bClosed = true;
        if (core.pConnection != nullptr) {
            for (guint nSubscription : m_aSubscriptions) {
                g_dbus_connection_signal_unsubscribe(core.pConnection, nSubscription);
            }
            g_signal_handler_disconnect(core.pConnection, m_nClosedHandler);
        }
        g_cancellable_cancel(core.pCancellable);
        if (m_pStopSource != nullptr) {
            g_source_destroy(m_pStopSource);
            g_source_unref(m_pStopSource);
        }
        if (core.pConnection != nullptr) {
            g_dbus_connection_close(core.pConnection, nullptr, nullptr, nullptr);
        }
        // Cancelled calls complete at once; let them, so nothing of this
        // session waits on the context after it is let go.
        const auto tEnd = std::min(Clock::now() + DRAIN_BOUND, m_tTeardownLimit);
        while ((core.nOutstanding > 0 || core.bConnecting) && Clock::now() < tEnd) {
            if (!g_main_context_iteration(core.pContext, FALSE)) {
                g_usleep(1000);
            }
        }
        while (g_main_context_iteration(core.pContext, FALSE)) {
        }
        g_main_context_pop_thread_default(core.pContext);
    }

    int32_t Browse(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                   std::unique_ptr<CDnsSdOperation>& pOperation) override {
        OpPtr pOp = NewOp(COpState::BROWSE);
        pOp->fnBrowse = std::move(fnReply);
        const int32_t nError =
            Prepare(pOp, "ServiceBrowserPrepare",
                    g_variant_new("(iissu)", AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, pszType, pszDomain, 0u));
        if (nError != 0) {
            return nError;
        }
        // A browse that does not run is a failure to browse: wait for Start.
        auto pHandle = std::make_unique<CDbusOperation>(pOp);
        CCore& core = *m_pCore;
        RunUntil([&pOp] { return pOp->bStarted || pOp->nError != 0; }, Clock::now() + CALL_BOUND);
        if (!pOp->bStarted) {
            return pOp->nError != 0       ? pOp->nError
                   : core.nLostError != 0 ? core.nLostError
                                          : DNSSD_ERR_TIMEOUT;
        }
        pOperation = std::move(pHandle);
        return 0;
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain, ResolveFn fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        OpPtr pOp = NewOp(COpState::RESOLVE);
        pOp->fnResolve = std::move(fnReply);
        return Begin(pOp, "ServiceResolverPrepare",
                     g_variant_new("(iisssiu)", AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, pszName, pszType,
                                   pszDomain, AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_ADDRESS),
                     pOperation);
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass, RecordFn fnReply,
                        std::unique_ptr<CDnsSdOperation>& pOperation) override {
        OpPtr pOp = NewOp(COpState::RECORD);
        pOp->fnRecord = std::move(fnReply);
        return Begin(pOp, "RecordBrowserPrepare",
                     g_variant_new("(iisqqu)", AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, pszFullName,
                                   static_cast<guint16>(nClass), static_cast<guint16>(nType), 0u),
                     pOperation);
    }

    DnsSdWait Wait(Clock::time_point tDeadline, int32_t& nError) override {
        CCore& core = *m_pCore;
        core.bDelivered = false;
        switch (RunUntil([&core] { return core.bDelivered; }, tDeadline)) {
            case Outcome::DONE:
                return DnsSdWait::READY;
            case Outcome::STOPPED:
                return DnsSdWait::STOPPED;
            case Outcome::LOST:
                nError = core.nLostError;
                return DnsSdWait::LOST;
            case Outcome::TIMEOUT:
                break;
        }
        return DnsSdWait::TIMEOUT;
    }

    // Teardown ends by this time, whatever is still under way.
    void LimitTeardown(Clock::time_point tLimit) { m_tTeardownLimit = tLimit; }

    // The daemon's state, for the availability check: 0 when it answered.
    int32_t GetState(Clock::time_point tDeadline) {
        CCore& core = *m_pCore;
        if (core.nConnectError != 0) {
            return core.nConnectError;
        }
        GVariant* pState = nullptr;
        const int32_t nError = Call(AVAHI_NAME, "/", AVAHI_SERVER, "GetState", nullptr, G_VARIANT_TYPE("(i)"),
                                    tDeadline, &pState);
        if (pState != nullptr) {
            g_variant_unref(pState);
        }
        return nError;
    }

private:
    enum class Outcome { DONE, TIMEOUT, STOPPED, LOST };

    static void ClosureRelease(gpointer pData, GClosure*) { Release<CCore>(pData); }

    // Iterates the context until fnDone holds, the deadline passes, a stop
    // comes or the daemon goes.
    template <typename F>
    Outcome RunUntil(F fnDone, Clock::time_point tDeadline) {
        CCore& core = *m_pCore;
        bool bTimedOut = false;
        GSource* pTimer = nullptr;
        Outcome outcome = Outcome::TIMEOUT;
        for (;;) {
            if (fnDone()) {
                outcome = Outcome::DONE;
                break;
            }
            if (core.bStopSeen) {
                outcome = Outcome::STOPPED;
                break;
            }
            if (core.nLostError != 0) {
                outcome = Outcome::LOST;
                break;
            }
            if (bTimedOut || Clock::now() >= tDeadline) {
                break;
            }
            if (pTimer == nullptr) {
                const auto nLeft = std::chrono::ceil<Ms>(tDeadline - Clock::now()).count();
                pTimer = g_timeout_source_new(static_cast<guint>(std::clamp<long long>(nLeft, 1, 600000)));
                g_source_set_callback(pTimer, OnDeadline, &bTimedOut, nullptr);
                g_source_attach(pTimer, core.pContext);
            }
            g_main_context_iteration(core.pContext, TRUE);
        }
        if (pTimer != nullptr) {
            g_source_destroy(pTimer);
            g_source_unref(pTimer);
        }
        return outcome;
    }

    // One method call, waited for until the deadline (or a stop): 0 and the
    // reply in *ppReply, or the error.
    int32_t Call(const char* pszDest, const char* pszPath, const char* pszInterface, const char* pszMethod,
                 GVariant* pArgs, const GVariantType* pReplyType, Clock::time_point tDeadline,
                 GVariant** ppReply) {
        CCore& core = *m_pCore;
        struct Answer {
            CorePtr pCore;
            bool bDone = false;
            int32_t nError = 0;
            GVariant* pReply = nullptr;
        };
        auto pAnswer = std::make_shared<Answer>();
        pAnswer->pCore = m_pCore;
        const auto nLeft = std::max<long long>(1, std::chrono::ceil<Ms>(tDeadline - Clock::now()).count());
        ++core.nOutstanding;
        g_dbus_connection_call(
            core.pConnection, pszDest, pszPath, pszInterface, pszMethod, pArgs, pReplyType,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<int>(std::min<long long>(nLeft, INT32_MAX)),
            core.pCancellable,
            [](GObject* pSource, GAsyncResult* pResult, gpointer pData) {
                auto pAnswer = *static_cast<std::shared_ptr<Answer>*>(pData);
                Release<Answer>(pData);
                --pAnswer->pCore->nOutstanding;
                GError* pError = nullptr;
                pAnswer->pReply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(pSource), pResult, &pError);
                pAnswer->bDone = true;
                if (pAnswer->pReply == nullptr) {
                    pAnswer->nError = ErrorOf(pError);
                    g_error_free(pError);
                }
            },
            Hold(pAnswer));
        RunUntil([&pAnswer] { return pAnswer->bDone; }, tDeadline);
        if (!pAnswer->bDone) {
            return DNSSD_ERR_TIMEOUT;
        }
        *ppReply = pAnswer->pReply;
        pAnswer->pReply = nullptr;
        return pAnswer->nError;
    }

    OpPtr NewOp(COpState::Kind nKind) {
        auto pOp = std::make_shared<COpState>();
        pOp->nKind = nKind;
        pOp->pCore = m_pCore;
        return pOp;
    }

    // Sends the *Prepare call; its reply subscribes and starts the object.
    int32_t Prepare(const OpPtr& pOp, const char* pszMethod, GVariant* pArgs) {
        CCore& core = *m_pCore;
        if (core.nConnectError != 0 || core.nLostError != 0) {
            g_variant_unref(g_variant_ref_sink(pArgs));
            return core.nConnectError != 0 ? core.nConnectError : core.nLostError;
        }
        ++core.nOutstanding;
        g_dbus_connection_call(core.pConnection, AVAHI_NAME, "/", AVAHI_SERVER2, pszMethod, pArgs,
                               G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                               static_cast<int>(CALL_BOUND.count()), core.pCancellable, OnPrepareReply,
                               Hold(pOp));
        return 0;
    }

    int32_t Begin(const OpPtr& pOp, const char* pszMethod, GVariant* pArgs,
                  std::unique_ptr<CDnsSdOperation>& pOperation) {
        const int32_t nError = Prepare(pOp, pszMethod, pArgs);
        if (nError == 0) {
            pOperation = std::make_unique<CDbusOperation>(pOp);
        }
        return nError;
    }

    CorePtr m_pCore;
    GSource* m_pStopSource = nullptr;
    gulong m_nClosedHandler = 0;
    std::vector<guint> m_aSubscriptions;
    Clock::time_point m_tTeardownLimit = Clock::time_point::max();
};

class CDbusClient : public CDnsSdClient {
public:
    int32_t CheckService() override {
        const auto tStart = Clock::now();
        CDbusSession session(-1, tStart + AVAILABILITY_BOUND);
        session.LimitTeardown(tStart + AVAILABILITY_LIMIT);
        return session.GetState(tStart + AVAILABILITY_BOUND);
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
