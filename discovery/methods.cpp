#include "methods.h"

#include <algorithm>

#include "live_scan.h"
#include "mdns_method.h"
#include "snmp_method.h"
#include "unicast_method.h"
#include "upnp_method.h"
#include "wsd_method.h"

const std::vector<const DiscoveryMethod*>& DiscoveryMethods() {
    static const std::vector<const DiscoveryMethod*> METHODS{
        &MDNS_METHOD, &UPNP_METHOD, &WSD_METHOD, &SNMP_METHOD, &DNS_SD_METHOD,
    };
    return METHODS;
}

namespace {

template <typename Field, typename Value>
const DiscoveryMethod* FindMethod(Field DiscoveryMethod::*pField, const Value& value) {
    const auto& aMethods = DiscoveryMethods();
    const auto it = std::find_if(aMethods.begin(), aMethods.end(),
                                 [&](const DiscoveryMethod* p) { return p->*pField == value; });
    return it != aMethods.end() ? *it : nullptr;
}

}  // namespace

const DiscoveryMethod* FindMethodByKind(int32_t nKind) {
    return FindMethod(&DiscoveryMethod::nKind, nKind);
}

const DiscoveryMethod* FindMethodBySource(std::u16string_view strSource) {
    return FindMethod(&DiscoveryMethod::strSource, strSource);
}

const DiscoveryMethod* FindMethodByName(std::u16string_view strName) {
    return FindMethod(&DiscoveryMethod::strName, strName);
}

std::string UnavailableText(const DiscoveryMethod& method) {
    return method.pfnUnavailableText ? method.pfnUnavailableText() : UnavailableText(method, "");
}

LiveSourceArray CreateLiveSources(const LiveScanSettings& settings) {
    LiveSourceArray aSources;
    for (const DiscoveryMethod* pMethod : DiscoveryMethods()) {
        if (pMethod->pfnCreateLiveSource && settings.Uses(pMethod->nKind))
            aSources.push_back(pMethod->pfnCreateLiveSource(settings));
    }
    return aSources;
}
