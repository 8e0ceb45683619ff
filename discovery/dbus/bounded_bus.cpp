#include "bounded_bus.h"

#include <glib-unix.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = CBoundedBus::Clock;
using Ms = std::chrono::milliseconds;

// Cancelled calls come back at once from a live bus: the teardown waits this
// long for them before the reaper takes over.
constexpr Ms DRAIN_BOUND{100};
// Calls awaiting a reply at once, below the bus's limit of 128 per client;
// the rest wait in order.
constexpr int MAX_AWAITING = 100;
// The reaper gives a torn-down bus this long; past it whatever GLib still
// holds is left (a connect that never ends cannot be taken back).
constexpr Ms REAPER_LIMIT{30000};
// A call whose late reply is still taken is given up by GDBus after this.
constexpr Ms LATE_REPLY_BOUND{60000};

}  // namespace

// Everything of one bus that GLib's callbacks may reach. Each callback's
// user data holds it by a shared pointer; nPending counts them.
struct CBoundedBusState : std::enable_shared_from_this<CBoundedBusState> {
    GMainContext* pContext = g_main_context_new();
    GCancellable* pCancellable = g_cancellable_new();
    GDBusConnection* pConnection = nullptr;
    GSource* pStopSource = nullptr;
    gulong nClosedHandler = 0;
    std::vector<guint> aSubscriptions;
    GError* pConnectError = nullptr;
    int nPending = 0;  // operations GLib has not given back yet
    // Calls awaiting a reply, and those held back until fewer do: the bus
    // refuses a client more than 128 (max_replies_per_connection).
    int nAwaiting = 0;
    struct HeldCall {
        // Sends the call, or (bSend false: no longer wanted) fails it unsent.
        std::function<void(const std::shared_ptr<CBoundedBusState>&, bool bSend)> fn;
        std::function<bool()> fnWanted;
    };
    std::deque<HeldCall> heldCalls;
    // Sent calls whose reply is still taken past their bound (see
    // CallAsync's fnLate): their bound is kept here, not by GDBus.
    std::vector<std::shared_ptr<struct CSentCall>> overdueWatch;
    bool bConnecting = false;      // the connect has not completed
    bool bTornDown = false;        // no callback of the user runs any more
    bool bClosedSeen = false;      // the connection emitted "closed"
    bool bAwaitingClosed = false;  // counted in nPending until it does
    bool bLost = false;
    bool bStopSeen = false;
    Clock::time_point tReaperLimit{};

    // The connection's close, counted until both the close and its "closed"
    // signal (dispatched on this context, holding the connection, which
    // holds the context) have come back.
    void StartClose();
    // Runs once nPending is zero: gives back the connection and the context.
    void GiveBackConnectionAndContext();
    void SendHeld() {
        while (!bTornDown && !heldCalls.empty() && nAwaiting < MAX_AWAITING) {
            HeldCall call = std::move(heldCalls.front());
            heldCalls.pop_front();
            const bool bWanted = !call.fnWanted || call.fnWanted();
            call.fn(shared_from_this(), bWanted);
        }
    }
    // Calls past their own bound fail as timed out (their reply may still
    // come, late); the earliest bound of those left.
    Clock::time_point ExpireOverdue();
    bool AnyOverdue() const;
};

using StatePtr = std::shared_ptr<CBoundedBusState>;

// One call sent: its reply goes to fnReply once, by its bound; a reply
// after that to fnLate (when set).
struct CSentCall {
    Clock::time_point tBound;
    bool bDone = false;
    CBoundedBus::ReplyFn fnReply;
    CBoundedBus::ReplyFn fnLate;
};

bool CBoundedBusState::AnyOverdue() const {
    const Clock::time_point tNow = Clock::now();
    return std::any_of(overdueWatch.begin(), overdueWatch.end(),
                       [tNow](const auto& pCall) { return !pCall->bDone && pCall->tBound <= tNow; });
}

