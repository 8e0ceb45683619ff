#include "wsd_messages.h"

#include <glib.h>
#include <libxml/tree.h>

#include <utility>

#include "peer_xml.h"

namespace {

constexpr const char* SOAP_HEAD =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
    "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
    "xmlns:wprt=\"http://schemas.microsoft.com/windows/2006/08/wdp/print\">"
    "<soap:Header>";

std::string Escaped(const std::string& str) {
    gchar* psz = g_markup_escape_text(str.c_str(), static_cast<gssize>(str.size()));
    std::string strOut(psz);
    g_free(psz);
    return strOut;
}

std::string Envelope(const std::string& strTo, const char* pszAction, const std::string& strMessageId,
                     const std::string& strBody) {
    return std::string(SOAP_HEAD) + "<wsa:To>" + Escaped(strTo) + "</wsa:To><wsa:Action>" + pszAction +
           "</wsa:Action><wsa:MessageID>" + Escaped(strMessageId) +
           "</wsa:MessageID><wsa:ReplyTo><wsa:Address>"
           "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</wsa:Address></wsa:ReplyTo>"
           "</soap:Header><soap:Body>" +
           strBody + "</soap:Body></soap:Envelope>";
}

constexpr const char* DISCOVERY_TO = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";

bool IsElement(const xmlNode* p, const char* pszName) {
    return p && p->type == XML_ELEMENT_NODE && xmlStrcmp(p->name, BAD_CAST pszName) == 0;
}

// Elements by local name: devices get namespaces wrong more often than
// names, and the names used here mean one thing in every profile.
xmlNode* Child(const xmlNode* pParent, const char* pszName) {
    for (xmlNode* p = pParent ? pParent->children : nullptr; p; p = p->next) {
        if (IsElement(p, pszName)) return p;
    }
    return nullptr;
}

// Trimmed, and cut to WSD_MAX_FIELD_BYTES at a character's start.
std::string Text(const xmlNode* p) {
    if (!p) return {};
    xmlChar* psz = xmlNodeGetContent(p);
    std::string str = psz ? reinterpret_cast<const char*>(psz) : "";
    xmlFree(psz);
    const size_t nStart = str.find_first_not_of(" \t\r\n");
    if (nStart == std::string::npos) return {};
    str = str.substr(nStart, str.find_last_not_of(" \t\r\n") - nStart + 1);
    if (str.size() > WSD_MAX_FIELD_BYTES) {
        size_t nCut = WSD_MAX_FIELD_BYTES;
        while (nCut > 0 && (static_cast<unsigned char>(str[nCut]) & 0xC0) == 0x80) --nCut;
        str.resize(nCut);
    }
    return str;
}

std::vector<std::string> Words(const std::string& str) {
    std::vector<std::string> aWords;
    size_t n = 0;
    while (aWords.size() < WSD_MAX_ITEMS && (n = str.find_first_not_of(" \t\r\n", n)) != std::string::npos) {
        const size_t nEnd = std::min(str.find_first_of(" \t\r\n", n), str.size());
        aWords.push_back(str.substr(n, nEnd - n));
        n = nEnd;
    }
    return aWords;
}

// QNames resolved against the declarations in scope at the element; one
// whose prefix is not declared is dropped.
void AppendTypes(xmlDoc* pDoc, xmlNode* pTypes, std::vector<std::string>& aTypes) {
    if (!pTypes) return;
    for (const std::string& strWord : Words(Text(pTypes))) {
        const size_t nColon = strWord.find(':');
        const std::string strPrefix = nColon == std::string::npos ? "" : strWord.substr(0, nColon);
        xmlNs* pNs = xmlSearchNs(pDoc, pTypes, strPrefix.empty() ? nullptr : BAD_CAST strPrefix.c_str());
        if (!pNs || !pNs->href || xmlStrlen(pNs->href) > static_cast<int>(WSD_MAX_FIELD_BYTES)) continue;
        if (aTypes.size() >= WSD_MAX_ITEMS) return;
        // Appended in steps: GCC 12 at -O3 takes "{" + std::string(...) for an overlapping copy.
        std::string strType = "{";
        strType += reinterpret_cast<const char*>(pNs->href);
        strType += '}';
        strType += strWord.substr(nColon == std::string::npos ? 0 : nColon + 1);
        aTypes.push_back(std::move(strType));
    }
}

// The envelope's Body, read into fnRead; false when there is none.
template <typename Fn>
bool ReadEnvelope(std::string_view data, Fn&& fnRead) {
    const PeerXmlDoc pDoc = ParsePeerXml(data);
    if (!pDoc) return false;
    xmlNode* pRoot = xmlDocGetRootElement(pDoc.get());
    return IsElement(pRoot, "Envelope") && fnRead(pDoc.get(), Child(pRoot, "Header"), Child(pRoot, "Body"));
}

void ReadMetadataNode(xmlDoc* pDoc, xmlNode* pNode, WsdMetadata& metadata) {
    for (xmlNode* p = pNode ? pNode->children : nullptr; p; p = p->next) {
        if (p->type != XML_ELEMENT_NODE) continue;
        const auto fnFirst = [p](const char* pszName, std::string& str) {
            if (IsElement(p, pszName) && str.empty()) str = Text(p);
            return IsElement(p, pszName);
        };
        if (fnFirst("FriendlyName", metadata.strFriendlyName) ||
            fnFirst("Manufacturer", metadata.strManufacturer) ||
            fnFirst("ModelName", metadata.strModelName) ||
            fnFirst("PresentationUrl", metadata.strPresentationUrl)) {
            continue;
        }
        if (IsElement(p, "Types")) {
            if (IsElement(pNode, "Host") || IsElement(pNode, "Hosted")) AppendTypes(pDoc, p, metadata.aTypes);
            continue;
        }
        ReadMetadataNode(pDoc, p, metadata);
    }
}

}  // namespace

