// WS-Discovery in the live scan: the finder's bounded search, each printer
// listed the moment its metadata is read or given up on; under watch the
// search is made again every interval, and the devices' Hello and Bye are
// heard on 3702: a listed printer's Bye removes it (and keeps the search
// under way from listing it again), a printer's Hello searches soon.
#include <algorithm>
#include <cctype>
#include <mutex>
#include <unordered_map>

#include "conv_string.h"
#include "live_sources.h"
#include "multicast_listener.h"
#include "network_text.h"
#include "wsd_finder.h"
#include "wsd_method.h"

namespace {

constexpr size_t WSD_MAX_NAME_UNITS = 256;
constexpr size_t WSD_MAX_URL_UNITS = 2048;

class CLiveWsdSource : public CLiveSource {
public:
    explicit CLiveWsdSource(const LiveScanSettings& settings)
        : m_finder(Limits(settings)), m_again(settings), m_bWatch(settings.bWatch) {}

    std::u16string GetName() const override { return std::u16string(WSD_METHOD.strName); }
    int32_t Run(CLiveRowSink& sink) override {
        const uint32_t nCode = CWsdFinder::CheckAvailable();
        if (nCode != 0) return static_cast<int32_t>(nCode);
        m_finder.SetPrinterCallback([this, &sink](const WsdDevice& device) {
            const std::string strKey = EndpointKey(device.strEndpoint);
            ScanRow row = ScanRowFromWsdDevice(WithAddressesBefore(device, strKey));
            if (m_bWatch && SaidByeDuringSearch(strKey, device.aAddresses)) return;
            std::vector<std::string> aAddresses = device.aAddresses;
            const FindingHandle hFinding = sink.Report({ROW_KIND_WSD, Utf8ToUtf16(strKey)}, std::move(row));
            std::lock_guard<std::mutex> lock(m_mutex);
            if (hFinding != 0) m_listed[strKey] = {hFinding, std::move(aAddresses)};
        });
        m_finder.SetAddressCallback([this, &sink](const std::string& strEndpoint, const std::string&,
                                                  const std::string& strAddress) {
            std::vector<std::u16string> aAddresses;
            const FindingHandle hFinding = AddListedAddress(EndpointKey(strEndpoint), strAddress, aAddresses);
            if (hFinding != 0) sink.SetAddresses(hFinding, std::move(aAddresses));
        });
        CMulticastListener listener;
        if (m_bWatch) {
            listener.Start("239.255.255.250", 3702,
                           [this, &sink](std::string_view data, const std::string& strSender) {
                               WsdMessage message;
                               if (ParseWsdMessage(data, message)) OnAnnouncement(message, strSender, sink);
                           });
        }
        return m_again.Run(
            [this] {
                {
                    // Those listed by the last two searches: a printer gone
                    // since is no longer held.
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_listedBefore = std::move(m_listed);
                    m_listed.clear();
                    m_byes.clear();
                }
                m_finder.Find();
                return 0;
            },
            sink, GetName());
    }
    bool CanRunAgain() const override { return true; }
    void Stop() override {
        m_again.Stop();
        m_finder.Stop();
    }

private:
    struct Listed {
        FindingHandle hFinding = 0;
        std::vector<std::string> aAddresses;  // where it answered from
    };
    using ListedMap = std::unordered_map<std::string, Listed>;  // by EndpointKey
    static constexpr size_t MAX_BYES_HELD = 1024;

