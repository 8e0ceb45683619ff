// A D-Bus connection whose every wait is bounded, on a GLib main context
// private to the thread that made it. The avahi client and hvl-scan's
// --diagnose talk to the system bus through it.
//
// Every asynchronous operation it starts (the connect, calls, signal
// subscriptions, the close) is counted until GLib has given back what it
// holds for it. Teardown cancels them all and runs the context until the
// count is zero; what is still under way when the teardown's bound passes
// (a connect that completes late, a call whose cancel has not come back)
// is handed to a process-wide reaper thread that finishes the job, so the
// context, the connection and the state the callbacks refer to are always
// given back.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct CBoundedBusState;

// Owns a GError and a GVariant reply.
struct CBusReply {
    GVariant* pReply = nullptr;
    GError* pError = nullptr;
    bool bAnswered = false;  // false: the deadline passed, or a stop came, first

    CBusReply() = default;
    CBusReply(const CBusReply&) = delete;
    CBusReply& operator=(const CBusReply&) = delete;
    ~CBusReply();
    bool TimedOut() const;  // no answer, or GDBus's own timeout
};

class CBoundedBus {
public:
    using Clock = std::chrono::steady_clock;
    // pReply is null when pError is set; neither is kept past the call.
    using ReplyFn = std::function<void(GVariant* pReply, const GError* pError)>;
    using SignalFn = std::function<void(const char* pszSender, const char* pszPath, const char* pszMember,
                                        GVariant* pBody)>;
    enum class Outcome { DONE, TIMEOUT, STOPPED, LOST };

    // Makes the private context the thread's default until destruction.
    // Every wait ends early once hStopFd (if >= 0) becomes readable.
    explicit CBoundedBus(int hStopFd = -1);
    ~CBoundedBus();
    CBoundedBus(const CBoundedBus&) = delete;
    CBoundedBus& operator=(const CBoundedBus&) = delete;

    // The system bus's address (DBUS_SYSTEM_BUS_ADDRESS, else the well-known
    // socket); reads no socket. Empty, with *ppError set, when there is none.
    static std::string SystemBusAddress(GError** ppError);

    // Connects as a message bus client by tDeadline (or a stop). On failure
    // *ppError says why, or stays null when the deadline or a stop came
    // first. A connect still under way is reclaimed by the teardown.
    bool Connect(const std::string& strAddress, Clock::time_point tDeadline, GError** ppError);
    GDBusConnection* Connection() const;

    // A method call bounded by nTimeoutMs of its own, counted from its
    // sending: fnReply runs once, on this thread while the context runs,
    // unless the bus is torn down first. Past 100 calls awaiting a reply (the
    // system bus refuses a client more than 128), the rest wait their turn in
    // order; one that fnWanted says is no longer wanted when its turn comes
    // is never sent (fnReply gets G_IO_ERROR_CANCELLED). With fnLate, a reply
    // that comes after the bound (which fnReply was told of as a timeout) is
    // still taken and handed to it: what the peer made for the call can be
    // given back.
    void CallAsync(const char* pszDest, const char* pszPath, const char* pszInterface, const char* pszMethod,
                   GVariant* pArgs, const GVariantType* pReplyType, int nTimeoutMs, ReplyFn fnReply,
                   std::function<bool()> fnWanted = {}, ReplyFn fnLate = {});
    // A method call waited for until tDeadline (or a stop, or the bus's loss).
    void Call(const char* pszDest, const char* pszPath, const char* pszInterface, const char* pszMethod,
              GVariant* pArgs, const GVariantType* pReplyType, Clock::time_point tDeadline, CBusReply& reply);
    // A call whose answer nobody waits for.
    void SendWithoutReply(const char* pszDest, const char* pszPath, const char* pszInterface,
                          const char* pszMethod, GVariant* pArgs);

    // Signals matching the filter (nullptr: any) until teardown; fnSignal
    // runs on this thread while the context runs.
    void Subscribe(const char* pszSender, const char* pszInterface, const char* pszMember,
                   const char* pszPath, const char* pszArg0, SignalFn fnSignal);

    // Runs the context until fnDone holds, tDeadline passes, a stop comes or
    // the bus is lost (closed, or MarkLost).
    Outcome RunUntil(const std::function<bool()>& fnDone, Clock::time_point tDeadline);

    void MarkLost();
    bool IsLost() const;
    bool IsStopped() const;

    // Teardown ends by this time, whatever is still under way (the reaper
    // takes the rest).
    void LimitTeardown(Clock::time_point tLimit);

    // Teardowns handed to the reaper and not yet finished, in this process.
    static size_t LateTeardownsPending();

private:
    void TearDown();

    std::shared_ptr<CBoundedBusState> m_pState;
    Clock::time_point m_tTeardownLimit = Clock::time_point::max();
};
