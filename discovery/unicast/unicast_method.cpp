#include "unicast_method.h"

namespace {

// Each domain that failed was named already, as it failed.
std::string NothingMoreToSay() {
    return {};
}

}  // namespace

// Its --diagnose check (the search domains) is still cli/diagnose.cpp's.
const DiscoveryMethod DNS_SD_METHOD{
    .nKind = ROW_KIND_UNICAST_DNSSD,
    .strSource = u"dns-sd",
    .strName = u"DNS-SD",
    .bOnByDefault = false,
    .pszOption = nullptr,
    .pszOptionHelp = nullptr,
    .strDaemon = {},
    .pfnUnavailableText = NothingMoreToSay,
    .pfnCreateLiveSource = CreateLiveUnicastSource,
    .pfnDiagnose = nullptr,
};
