// UPnP in the live scan: the device finder's bounded search with a short MX,
// each printer listed the moment its description is read, its row made by
// the provider's own packet making, at the address that sent it. Under
// watch it searches again every interval, so that a changed description
// lists its printer again, and listens to the devices' NOTIFYs: a printer's
// ssdp:byebye removes it, and one whose max-age passes without an answer to
// a search or an ssdp:alive has expired. Each device is a finding by its
// UDN; only the address it answered from speaks for it.
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include <libsoup/soup.h>

#include "conv_string.h"
#include "live_sources.h"
#include "multicast_listener.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"
#include "upnp_method.h"

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

// What an SSDP datagram says of a device: the UDN of its USN, and whether it
// is an ssdp:alive (bAlive) or an ssdp:byebye (bByeBye); neither for a
// search, an answer or anything else.
struct SsdpNotice {
    std::string strUdn;
    bool bAlive = false;
    bool bByeBye = false;
    unsigned nMaxAge = 0;
};

SsdpNotice ReadSsdpNotice(std::string_view data) {
    SsdpNotice notice;
    SoupMessageHeaders* pHeaders = soup_message_headers_new(SOUP_MESSAGE_HEADERS_REQUEST);
    char* pszMethod = nullptr;
    if (soup_headers_parse_request(data.data(), static_cast<int>(data.size()), pHeaders, &pszMethod, nullptr,
                                   nullptr) == SOUP_STATUS_OK &&
        g_strcmp0(pszMethod, "NOTIFY") == 0) {
        const char* pszNts = soup_message_headers_get_one(pHeaders, "NTS");
        const char* pszUsn = soup_message_headers_get_one(pHeaders, "USN");
        const std::string strUsn = pszUsn ? pszUsn : "";
        notice.strUdn = strUsn.substr(0, strUsn.find("::"));
        notice.bAlive = pszNts && g_ascii_strcasecmp(pszNts, "ssdp:alive") == 0;
        notice.bByeBye = pszNts && g_ascii_strcasecmp(pszNts, "ssdp:byebye") == 0;
        notice.nMaxAge = SsdpMaxAge(soup_message_headers_get_one(pHeaders, "Cache-Control"));
    }
    g_free(pszMethod);
    soup_message_headers_unref(pHeaders);
    return notice;
}

class CLiveUpnpSource : public CLiveSource {
public:
    explicit CLiveUpnpSource(const LiveScanSettings& settings)
        : m_finder(Limits(settings)), m_again(settings), m_bWatch(settings.bWatch) {}

    std::u16string GetName() const override { return std::u16string(UPNP_METHOD.strName); }
    int32_t Run(CLiveRowSink& sink) override {
        const uint32_t nCode = CUPnPDeviceFinder::CheckAvailable();
        if (nCode != 0) return static_cast<int32_t>(nCode);
        m_finder.SetDeviceCallback([this, &sink](const UPnPDevice& device) {
            MulticastDataPacket packet;
            if (MakeUPnPPacket(device, packet, UPnPAddressFrom::SENDER) != UPnPPacketResult::MADE) return;
            ScanRow row = ScanRowFromPacket(packet, PROVIDER_KIND_UPNP);
            row.nPort = UrlPort(device.strDocumentUrl);
            row.strId = UuidIdentity(Utf8ToUtf16(device.strUdn));
            const std::u16string strAddress = row.strIpAddress;
            const bool bUdn = !device.strUdn.empty();
            const FindingHandle hFinding = sink.Report(
                {PROVIDER_KIND_UPNP, bUdn ? Utf8ToUtf16(device.strUdn) : u"ip:" + strAddress, bUdn},
                std::move(row));
            if (hFinding != 0 && m_bWatch && bUdn)
                Refresh(device.strUdn, strAddress, device.nMaxAge, hFinding);
        });
        CMulticastListener listener;
        if (m_bWatch) {
            listener.Start(
                "239.255.255.250", 1900,
                [this, &sink](std::string_view data, const std::string& strSender) {
                    OnNotice(ReadSsdpNotice(data), Utf8ToUtf16(strSender), sink);
                },
                [this, &sink] { Expire(sink); });
        }
        // No SSDP client could start (or no interface): UPnP cannot work
        // here. A stopped search still counts as one that ran.
        return m_again.Run(
            [this] {
                std::vector<UPnPDevice> aDevices;
                const uint32_t nFound = m_finder.FindByType("ssdp:all", aDevices);
                return nFound == UPNP_E_CANCELLED ? 0 : static_cast<int32_t>(nFound);
            },
            sink, GetName());
    }
    bool CanRunAgain() const override { return true; }

    void Stop() override {
        m_again.Stop();
        m_finder.Stop();
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Announced {
        FindingHandle hFinding = 0;
        std::u16string strAddress;  // where it answered last
        Clock::time_point tExpires;
    };

    // An answer to a search (hFinding: its finding) or an ssdp:alive from
    // the address it answered from; a device that gives no max-age is held
    // to UDA's least, 1800 s.
    void Refresh(const std::string& strUdn, const std::u16string& strAddress, unsigned nMaxAge,
                 FindingHandle hFinding) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = hFinding != 0 ? m_announced.try_emplace(strUdn).first : m_announced.find(strUdn);
        if (it == m_announced.end() || (hFinding == 0 && it->second.strAddress != strAddress)) return;
        if (hFinding != 0) it->second.hFinding = hFinding;
        it->second.strAddress = strAddress;
        it->second.tExpires = Clock::now() + std::chrono::seconds(nMaxAge != 0 ? nMaxAge : 1800);
    }
    // Only the address it answered from speaks for a device.
    FindingHandle Announcer(const std::string& strUdn, const std::u16string& strSender, bool bErase) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_announced.find(strUdn);
        if (it == m_announced.end() || it->second.strAddress != strSender) return 0;
        const FindingHandle hFinding = it->second.hFinding;
        if (bErase) m_announced.erase(it);
        return hFinding;
    }
    void OnNotice(const SsdpNotice& notice, const std::u16string& strSender, CLiveRowSink& sink) {
        if (notice.bAlive) {
            Refresh(notice.strUdn, strSender, notice.nMaxAge, 0);
            if (const FindingHandle h = Announcer(notice.strUdn, strSender, false)) sink.Heard(h);
        }
        if (!notice.bByeBye) return;
        if (const FindingHandle h = Announcer(notice.strUdn, strSender, true))
            sink.Withdraw(h, LiveRemoveReason::GOODBYE);
    }
    void Expire(CLiveRowSink& sink) {
        std::vector<FindingHandle> aExpired;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Clock::time_point tNow = Clock::now();
            std::erase_if(m_announced, [&](const auto& item) {
                if (item.second.tExpires > tNow) return false;
                aExpired.push_back(item.second.hFinding);
                return true;
            });
        }
        for (FindingHandle h : aExpired) sink.Withdraw(h, LiveRemoveReason::EXPIRED);
    }

    static UPnPFinderLimits Limits(const LiveScanSettings& settings) {
        UPnPFinderLimits limits;
        limits.nMx = settings.nUpnpMx;
        limits.quietAfter = settings.upnpQuietAfter;
        limits.hardEnd = settings.upnpHardEnd;
        return limits;
    }

    CUPnPDeviceFinder m_finder;
    CSearchAgain m_again;
    const bool m_bWatch;
    std::mutex m_mutex;  // m_announced: the finder's thread and the listener's
    std::unordered_map<std::string, Announced> m_announced;  // under watch, by UDN
};

}  // namespace

std::unique_ptr<CLiveSource> CreateLiveUpnpSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveUpnpSource>(settings);
}
