// UPnP in the live scan: the device finder's bounded search with a short MX,
// each printer listed the moment its description is read, its row made by
// the provider's own packet making, at the address that sent it.
#include "live_sources.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"

namespace {

class CLiveUpnpSource : public CLiveSource {
public:
    explicit CLiveUpnpSource(const LiveScanSettings& settings) : m_finder(Limits(settings)) {}

    std::u16string GetName() const override { return u"UPNP"; }
    int32_t Run(CLiveRowSink& sink) override {
        const uint32_t nCode = CUPnPDeviceFinder::CheckAvailable();
        if (nCode != 0) return static_cast<int32_t>(nCode);
        m_finder.SetDeviceCallback([&sink](const UPnPDevice& device) {
            MulticastDataPacket packet;
            if (MakeUPnPPacket(device, packet, UPnPAddressFrom::SENDER) != UPnPPacketResult::MADE) return;
            sink.Emit(ScanRowFromPacket(packet, PROVIDER_KIND_UPNP));
        });
        std::vector<UPnPDevice> aDevices;
        // No SSDP client could start (or no interface): UPnP cannot work
        // here. A stopped search still counts as one that ran.
        const uint32_t nFound = m_finder.FindByType("ssdp:all", aDevices);
        return nFound == UPNP_E_CANCELLED ? 0 : static_cast<int32_t>(nFound);
    }

    void Stop() override { m_finder.Stop(); }

private:
    static UPnPFinderLimits Limits(const LiveScanSettings& settings) {
        UPnPFinderLimits limits;
        limits.nMx = settings.nUpnpMx;
        limits.quietAfter = settings.upnpQuietAfter;
        limits.hardEnd = settings.upnpHardEnd;
        return limits;
    }

    CUPnPDeviceFinder m_finder;
};

}  // namespace

std::unique_ptr<CLiveSource> CreateLiveUpnpSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveUpnpSource>(settings);
}
