#include "bounded_body.h"

#include <algorithm>

bool CBoundedBody::Start(SoupMessage* pMessage, GInputStream* pStream, GCancellable* pCancel,
                         size_t nMaxBytes, Done fnDone, void* pData) {
    SoupMessageHeaders* pHeaders = soup_message_get_response_headers(pMessage);
    if (soup_message_headers_get_encoding(pHeaders) == SOUP_ENCODING_CONTENT_LENGTH &&
        soup_message_headers_get_content_length(pHeaders) > static_cast<goffset>(nMaxBytes)) {
        return false;
    }
    m_pStream = pStream;
    m_pCancel = pCancel;
    m_nMaxBytes = nMaxBytes;
    m_fnDone = fnDone;
    m_pData = pData;
    ReadMore();
    return true;
}

void CBoundedBody::ReadMore() {
    // One byte beyond the cap is enough to know the body is too long.
    const size_t nRoom = m_nMaxBytes + 1 - strBody.size();
    g_input_stream_read_bytes_async(m_pStream, std::min<size_t>(nRoom, 64 * 1024), G_PRIORITY_DEFAULT,
                                    m_pCancel, OnRead, this);
}

void CBoundedBody::OnRead(GObject* pSource, GAsyncResult* pResult, gpointer pData) {
    auto* p = static_cast<CBoundedBody*>(pData);
    GBytes* pBytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(pSource), pResult, nullptr);
    if (!pBytes) return p->m_fnDone(p->m_pData, false);
    gsize nSize = 0;
    const auto* pChunk = static_cast<const char*>(g_bytes_get_data(pBytes, &nSize));
    if (nSize > 0) p->strBody.append(pChunk, nSize);
    g_bytes_unref(pBytes);
    if (nSize == 0) return p->m_fnDone(p->m_pData, true);
    if (p->strBody.size() > p->m_nMaxBytes) return p->m_fnDone(p->m_pData, false);
    p->ReadMore();
}
