#pragma once

#include <memory>
#include <string_view>

#include <libxml/tree.h>

struct PeerXmlDocFree {
    void operator()(xmlDoc* pDoc) const { xmlFreeDoc(pDoc); }
};
using PeerXmlDoc = std::unique_ptr<xmlDoc, PeerXmlDocFree>;

// A document a peer sent, parsed without ever touching the network or a DTD:
// empty when it is not well-formed, carries a DOCTYPE, or is empty or too
// large for libxml2. Nothing of it reaches the program's stderr.
PeerXmlDoc ParsePeerXml(std::string_view data);
