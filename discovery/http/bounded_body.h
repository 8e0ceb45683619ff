#pragma once

#include <cstddef>
#include <string>

#include <gio/gio.h>
#include <libsoup/soup.h>

// A response body read whole into strBody, or given up as soon as it grows
// past its cap: a peer can make the program hold no more than the cap and
// one byte.
class CBoundedBody {
public:
    // bWhole: the body ended within the cap; false after a read error, a
    // cancellation or a body past the cap.
    using Done = void (*)(void* pData, bool bWhole);

    // Reads pStream, the body of pMessage's response, on the thread's default
    // main context; fnDone runs once, when the read is over. False, with
    // nothing started, when the response's Content-Length is past the cap.
    // The stream and the cancellable must outlive the read.
    bool Start(SoupMessage* pMessage, GInputStream* pStream, GCancellable* pCancel, size_t nMaxBytes,
               Done fnDone, void* pData);

    std::string strBody;

private:
    void ReadMore();
    static void OnRead(GObject* pSource, GAsyncResult* pResult, gpointer pData);

    GInputStream* m_pStream = nullptr;
    GCancellable* m_pCancel = nullptr;
    size_t m_nMaxBytes = 0;
    Done m_fnDone = nullptr;
    void* m_pData = nullptr;
};
