#include "bounded_fetch.h"

#include <algorithm>

CBoundedFetch::~CBoundedFetch() {
    if (m_pDeadline) {
        g_source_destroy(m_pDeadline);
        g_source_unref(m_pDeadline);
    }
    g_clear_object(&m_pStream);
    g_clear_object(&m_pMessage);
    g_clear_object(&m_pCancel);
}

void CBoundedFetch::Start(SoupSession* pSession, SoupMessage* pMessage, std::chrono::milliseconds deadline,
                          size_t nMaxBytes, Done fnDone, void* pData) {
    m_pMessage = pMessage;
    m_nMaxBytes = nMaxBytes;
    m_fnDone = fnDone;
    m_pData = pData;
    soup_message_add_flags(pMessage, SOUP_MESSAGE_NO_REDIRECT);
    soup_message_headers_replace(soup_message_get_request_headers(pMessage), "Accept-Encoding", "identity");
    m_pCancel = g_cancellable_new();
    m_pDeadline = g_timeout_source_new(static_cast<guint>(deadline.count()));
    const GSourceFunc fnDeadline = [](gpointer p) -> gboolean {
        static_cast<CBoundedFetch*>(p)->Cancel();
        return G_SOURCE_REMOVE;
    };
    g_source_set_callback(m_pDeadline, fnDeadline, this, nullptr);
    g_source_attach(m_pDeadline, g_main_context_get_thread_default());
    soup_session_send_async(pSession, pMessage, G_PRIORITY_DEFAULT, m_pCancel, OnSent, this);
}

void CBoundedFetch::OnSent(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    auto* p = static_cast<CBoundedFetch*>(pData);
    p->m_pStream = soup_session_send_finish(SOUP_SESSION(pSource), pResult, nullptr);
    const guint nStatus = p->GetStatus();
    SoupMessageHeaders* pHeaders = soup_message_get_response_headers(p->m_pMessage);
    const bool bTooLong =
        soup_message_headers_get_encoding(pHeaders) == SOUP_ENCODING_CONTENT_LENGTH &&
        soup_message_headers_get_content_length(pHeaders) > static_cast<goffset>(p->m_nMaxBytes);
    if (!p->m_pStream || nStatus < 200 || nStatus > 299 || bTooLong) return p->Finish(false);
    p->ReadMore();
}

void CBoundedFetch::ReadMore() {
    // One byte beyond the cap is enough to know the body is too long.
    const size_t nRoom = m_nMaxBytes + 1 - strBody.size();
    g_input_stream_read_bytes_async(m_pStream, std::min<size_t>(nRoom, 64 * 1024), G_PRIORITY_DEFAULT,
                                    m_pCancel, OnRead, this);
}

void CBoundedFetch::OnRead(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    auto* p = static_cast<CBoundedFetch*>(pData);
    GBytes* pBytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(pSource), pResult, nullptr);
    if (!pBytes) return p->Finish(false);
    gsize nSize = 0;
    const auto* pChunk = static_cast<const char*>(g_bytes_get_data(pBytes, &nSize));
    if (nSize > 0) p->strBody.append(pChunk, nSize);
    g_bytes_unref(pBytes);
    if (nSize == 0) return p->Finish(true);
    if (p->strBody.size() > p->m_nMaxBytes) return p->Finish(false);
    p->ReadMore();
}

void CBoundedFetch::Finish(bool bWhole) {
    g_source_destroy(m_pDeadline);
    g_clear_pointer(&m_pDeadline, g_source_unref);
    m_fnDone(m_pData, bWhole);
}

void CBoundedFetch::Close(bool bKeepConnection, Closed fnClosed) {
    m_fnClosed = fnClosed;
    if (bKeepConnection && m_pStream) {
        g_input_stream_close_async(m_pStream, G_PRIORITY_DEFAULT, m_pCancel, OnClosed, this);
        return;
    }
    Cancel();
    fnClosed(m_pData);
}

void CBoundedFetch::OnClosed(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    g_input_stream_close_finish(G_INPUT_STREAM(pSource), pResult, nullptr);
    auto* p = static_cast<CBoundedFetch*>(pData);
    p->m_fnClosed(p->m_pData);
}
