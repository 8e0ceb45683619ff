#include "upnp_method.h"

#include "live_scan.h"

// UPnP through the device finder, each printer as its description arrives.
std::unique_ptr<CLiveSource> CreateLiveUpnpSource(const LiveScanSettings& settings);

const DiscoveryMethod UPNP_METHOD{
    .nKind = PROVIDER_KIND_UPNP,
    .strSource = u"upnp",
    .strName = u"UPNP",
    .bOnByDefault = true,
    .pszOption = "no-upnp",
    .pszOptionHelp = "Leave UPnP out of this scan",
    .strDaemon = {},
    .pfnUnavailableText = nullptr,
    .pfnCreateLiveSource = CreateLiveUpnpSource,
    .pfnDiagnose = nullptr,
};
