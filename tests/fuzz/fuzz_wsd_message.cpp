// What a WS-Discovery device sends, read as the finder reads it and made
// into a row, checking what every result must satisfy. The first byte picks
// the reader: even a discovery message (ProbeMatches, ResolveMatches, Hello,
// Bye), odd a device's metadata.
#include <cstdlib>
#include <string_view>

#include "wsd_messages.h"
#include "wsd_method.h"

namespace {

void Check(bool bCondition) {
    if (!bCondition) std::abort();
}

void CheckTexts(const std::vector<std::string>& aTexts, bool bTypes) {
    Check(aTexts.size() <= WSD_MAX_ITEMS);
    for (const std::string& str : aTexts)
        Check(str.size() <= WSD_MAX_FIELD_BYTES + 2 &&
              (!bTypes || (str[0] == '{' && str.find('}') != str.npos)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0) return 0;
    const std::string_view data(reinterpret_cast<const char*>(pData) + 1, nSize - 1);
    if (pData[0] % 2 == 0) {
        WsdMessage message;
        if (!ParseWsdMessage(data, message)) return 0;
        Check(message.aEndpoints.size() <= WSD_MAX_ITEMS);
        for (const WsdEndpoint& endpoint : message.aEndpoints) {
            Check(endpoint.strAddress.size() <= WSD_MAX_FIELD_BYTES);
            CheckTexts(endpoint.aXAddrs, false);
            CheckTexts(endpoint.aTypes, true);
        }
        return 0;
    }
    // A row only from metadata that was read: the row of a device without
    // any is the same every time, and made for every input it cost as much
    // as the parse under test.
    WsdDevice device;
    device.aAddresses = {"fe80::1%eth0"};
    if (!ParseWsdMetadata(data, device.metadata)) return 0;
    const WsdMetadata& m = device.metadata;
    for (const std::string* p :
         {&m.strFriendlyName, &m.strManufacturer, &m.strModelName, &m.strPresentationUrl})
        Check(p->size() <= WSD_MAX_FIELD_BYTES);
    CheckTexts(m.aTypes, true);
    device.bMetadataRead = true;
    const ScanRow row = ScanRowFromWsdDevice(device);
    Check(row.strIpAddress == u"fe80::1%eth0" && !row.strName.empty() && !row.strUrl.empty());
    return 0;
}
