#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include <gio/gio.h>
#include <libsoup/soup.h>

// One HTTP request of a peer and its response's body, bounded in time and in
// size: the deadline cancels whatever is still under way, and the body is
// given up as soon as it grows past its cap, so that a peer can make the
// program hold no more than the cap and one byte. On the thread's default
// main context.
class CBoundedFetch {
public:
    // bWhole: a 2xx response whose body ended within the cap and the deadline.
    using Done = void (*)(void* pData, bool bWhole);
    using Closed = void (*)(void* pData);

    CBoundedFetch() = default;
    // Not while the fetch is under way: only after fnDone.
    ~CBoundedFetch();
    CBoundedFetch(const CBoundedFetch&) = delete;
    CBoundedFetch& operator=(const CBoundedFetch&) = delete;

    // Sends pMessage (the fetch keeps it) on pSession, neither redirected nor
    // compressed (the cap counts what arrives); fnDone runs once, when it is
    // over.
    void Start(SoupSession* pSession, SoupMessage* pMessage, std::chrono::milliseconds deadline,
               size_t nMaxBytes, Done fnDone, void* pData);
    // Ends it early; fnDone follows (not whole) unless it ran already.
    void Cancel() { g_cancellable_cancel(m_pCancel); }
    guint GetStatus() const { return soup_message_get_status(m_pMessage); }
    // After fnDone: a whole body's stream is closed, so that its connection
    // may serve the next request, and fnClosed runs once it is; anything
    // else is cancelled, never drained, and fnClosed runs at once. The fetch
    // may be destroyed in fnClosed.
    void Close(bool bKeepConnection, Closed fnClosed);

    std::string strBody;

private:
    void ReadMore();
    void Finish(bool bWhole);
    static void OnSent(GObject* pSource, GAsyncResult* pResult, gpointer pData);
    static void OnRead(GObject* pSource, GAsyncResult* pResult, gpointer pData);
    static void OnClosed(GObject* pSource, GAsyncResult* pResult, gpointer pData);

    SoupMessage* m_pMessage = nullptr;
    GCancellable* m_pCancel = nullptr;
    GSource* m_pDeadline = nullptr;
    GInputStream* m_pStream = nullptr;
    size_t m_nMaxBytes = 0;
    Done m_fnDone = nullptr;
    Closed m_fnClosed = nullptr;
    void* m_pData = nullptr;
};