Clock::time_point CBoundedBusState::ExpireOverdue() {
    std::vector<std::shared_ptr<CSentCall>> aExpired;
    const Clock::time_point tNow = Clock::now();
    Clock::time_point tEarliest = Clock::time_point::max();
    for (auto it = overdueWatch.begin(); it != overdueWatch.end();) {
        CSentCall& call = **it;
        if (call.bDone || call.tBound <= tNow) {
            if (!call.bDone) aExpired.push_back(*it);
            it = overdueWatch.erase(it);
        } else {
            tEarliest = std::min(tEarliest, call.tBound);
            ++it;
        }
    }
    for (const auto& pCall : aExpired) {
        pCall->bDone = true;
        GError* pError = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "no reply within its bound");
        if (!bTornDown) pCall->fnReply(nullptr, pError);
        g_error_free(pError);
    }
    // Their callbacks may have made more calls.
    return aExpired.empty() ? tEarliest : ExpireOverdue();
}

namespace {

// The user data of one GLib callback: the state, and what to call.
template <typename Fn>
struct CHolder {
    StatePtr pState;
    Fn fn;
};

void OnClosed(GDBusConnection*, gboolean, GError*, gpointer pData) {
    CBoundedBusState& state = **static_cast<StatePtr*>(pData);
    state.bClosedSeen = true;
    state.bLost = true;
    if (state.bAwaitingClosed) {
        state.bAwaitingClosed = false;
        --state.nPending;
    }
}

void ReleaseClosedHandler(gpointer pData, GClosure*) {
    delete static_cast<StatePtr*>(pData);
}

void OnCloseDone(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    std::unique_ptr<StatePtr> pState(static_cast<StatePtr*>(pData));
    --(*pState)->nPending;
    g_dbus_connection_close_finish(G_DBUS_CONNECTION(pSource), pResult, nullptr);
}

void OnConnected(GObject*, GAsyncResult* pResult, gpointer pData) {
    std::unique_ptr<StatePtr> pHeld(static_cast<StatePtr*>(pData));
    CBoundedBusState& state = **pHeld;
    --state.nPending;
    state.bConnecting = false;
    GError* pError = nullptr;
    GDBusConnection* pConnection = g_dbus_connection_new_for_address_finish(pResult, &pError);
    if (pConnection == nullptr) {
        state.pConnectError = pError;
        return;
    }
    state.pConnection = pConnection;
    g_dbus_connection_set_exit_on_close(pConnection, FALSE);
    state.nClosedHandler =
        g_signal_connect_data(pConnection, "closed", G_CALLBACK(OnClosed), new StatePtr(*pHeld),
                              ReleaseClosedHandler, GConnectFlags(0));
    if (state.bTornDown) {
        state.StartClose();  // came too late: closed at once
    }
}

void VariantUnref(GVariant* p) {
    if (p != nullptr) g_variant_unref(p);
}

void OnCallDone(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    std::unique_ptr<CHolder<std::shared_ptr<CSentCall>>> pHolder(
        static_cast<CHolder<std::shared_ptr<CSentCall>>*>(pData));
    CBoundedBusState& state = *pHolder->pState;
    CSentCall& call = *pHolder->fn;
    --state.nPending;
    --state.nAwaiting;
    state.SendHeld();
    GError* pError = nullptr;
    GVariant* pReply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(pSource), pResult, &pError);
    if (!state.bTornDown) {
        if (!call.bDone) {
            call.bDone = true;
            call.fnReply(pReply, pError);
        } else if (call.fnLate && pReply != nullptr) {
            call.fnLate(pReply, nullptr);
        }
    }
    if (pReply != nullptr) {
        g_variant_unref(pReply);
    }
    if (pError != nullptr) {
        g_error_free(pError);
    }
}

