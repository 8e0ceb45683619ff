// WS-Discovery 2005/04 and the Devices Profile (DPWS 2006/02), as printers
// speak them: the SOAP 1.2 envelopes a client sends, and the reading of what
// devices send back. No I/O here; what a peer sent is read with libxml2
// without network access, DTDs or entity expansion.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Types are kept as "{namespace}LocalName", their prefixes resolved from the
// message's own declarations.
constexpr const char* WSD_PRINT_DEVICE_TYPE =
    "{http://schemas.microsoft.com/windows/2006/08/wdp/print}PrintDeviceType";
constexpr const char* WSD_PRINTER_SERVICE_TYPE =
    "{http://schemas.microsoft.com/windows/2006/08/wdp/print}PrinterServiceType";

constexpr size_t WSD_MAX_FIELD_BYTES = 1024;  // each text taken from a peer
constexpr size_t WSD_MAX_ITEMS = 64;          // types, addresses, matches per message

// One endpoint as a discovery message describes it.
struct WsdEndpoint {
    std::string strAddress;           // wsa:EndpointReference/wsa:Address, e.g. "urn:uuid:..."
    std::vector<std::string> aTypes;  // expanded
    std::vector<std::string> aXAddrs;
};

struct WsdMessage {
    enum class Kind { PROBE_MATCHES, RESOLVE_MATCHES, HELLO, BYE };
    Kind kind = Kind::PROBE_MATCHES;
    std::string strRelatesTo;  // the MessageID this answers (matches only)
    std::vector<WsdEndpoint> aEndpoints;
};

// ProbeMatches, ResolveMatches, Hello or Bye; false for anything else, a
// document that is not well-formed or one with a DOCTYPE.
bool ParseWsdMessage(std::string_view data, WsdMessage& message);

// What a device's metadata (the WS-Transfer GetResponse) tells of it; the
// first text of each kind, as devices give one per language.
struct WsdMetadata {
    std::string strFriendlyName;
    std::string strManufacturer;
    std::string strModelName;
    std::string strPresentationUrl;
    std::vector<std::string> aTypes;  // of the Host and the Hosted services, expanded
};

// False when the document is no SOAP envelope, is not well-formed or has a
// DOCTYPE.
bool ParseWsdMetadata(std::string_view data, WsdMetadata& metadata);

// A print device, or a device that hosts a print service.
bool WsdTypesNamePrinter(const std::vector<std::string>& aTypes);

// A fresh "urn:uuid:..." for a MessageID.
std::string WsdNewMessageId();
// A Probe for print devices.
std::string WsdProbeMessage(const std::string& strMessageId);
// A Resolve of the endpoint address.
std::string WsdResolveMessage(const std::string& strMessageId, const std::string& strEndpoint);
// The WS-Transfer Get of a device's metadata, addressed to its endpoint.
std::string WsdGetMessage(const std::string& strMessageId, const std::string& strEndpoint);
