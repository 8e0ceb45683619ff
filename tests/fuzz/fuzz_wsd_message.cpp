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
    WsdDevice device;
    device.aAddresses = {"fe80::1%eth0"};
    WsdMessage message;
    if (pData[0] % 2 == 0 && ParseWsdMessage(data, message)) {
        Check(message.aEndpoints.size() <= WSD_MAX_ITEMS);
        for (const WsdEndpoint& endpoint : message.aEndpoints) {
            CheckTexts({endpoint.strAddress}, false);
            CheckTexts(endpoint.aXAddrs, false);
            CheckTexts(endpoint.aTypes, true);
        }
    } else if (pData[0] % 2 == 1 && ParseWsdMetadata(data, device.metadata)) {
        const WsdMetadata& m = device.metadata;
        CheckTexts({m.strFriendlyName, m.strManufacturer, m.strModelName, m.strPresentationUrl}, false);
        CheckTexts(m.aTypes, true);
    }
    const ScanRow row = ScanRowFromWsdDevice(device);
    Check(row.strIpAddress == u"fe80::1%eth0" && !row.strName.empty() && !row.strUrl.empty());
    return 0;
}