void OnSignal(GDBusConnection*, const char* pszSender, const char* pszPath, const char*,
              const char* pszMember, GVariant* pBody, gpointer pData) {
    auto& holder = *static_cast<CHolder<CBoundedBus::SignalFn>*>(pData);
    if (!holder.pState->bTornDown) {
        holder.fn(pszSender, pszPath, pszMember, pBody);
    }
}

// GLib calls it from the subscribing context once the subscription is gone.
void ReleaseSubscription(gpointer pData) {
    std::unique_ptr<CHolder<CBoundedBus::SignalFn>> pHolder(
        static_cast<CHolder<CBoundedBus::SignalFn>*>(pData));
    --pHolder->pState->nPending;
}

gboolean OnStopReadable(gint, GIOCondition, gpointer pData) {
    static_cast<CBoundedBusState*>(pData)->bStopSeen = true;
    return G_SOURCE_CONTINUE;
}

gboolean OnDeadline(gpointer pData) {
    *static_cast<bool*>(pData) = true;
    return G_SOURCE_REMOVE;
}

GSource* StartTimer(GMainContext* pContext, Clock::time_point tAt, bool* pbFired) {
    const auto nLeft = std::chrono::ceil<Ms>(tAt - Clock::now()).count();
    GSource* pTimer = g_timeout_source_new(static_cast<guint>(std::clamp<long long>(nLeft, 1, 600000)));
    g_source_set_callback(pTimer, OnDeadline, pbFired, nullptr);
    g_source_attach(pTimer, pContext);
    return pTimer;
}

void DestroyTimer(GSource*& pTimer) {
    if (pTimer == nullptr) return;
    g_source_destroy(pTimer);
    g_source_unref(pTimer);
    pTimer = nullptr;
}

// Finishes teardowns that outlived their bound, on a thread of its own that
// ends when none is left.
class CReaper {
public:
    static CReaper& Instance() {
        static auto* pReaper = new CReaper;  // never destroyed: its thread may outlive static destruction
        return *pReaper;
    }

    void HandOver(StatePtr pState) {
        pState->tReaperLimit = Clock::now() + REAPER_LIMIT;
        std::lock_guard lock(m_mutex);
        m_aWaiting.push_back(std::move(pState));
        ++m_nPending;
        if (!m_bRunning) {
            m_bRunning = true;
            std::thread([this] { Run(); }).detach();
        }
    }

    size_t Pending() {
        std::lock_guard lock(m_mutex);
        return m_nPending;
    }

private:
    void Run() {
        std::vector<StatePtr> aMine;
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                std::move(m_aWaiting.begin(), m_aWaiting.end(), std::back_inserter(aMine));
                m_aWaiting.clear();
                if (aMine.empty()) {
                    m_bRunning = false;
                    return;
                }
            }
            size_t nDone = 0;
            for (auto it = aMine.begin(); it != aMine.end();) {
                CBoundedBusState& state = **it;
                g_main_context_push_thread_default(state.pContext);
                while (g_main_context_iteration(state.pContext, FALSE)) {
                }
                g_main_context_pop_thread_default(state.pContext);
                if (state.nPending == 0) {
                    state.GiveBackConnectionAndContext();
                } else if (Clock::now() < state.tReaperLimit) {
                    ++it;
                    continue;
                }
                // Past the limit the state is left as it is: GLib may still use it.
                it = aMine.erase(it);
                ++nDone;
            }
            if (nDone != 0) {
                std::lock_guard lock(m_mutex);
                m_nPending -= nDone;
            }
            g_usleep(2000);
        }
    }

    std::mutex m_mutex;
    std::vector<StatePtr> m_aWaiting;
    size_t m_nPending = 0;
    bool m_bRunning = false;
};

}  // namespace

void CBoundedBusState::StartClose() {
    if (pConnection == nullptr) {
        return;
    }
    if (!bClosedSeen && !bAwaitingClosed) {
        bAwaitingClosed = true;
        ++nPending;
    }
    ++nPending;
    g_dbus_connection_close(pConnection, nullptr, OnCloseDone, new StatePtr(shared_from_this()));
}

