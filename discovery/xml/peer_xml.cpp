#include "peer_xml.h"

#include <climits>
#include <mutex>

#include <libxml/parser.h>

namespace {

// A peer's document never needs a DTD; refusing the DOCTYPE as soon as it is
// seen keeps entity declarations (bombs, external entities) from ever being
// parsed.
void OnDoctype(void* pCtx, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* pParser = static_cast<xmlParserCtxtPtr>(pCtx);
    pParser->_private = pParser;  // marks the refusal
    xmlStopParser(pParser);
}

}  // namespace

PeerXmlDoc ParsePeerXml(std::string_view data) {
    if (data.empty() || data.size() > static_cast<size_t>(INT_MAX)) return nullptr;
    static std::once_flag s_init;
    std::call_once(s_init, [] { xmlInitParser(); });

    xmlParserCtxtPtr pParser = xmlNewParserCtxt();
    if (!pParser) return nullptr;
    pParser->sax->internalSubset = OnDoctype;
    pParser->sax->externalSubset = OnDoctype;
    pParser->_private = nullptr;
    // libxml2 reports some errors, such as bytes the declared encoding cannot
    // convert, on the thread's error handler whatever the options say: without
    // this one, what a device sends would reach the program's stderr. The
    // handler belongs to the calling thread, which gets its own back after.
    const xmlStructuredErrorFunc fnSavedError = xmlStructuredError;
    void* const pSavedErrorContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(nullptr, [](void*, auto) {});
    PeerXmlDoc pDoc(xmlCtxtReadMemory(pParser, data.data(), static_cast<int>(data.size()), nullptr, nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    xmlSetStructuredErrorFunc(pSavedErrorContext, fnSavedError);
    const bool bRefused = pParser->_private != nullptr || !pParser->wellFormed;
    // The document keeps its own reference to the context's dictionary.
    xmlFreeParserCtxt(pParser);
    if (!pDoc || bRefused || pDoc->intSubset || pDoc->extSubset) return nullptr;
    return pDoc;
}
