// WS-Discovery in the live scan: the finder's bounded search, each printer
// listed the moment its metadata is read or given up on; under watch the
// search is made again every interval.
#include "conv_string.h"
#include "live_sources.h"
#include "network_text.h"
#include "wsd_finder.h"

namespace {

constexpr size_t WSD_MAX_NAME_UNITS = 256;
constexpr size_t WSD_MAX_URL_UNITS = 2048;

class CLiveWsdSource : public CLiveSource {
public:
    explicit CLiveWsdSource(const LiveScanSettings& settings)
        : m_finder(Limits(settings)), m_again(settings) {}

    std::u16string GetName() const override { return u"WSD"; }
    int32_t Run(CLiveRowSink& sink) override {
        const uint32_t nCode = CWsdFinder::CheckAvailable();
        if (nCode != 0) return static_cast<int32_t>(nCode);
        m_finder.SetPrinterCallback(
            [&sink](const WsdDevice& device) { sink.Emit(ScanRowFromWsdDevice(device)); });
        m_finder.SetAddressCallback([&sink](const std::string& strListed, const std::string& strAddress) {
            sink.AddAddress(Utf8ToUtf16(strListed), Utf8ToUtf16(strAddress));
        });
        return m_again.Run([this] {
            m_finder.Find();
            return 0;
        });
    }
    void Stop() override {
        m_again.Stop();
        m_finder.Stop();
    }

private:
    static WsdFinderLimits Limits(const LiveScanSettings& settings) {
        WsdFinderLimits limits;
        limits.listenFor = settings.wsdListenFor;
        return limits;
    }

    CWsdFinder m_finder;
    CSearchAgain m_again;
};

}  // namespace

ScanRow ScanRowFromWsdDevice(const WsdDevice& device) {
    ScanRow row;
    row.nKind = ROW_KIND_WSD;
    for (const std::string& str : device.aAddresses) row.aAddresses.push_back(Utf8ToUtf16(str));
    if (!row.aAddresses.empty()) row.strIpAddress = row.aAddresses.front();
    row.strUuid = TrimmedNetworkText(device.strEndpoint, WSD_MAX_URL_UNITS);
    const WsdMetadata& metadata = device.metadata;
    // "make model", or whichever of the two the device gives.
    row.strModel = TrimmedNetworkText(metadata.strManufacturer, WSD_MAX_NAME_UNITS);
    const std::u16string strModelName = TrimmedNetworkText(metadata.strModelName, WSD_MAX_NAME_UNITS);
    if (!row.strModel.empty() && !strModelName.empty()) row.strModel += u' ';
    row.strModel += strModelName;
    row.strName = TrimmedNetworkText(metadata.strFriendlyName, WSD_MAX_NAME_UNITS);
    if (row.strName.empty()) row.strName = row.strModel;
    if (row.strName.empty()) row.strName = row.strIpAddress;
    const std::u16string strPresentation = TrimmedNetworkText(metadata.strPresentationUrl, WSD_MAX_URL_UNITS);
    if (strPresentation.rfind(u"http://", 0) == 0 || strPresentation.rfind(u"https://", 0) == 0) {
        row.strUrl = strPresentation;
    } else if (row.strIpAddress.find(u':') == std::u16string::npos) {
        row.strUrl = u"http://" + row.strIpAddress + u"/";
    } else {
        // RFC 6874: the zone of a link-local address as "%25".
        std::u16string strHost = row.strIpAddress;
        const size_t nZone = strHost.find(u'%');
        if (nZone != std::u16string::npos) strHost.replace(nZone, 1, u"%25");
        row.strUrl = u"http://[" + strHost + u"]/";
    }
    return row;
}

std::unique_ptr<CLiveSource> CreateLiveWsdSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveWsdSource>(settings);
}