void CBoundedBusState::GiveBackConnectionAndContext() {
    if (pConnection != nullptr) {
        g_signal_handler_disconnect(pConnection, nClosedHandler);
        g_object_unref(pConnection);
        pConnection = nullptr;
    }
    while (g_main_context_iteration(pContext, FALSE)) {
    }
    if (pConnectError != nullptr) {
        g_error_free(pConnectError);
        pConnectError = nullptr;
    }
    g_object_unref(pCancellable);
    pCancellable = nullptr;
    g_main_context_unref(pContext);
    pContext = nullptr;
}

CBusReply::~CBusReply() {
    if (pReply != nullptr) {
        g_variant_unref(pReply);
    }
    if (pError != nullptr) {
        g_error_free(pError);
    }
}

bool CBusReply::TimedOut() const {
    return !bAnswered || g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
}

CBoundedBus::CBoundedBus(int hStopFd) : m_pState(std::make_shared<CBoundedBusState>()) {
    CBoundedBusState& state = *m_pState;
    g_main_context_push_thread_default(state.pContext);
    if (hStopFd >= 0) {
        state.pStopSource = g_unix_fd_source_new(hStopFd, G_IO_IN);
        // GLib's documented way: the fd source's callback passed as a GSourceFunc.
        g_source_set_callback(state.pStopSource,
                              reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(OnStopReadable)),
                              &state, nullptr);
        g_source_attach(state.pStopSource, state.pContext);
    }
}

CBoundedBus::~CBoundedBus() {
    TearDown();
}

std::string CBoundedBus::SystemBusAddress(GError** ppError) {
    gchar* pszAddress = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, ppError);
    if (pszAddress == nullptr) {
        return {};
    }
    std::string strAddress(pszAddress);
    g_free(pszAddress);
    return strAddress;
}

bool CBoundedBus::Connect(const std::string& strAddress, Clock::time_point tDeadline, GError** ppError) {
    CBoundedBusState& state = *m_pState;
    if (state.pConnection != nullptr || state.bConnecting) {
        return state.pConnection != nullptr;
    }
    state.bConnecting = true;
    ++state.nPending;
    g_dbus_connection_new_for_address(
        strAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, state.pCancellable, OnConnected, new StatePtr(m_pState));
    RunUntil([&state] { return !state.bConnecting; }, tDeadline);
    if (state.pConnection == nullptr && state.pConnectError != nullptr && ppError != nullptr) {
        *ppError = g_error_copy(state.pConnectError);
    }
    return state.pConnection != nullptr;
}

GDBusConnection* CBoundedBus::Connection() const {
    return m_pState->bTornDown ? nullptr : m_pState->pConnection;
}

