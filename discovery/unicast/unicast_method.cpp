#include "unicast_method.h"

// Switched on by --domain, which takes values: no switch of its own. Its
// browse runs beside the live scan (cli/unicast_scan.cpp), and its
// --diagnose check (the search domains) is still cli/diagnose.cpp's.
const DiscoveryMethod DNS_SD_METHOD{
    .nKind = ROW_KIND_UNICAST_DNSSD,
    .strSource = u"dns-sd",
    .strName = u"DNS-SD",
    .bOnByDefault = false,
    .pszOption = nullptr,
    .pszOptionHelp = nullptr,
    .strDaemon = {},
    .pfnUnavailableText = nullptr,
    .pfnCreateLiveSource = nullptr,
    .pfnDiagnose = nullptr,
};
