// A description document as a device serves it, through what the finder
// does with a fetched body (ParseUPnPDescription with the finder's limits)
// and what the provider makes of each device found (MakeUPnPPacket: the
// printer test, the address pattern on the document URL, the names made fit
// for the list), checking what every result must satisfy.
//
// Input: the LOCATION the document came from, a line feed, then the body.
// An SSDP header holds no line feed, so the first one always ends the
// LOCATION; an input without one is a body fetched from a fixed address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "network_text.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"

namespace {

constexpr std::string_view SENDER = "192.168.1.20";
constexpr std::string_view DEFAULT_LOCATION = "http://192.168.1.20:80/description.xml";
constexpr size_t MAX_LOCATION_BYTES = 128;
static_assert(MAX_LOCATION_BYTES <= UPNP_MAX_URL_BYTES);

void Check(bool bCondition) {
    if (!bCondition) std::abort();
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Trimmed (a text cut at the cap may end in a space), within the cap, and
// no UTF-8 sequence cut at the end.
void CheckField(const std::string& strField) {
    Check(strField.size() <= UPNP_MAX_FIELD_BYTES);
    if (strField.empty()) return;
    Check(!IsSpace(strField.front()));
    if (strField.size() + 3 < UPNP_MAX_FIELD_BYTES) Check(!IsSpace(strField.back()));
    size_t nLead = strField.size() - 1;
    while (nLead > 0 && (static_cast<unsigned char>(strField[nLead]) & 0xC0) == 0x80) --nLead;
    const auto b = static_cast<unsigned char>(strField[nLead]);
    const size_t nNeeded = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    Check(nNeeded == 0 || strField.size() - nLead <= nNeeded);
}

// Fit for the list and the trace: bounded, no control characters, no half
// of a surrogate pair at the cut.
void CheckText(const std::u16string& strText, size_t nMaxUnits) {
    Check(strText.size() <= nMaxUnits);
    for (char16_t c : strText) {
        Check(c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && c != 0x2028 && c != 0x2029);
    }
    if (!strText.empty()) Check(!(strText.back() >= 0xD800 && strText.back() <= 0xDBFF));
}

// One to three digits, four times, dot-separated.
bool IsDottedQuad(const std::u16string& strAddress) {
    int nGroups = 0;
    int nDigits = 0;
    for (char16_t c : strAddress) {
        if (c >= u'0' && c <= u'9') {
            if (++nDigits > 3) return false;
        } else if (c == u'.' && nDigits > 0 && nGroups < 3) {
            ++nGroups;
            nDigits = 0;
        } else {
            return false;
        }
    }
    return nGroups == 3 && nDigits > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static const UPnPFinderLimits limits;  // the finder's own
    std::string_view body(reinterpret_cast<const char*>(pData), nSize);
    std::string_view location = DEFAULT_LOCATION;
    const size_t nLineFeed = body.find('\n');
    if (nLineFeed != std::string_view::npos) {
        location = body.substr(0, nLineFeed);
        body.remove_prefix(nLineFeed + 1);
    }
    // The finder drops longer bodies and LOCATIONs (UPNP_MAX_URL_BYTES). The
    // address pattern's work grows with the URL, and long URLs are the regex
    // tests' business: here they would only make every run slower.
    if (location.size() > MAX_LOCATION_BYTES || body.size() > limits.nMaxDocumentBytes) return -1;

    // Where the finder would fetch from: the sender itself, or nothing.
    std::string strHost;
    const std::string strFetch = UPnPFetchUrl(location, SENDER, strHost);
    Check(strFetch.empty() || strFetch.rfind("http://" + std::string(SENDER) + ":", 0) == 0);
    Check(strFetch.empty() ? strHost.empty() : strHost.find_first_of("\r\n") == std::string::npos);

    const std::string strLocation(location);
    std::vector<UPnPDevice> aDevices;
    const bool bOk = ParseUPnPDescription(body, strLocation, aDevices, limits);
    Check(bOk == !aDevices.empty());
    Check(aDevices.size() <= limits.nMaxDevicesPerDocument);

    for (const UPnPDevice& device : aDevices) {
        // Only the type is required: a device without a name or UDN is still reported.
        Check(!device.strType.empty());
        for (const std::string* pField :
             {&device.strType, &device.strFriendlyName, &device.strUdn, &device.strModelUrl,
              &device.strManufacturer, &device.strModelName}) {
            CheckField(*pField);
        }
        Check(device.strDocumentUrl == strLocation);

        MulticastDataPacket packet;
        switch (MakeUPnPPacket(device, packet)) {
            case UPnPPacketResult::NOT_PRINTER:
                Check(packet.strName.empty() && packet.bComplete == 0);
                break;
            case UPnPPacketResult::NO_ADDRESS:
                CheckText(packet.strName, UPNP_MAX_NAME_UNITS);
                Check(packet.strIpAddress.empty() && packet.bComplete == 0);
                break;
            case UPnPPacketResult::MADE: {
                CheckText(packet.strName, UPNP_MAX_NAME_UNITS);
                CheckText(packet.strUrl, UPNP_MAX_URL_UNITS);
                Check(packet.bComplete == 1);
                // The leftmost dotted quad of the document URL, as listed.
                const std::u16string strUrl = BoundedNetworkText(strLocation, UPNP_MAX_URL_UNITS);
                Check(IsDottedQuad(packet.strIpAddress));
                Check(strUrl.find(packet.strIpAddress) != std::u16string::npos);
                break;
            }
        }
    }
    return 0;
}