void CBoundedBus::CallAsync(const char* pszDest, const char* pszPath, const char* pszInterface,
                            const char* pszMethod, GVariant* pArgs, const GVariantType* pReplyType,
                            int nTimeoutMs, ReplyFn fnReply, std::function<bool()> fnWanted, ReplyFn fnLate) {
    CBoundedBusState& state = *m_pState;
    if (Connection() == nullptr) {
        if (pArgs != nullptr) {
            g_variant_unref(g_variant_ref_sink(pArgs));
        }
        GError* pError = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "not connected");
        fnReply(nullptr, pError);
        g_error_free(pError);
        return;
    }
    std::shared_ptr<GVariant> pOwnedArgs(pArgs != nullptr ? g_variant_ref_sink(pArgs) : nullptr,
                                         VariantUnref);
    auto fnSend = [strDest = std::string(pszDest), strPath = std::string(pszPath),
                   strInterface = std::string(pszInterface), strMethod = std::string(pszMethod), pOwnedArgs,
                   pReplyType, nTimeoutMs, fnReply = std::move(fnReply),
                   fnLate = std::move(fnLate)](const StatePtr& pState, bool bSend) {
        if (!bSend) {
            // Given up while held back: never sent, so the daemon makes
            // nothing for a reply nobody would take.
            GError* pError = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "no longer wanted");
            fnReply(nullptr, pError);
            g_error_free(pError);
            return;
        }
        // The bound counts from now, however long the call was held back.
        auto pCall = std::make_shared<CSentCall>();
        pCall->tBound = Clock::now() + Ms(std::max(1, nTimeoutMs));
        pCall->fnReply = fnReply;
        pCall->fnLate = fnLate;
        int nGDBusTimeoutMs = std::max(1, nTimeoutMs);
        if (fnLate) {
            // GDBus drops a reply after its timeout: wait for it longer, so
            // what the reply names is never lost, and keep the bound here.
            nGDBusTimeoutMs = static_cast<int>(LATE_REPLY_BOUND.count());
            pState->overdueWatch.push_back(pCall);
        }
        ++pState->nPending;
        ++pState->nAwaiting;
        g_dbus_connection_call(pState->pConnection, strDest.c_str(), strPath.c_str(), strInterface.c_str(),
                               strMethod.c_str(), pOwnedArgs.get(), pReplyType,
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, nGDBusTimeoutMs, pState->pCancellable,
                               OnCallDone, new CHolder<std::shared_ptr<CSentCall>>{pState, pCall});
    };
    state.heldCalls.push_back({std::move(fnSend), std::move(fnWanted)});
    state.SendHeld();
}

void CBoundedBus::Call(const char* pszDest, const char* pszPath, const char* pszInterface,
                       const char* pszMethod, GVariant* pArgs, const GVariantType* pReplyType,
                       Clock::time_point tDeadline, CBusReply& reply) {
    // Shared with the callback, which may come after this call has given up.
    struct CAnswer {
        bool bDone = false;
        bool bGivenUp = false;  // still held back at the deadline: not to be sent
        GVariant* pReply = nullptr;
        GError* pError = nullptr;
    };
    auto pAnswer = std::make_shared<CAnswer>();
    const long long nLeft = std::chrono::ceil<Ms>(tDeadline - Clock::now()).count();
    CallAsync(
        pszDest, pszPath, pszInterface, pszMethod, pArgs, pReplyType,
        static_cast<int>(std::clamp<long long>(nLeft, 1, INT_MAX)),
        [pAnswer](GVariant* pReply, const GError* pError) {
            pAnswer->bDone = true;
            pAnswer->pReply = pReply != nullptr ? g_variant_ref(pReply) : nullptr;
            pAnswer->pError = pError != nullptr ? g_error_copy(pError) : nullptr;
        },
        [pAnswer] { return !pAnswer->bGivenUp; });
    RunUntil([&pAnswer] { return pAnswer->bDone; }, tDeadline);
    pAnswer->bGivenUp = true;
    reply.bAnswered = pAnswer->bDone;
    reply.pReply = std::exchange(pAnswer->pReply, nullptr);
    reply.pError = std::exchange(pAnswer->pError, nullptr);
}