bool ParseWsdMessage(std::string_view data, WsdMessage& message) {
    message = WsdMessage{};
    return ReadEnvelope(data, [&message](xmlDoc* pDoc, xmlNode* pHeader, xmlNode* pBody) {
        static constexpr std::pair<const char*, const char*> KINDS[] = {{"ProbeMatches", "ProbeMatch"},
                                                                        {"ResolveMatches", "ResolveMatch"},
                                                                        {"Hello", nullptr},
                                                                        {"Bye", nullptr}};
        for (size_t nKind = 0; nKind < 4; ++nKind) {
            xmlNode* pOuter = Child(pBody, KINDS[nKind].first);
            if (!pOuter) continue;
            message.kind = static_cast<WsdMessage::Kind>(nKind);
            message.strRelatesTo = Text(Child(pHeader, "RelatesTo"));
            for (xmlNode* p = KINDS[nKind].second ? pOuter->children : pOuter; p; p = p->next) {
                if (KINDS[nKind].second && !IsElement(p, KINDS[nKind].second)) continue;
                WsdEndpoint endpoint;
                endpoint.strAddress = Text(Child(Child(p, "EndpointReference"), "Address"));
                AppendTypes(pDoc, Child(p, "Types"), endpoint.aTypes);
                endpoint.aXAddrs = Words(Text(Child(p, "XAddrs")));
                if (!endpoint.strAddress.empty() && message.aEndpoints.size() < WSD_MAX_ITEMS)
                    message.aEndpoints.push_back(std::move(endpoint));
                if (!KINDS[nKind].second) break;
            }
            return true;
        }
        return false;
    });
}

bool ParseWsdMetadata(std::string_view data, WsdMetadata& metadata) {
    metadata = WsdMetadata{};
    return ReadEnvelope(data, [&metadata](xmlDoc* pDoc, xmlNode*, xmlNode* pBody) {
        if (!pBody) return false;
        ReadMetadataNode(pDoc, pBody, metadata);
        return true;
    });
}

bool WsdTypesNamePrinter(const std::vector<std::string>& aTypes) {
    for (const std::string& str : aTypes) {
        if (str == WSD_PRINT_DEVICE_TYPE || str == WSD_PRINTER_SERVICE_TYPE) return true;
    }
    return false;
}

std::string WsdNewMessageId() {
    gchar* psz = g_uuid_string_random();
    std::string str = std::string("urn:uuid:") + psz;
    g_free(psz);
    return str;
}

std::string WsdProbeMessage(const std::string& strMessageId) {
    return Envelope(DISCOVERY_TO, "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe", strMessageId,
                    "<wsd:Probe><wsd:Types>wprt:PrintDeviceType</wsd:Types></wsd:Probe>");
}

std::string WsdResolveMessage(const std::string& strMessageId, const std::string& strEndpoint) {
    return Envelope(DISCOVERY_TO, "http://schemas.xmlsoap.org/ws/2005/04/discovery/Resolve", strMessageId,
                    "<wsd:Resolve><wsa:EndpointReference><wsa:Address>" + Escaped(strEndpoint) +
                        "</wsa:Address></wsa:EndpointReference></wsd:Resolve>");
}

std::string WsdGetMessage(const std::string& strMessageId, const std::string& strEndpoint) {
    return Envelope(strEndpoint, "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get", strMessageId, "");
}