    // Endpoint addresses ("urn:uuid:...") compared without case, as the
    // finder does.
    static std::string EndpointKey(std::string str) {
        for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return str;
    }
    // Under watch, also where the last search heard it: an answer that comes
    // late to this one changes neither its address nor its stand-in URL.
    WsdDevice WithAddressesBefore(const WsdDevice& device, const std::string& strKey) {
        WsdDevice seen = device;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_listedBefore.find(strKey);
        if (!m_bWatch || it == m_listedBefore.end()) return seen;
        for (const std::string& str : it->second.aAddresses) {
            if (std::find(seen.aAddresses.begin(), seen.aAddresses.end(), str) == seen.aAddresses.end())
                seen.aAddresses.push_back(str);
        }
        return seen;
    }
    // The device said Bye, from one of its addresses, while this search ran.
    bool SaidByeDuringSearch(const std::string& strKey, const std::vector<std::string>& aAddresses) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto [itFirst, itLast] = m_byes.equal_range(strKey);
        return std::any_of(itFirst, itLast, [&aAddresses](const auto& item) {
            return std::find(aAddresses.begin(), aAddresses.end(), item.second) != aAddresses.end();
        });
    }
    // By its endpoint: its finding, and its addresses now with this one.
    FindingHandle AddListedAddress(const std::string& strKey, const std::string& strAddress,
                                   std::vector<std::u16string>& aAddresses) {
        std::lock_guard<std::mutex> lock(m_mutex);
        FindingHandle hFinding = 0;
        for (ListedMap* pMap : {&m_listed, &m_listedBefore}) {
            const auto it = pMap->find(strKey);
            if (it == pMap->end() || hFinding != 0) continue;
            std::vector<std::string>& a = it->second.aAddresses;
            if (std::find(a.begin(), a.end(), strAddress) == a.end() && a.size() < WSD_MAX_ITEMS)
                a.push_back(strAddress);
            hFinding = it->second.hFinding;
            for (const std::string& str : a) InsertAddress(aAddresses, Utf8ToUtf16(str));
        }
        return hFinding;
    }

    // Only an address the printer answered from speaks for it.
    void OnAnnouncement(const WsdMessage& message, const std::string& strSender, CLiveRowSink& sink) {
        for (const WsdEndpoint& endpoint : message.aEndpoints) {
            if (message.kind == WsdMessage::Kind::HELLO && WsdTypesNamePrinter(endpoint.aTypes))
                m_again.Wake();
            if (message.kind != WsdMessage::Kind::BYE) continue;
            const std::string strKey = EndpointKey(endpoint.strAddress);
            FindingHandle hFinding = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_byes.size() < MAX_BYES_HELD) m_byes.emplace(strKey, strSender);
                for (ListedMap* pMap : {&m_listed, &m_listedBefore}) {
                    const auto it = pMap->find(strKey);
                    if (it == pMap->end()) continue;
                    const std::vector<std::string>& a = it->second.aAddresses;
                    if (std::find(a.begin(), a.end(), strSender) == a.end()) continue;
                    hFinding = it->second.hFinding;
                    pMap->erase(it);
                }
            }
            if (hFinding != 0) sink.Withdraw(hFinding, LiveRemoveReason::GOODBYE);
        }
    }

    static WsdFinderLimits Limits(const LiveScanSettings& settings) {
        WsdFinderLimits limits;
        limits.listenFor = settings.wsdListenFor;
        return limits;
    }

    CWsdFinder m_finder;
    CSearchAgain m_again;
    const bool m_bWatch;
    std::mutex m_mutex;  // the three below: the finder's thread and the listener's
    ListedMap m_listed, m_listedBefore;
    std::unordered_multimap<std::string, std::string>
        m_byes;  // heard during this search: sender by EndpointKey
};

}  // namespace

ScanRow ScanRowFromWsdDevice(const WsdDevice& device) {
    ScanRow row;
    row.nKind = ROW_KIND_WSD;
    for (const std::string& str : device.aAddresses) InsertAddress(row.aAddresses, Utf8ToUtf16(str));
    if (!row.aAddresses.empty()) row.strIpAddress = row.aAddresses.front();
    row.nPort = device.nPort;
    row.strUuid = TrimmedNetworkText(device.strEndpoint, WSD_MAX_URL_UNITS);
    row.strId = UuidIdentity(row.strUuid);
    row.bDetailsUnread = !device.bMetadataRead;
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
