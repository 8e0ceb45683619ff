// UPnP in the live scan: the device finder's bounded search with a short MX,
// each printer listed the moment its description is read, its row made by
// the provider's own packet making, at the address that sent it. Under
// watch it searches again every interval, so that a changed description
// lists its printer again.
#include <cstdlib>

#include "live_sources.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"

namespace {

// The port of an http URL ("http://192.0.2.5:49152/d.xml"); 80 without one.
uint16_t UrlPort(const std::string& strUrl) {
    const size_t nHost = strUrl.find("://");
    if (nHost == std::string::npos) return 0;
    const size_t nEnd = strUrl.find_first_of("/?#", nHost + 3);
    const std::string strAuthority = strUrl.substr(nHost + 3, nEnd - (nHost + 3));
    const size_t nColon = strAuthority.rfind(':');
    if (nColon == std::string::npos) return strUrl.compare(0, 5, "https") == 0 ? 443 : 80;
    const unsigned long nPort = std::strtoul(strAuthority.c_str() + nColon + 1, nullptr, 10);
    return nPort > 0 && nPort < 65536 ? static_cast<uint16_t>(nPort) : 0;
}

class CLiveUpnpSource : public CLiveSource {
public:
    explicit CLiveUpnpSource(const LiveScanSettings& settings)
        : m_finder(Limits(settings)), m_again(settings) {}

    std::u16string GetName() const override { return u"UPNP"; }
    int32_t Run(CLiveRowSink& sink) override {
        const uint32_t nCode = CUPnPDeviceFinder::CheckAvailable();
        if (nCode != 0) return static_cast<int32_t>(nCode);
        m_finder.SetDeviceCallback([&sink](const UPnPDevice& device) {
            MulticastDataPacket packet;
            if (MakeUPnPPacket(device, packet, UPnPAddressFrom::SENDER) != UPnPPacketResult::MADE) return;
            ScanRow row = ScanRowFromPacket(packet, PROVIDER_KIND_UPNP);
            row.nPort = UrlPort(device.strDocumentUrl);
            sink.Emit(std::move(row));
        });
        // No SSDP client could start (or no interface): UPnP cannot work
        // here. A stopped search still counts as one that ran.
        return m_again.Run([this] {
            std::vector<UPnPDevice> aDevices;
            const uint32_t nFound = m_finder.FindByType("ssdp:all", aDevices);
            return nFound == UPNP_E_CANCELLED ? 0 : static_cast<int32_t>(nFound);
        });
    }

    void Stop() override {
        m_again.Stop();
        m_finder.Stop();
    }

private:
    static UPnPFinderLimits Limits(const LiveScanSettings& settings) {
        UPnPFinderLimits limits;
        limits.nMx = settings.nUpnpMx;
        limits.quietAfter = settings.upnpQuietAfter;
        limits.hardEnd = settings.upnpHardEnd;
        return limits;
    }

    CUPnPDeviceFinder m_finder;
    CSearchAgain m_again;
};

}  // namespace

std::unique_ptr<CLiveSource> CreateLiveUpnpSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveUpnpSource>(settings);
}