void CBoundedBus::SendWithoutReply(const char* pszDest, const char* pszPath, const char* pszInterface,
                                   const char* pszMethod, GVariant* pArgs) {
    if (Connection() == nullptr) {
        if (pArgs != nullptr) {
            g_variant_unref(g_variant_ref_sink(pArgs));
        }
        return;
    }
    // Without a callback GDBus asks for no reply and keeps nothing.
    g_dbus_connection_call(m_pState->pConnection, pszDest, pszPath, pszInterface, pszMethod, pArgs, nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

void CBoundedBus::Subscribe(const char* pszSender, const char* pszInterface, const char* pszMember,
                            const char* pszPath, const char* pszArg0, SignalFn fnSignal) {
    CBoundedBusState& state = *m_pState;
    if (Connection() == nullptr) {
        return;
    }
    ++state.nPending;
    state.aSubscriptions.push_back(g_dbus_connection_signal_subscribe(
        state.pConnection, pszSender, pszInterface, pszMember, pszPath, pszArg0, G_DBUS_SIGNAL_FLAGS_NONE,
        OnSignal, new CHolder<SignalFn>{m_pState, std::move(fnSignal)}, ReleaseSubscription));
}

CBoundedBus::Outcome CBoundedBus::RunUntil(const std::function<bool()>& fnDone, Clock::time_point tDeadline) {
    CBoundedBusState& state = *m_pState;
    bool bTimedOut = false;
    bool bHeldDue = false;
    GSource* pTimer = nullptr;
    GSource* pHeldTimer = nullptr;  // the earliest bound of a sent call, when before tDeadline
    Clock::time_point tHeldTimer{};
    bool bRead = false;
    Outcome outcome = Outcome::TIMEOUT;
    for (;;) {
        if (state.AnyOverdue()) {
            // A reply that has arrived but waits its turn on the context is
            // read before its call is judged timed out.
            while (g_main_context_iteration(state.pContext, FALSE)) {
            }
        }
        const Clock::time_point tHeld = state.ExpireOverdue();
        if (fnDone()) {
            outcome = Outcome::DONE;
            break;
        }
        if (state.bStopSeen) {
            outcome = Outcome::STOPPED;
            break;
        }
        if (state.bLost) {
            outcome = Outcome::LOST;
            break;
        }
        if (bTimedOut || Clock::now() >= tDeadline) {
            // What had arrived by the deadline is read before it counts.
            if (bRead) break;
            bRead = true;
            g_main_context_iteration(state.pContext, FALSE);
            continue;
        }
        if (pTimer == nullptr) pTimer = StartTimer(state.pContext, tDeadline, &bTimedOut);
        if (tHeld < tDeadline && (pHeldTimer == nullptr || tHeld != tHeldTimer)) {
            DestroyTimer(pHeldTimer);
            pHeldTimer = StartTimer(state.pContext, tHeld, &bHeldDue);
            tHeldTimer = tHeld;
        }
        g_main_context_iteration(state.pContext, TRUE);
    }
    DestroyTimer(pTimer);
    DestroyTimer(pHeldTimer);
    return outcome;
}

void CBoundedBus::MarkLost() {
    m_pState->bLost = true;
}

bool CBoundedBus::IsLost() const {
    return m_pState->bLost;
}

bool CBoundedBus::IsStopped() const {
    return m_pState->bStopSeen;
}

void CBoundedBus::LimitTeardown(Clock::time_point tLimit) {
    m_tTeardownLimit = tLimit;
}

size_t CBoundedBus::LateTeardownsPending() {
    return CReaper::Instance().Pending();
}

void CBoundedBus::TearDown() {
    CBoundedBusState& state = *m_pState;
    state.bTornDown = true;
    if (state.pStopSource != nullptr) {
        // The stop descriptor is the caller's: nothing may watch it after this.
        g_source_destroy(state.pStopSource);
        g_source_unref(state.pStopSource);
        state.pStopSource = nullptr;
    }
    if (state.pConnection != nullptr) {
        for (guint nSubscription : state.aSubscriptions) {
            g_dbus_connection_signal_unsubscribe(state.pConnection, nSubscription);
        }
        state.aSubscriptions.clear();
    }
    state.heldCalls.clear();  // never sent: no reply will run
    state.overdueWatch.clear();
    g_cancellable_cancel(state.pCancellable);
    state.StartClose();
    const auto tEnd = std::min(Clock::now() + DRAIN_BOUND, m_tTeardownLimit);
    while (state.nPending > 0 && Clock::now() < tEnd) {
        if (!g_main_context_iteration(state.pContext, FALSE)) {
            g_usleep(1000);
        }
    }
    g_main_context_pop_thread_default(state.pContext);
    if (state.nPending == 0) {
        state.GiveBackConnectionAndContext();
    } else {
        CReaper::Instance().HandOver(m_pState);
    }
}
