#include "upnp_finder.h"

#include <arpa/inet.h>

#include "conv_string.h"
#include "network_text.h"
#include "reg_pattern.h"
#include "trace_log.h"

namespace {

// A dotted quad whose groups have one to three digits, the first of three
// being 1 or 2.
constexpr char16_t IPV4_PATTERN[] =
    u"[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]";

constexpr std::u16string_view PRINTER_TAG = u"upnp:printer";
constexpr std::u16string_view PRINTER_DEVICE_TYPE = u"urn:schemas-upnp-org:device:Printer:";

}  // namespace

CUPnPFinder::CUPnPFinder(std::vector<std::u16string> aNamesToQuery, std::chrono::milliseconds timeLimit)
    : CMulticastDataProvider(std::move(aNamesToQuery), u"", PROVIDER_KIND_UPNP, u"UPNP", timeLimit) {}

CUPnPFinder::~CUPnPFinder() {
    // The search body calls this object's virtual operations: end it while
    // they are still this class's.
    StopAndJoin();
}

bool CUPnPFinder::IsPrinterType(std::u16string_view strType) {
    if (strType.find(PRINTER_TAG) != std::u16string_view::npos) return true;
    if (strType.substr(0, PRINTER_DEVICE_TYPE.size()) != PRINTER_DEVICE_TYPE) return false;
    const std::u16string_view version = strType.substr(PRINTER_DEVICE_TYPE.size());
    if (version.empty()) return false;
    for (char16_t c : version) {
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

int32_t CUPnPFinder::IsAvailable() {
    const uint32_t nCode = CreateFinder();
    if (nCode != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"UPNP: Service is not available. (0x%08X)", nCode);
        return 0;
    }
    return 1;
}

uint32_t CUPnPFinder::CreateFinder() {
    return CUPnPDeviceFinder::CheckAvailable();
}

uint32_t CUPnPFinder::FindByType(const std::u16string& strTarget, std::vector<UPnPDevice>& aDevices) {
    CUPnPDeviceFinder finder;
    SetStopWaker([&finder] { finder.Stop(); });
    if (IsStopRequested()) finder.Stop();  // asked before the waker was in place
    const uint32_t nCode = finder.FindByType(Utf16ToUtf8(strTarget), aDevices);
    SetStopWaker(nullptr);
    return nCode;
}

void CUPnPFinder::Search() {
    const uint32_t nCreated = CreateFinder();
    if (nCreated != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"Could not initialize UPnPDeviceFinder (0x%08X)", nCreated);
        SetStatus(static_cast<int32_t>(nCreated));
        return;
    }
    TraceMessage(TRACE_INFO, nullptr, u"UPNP: UPnPDeviceFinder instance created.");

    for (const std::u16string& strName : m_aNamesToQuery) {
        if (IsStopRequested()) return;
        TraceMessage(TRACE_INFO, nullptr, u"UPNP: NameToQuery='%s'", strName);
        TraceMessage(TRACE_INFO, nullptr, u"UPNP: Start search...");
        std::vector<UPnPDevice> aDevices;
        const uint32_t nCode = FindByType(strName, aDevices);
        if (IsStopRequested()) return;
        if (nCode != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"UPNP: FindByType failed. (0x%08X)", nCode);
            continue;
        }
        TraceMessage(TRACE_INFO, nullptr, u"UPNP: Search finished.");
        for (const UPnPDevice& device : aDevices) {
            if (IsStopRequested()) return;
            HandleDevice(device);
        }
    }
}

UPnPPacketResult MakeUPnPPacket(const UPnPDevice& device, MulticastDataPacket& packet,
                                UPnPAddressFrom nFrom) {
    if (!CUPnPFinder::IsPrinterType(BoundedNetworkText(device.strType, UPNP_MAX_URL_UNITS))) {
        return UPnPPacketResult::NOT_PRINTER;
    }

    packet.strName = BoundedNetworkText(device.strFriendlyName, UPNP_MAX_NAME_UNITS);
    const std::u16string strDocumentUrl = BoundedNetworkText(device.strDocumentUrl, UPNP_MAX_URL_UNITS);

    std::u16string strAddress;
    if (nFrom == UPnPAddressFrom::SENDER) {
        strAddress = Utf8ToUtf16(device.strSender);
    } else {
        CRegPattern pattern(IPV4_PATTERN);
        if (pattern.IsCompiled() && pattern.Match(strDocumentUrl)) strAddress = pattern.MatchText();
    }
    // The pattern also takes "299.1.1.1"; an address with a leading zero
    // would be read as octal by the resolver.
    in_addr address{};
    if (inet_pton(AF_INET, Utf16ToUtf8(strAddress).c_str(), &address) != 1)
        return UPnPPacketResult::NO_ADDRESS;
    packet.strIpAddress = strAddress;
    packet.strUrl = BoundedNetworkText(device.strModelUrl, UPNP_MAX_URL_UNITS);
    // "make model", or whichever of the two the device gives.
    auto fnField = [](const std::string& strUtf8) {
        return TrimmedNetworkText(strUtf8, UPNP_MAX_NAME_UNITS);
    };
    std::u16string strModel = fnField(device.strManufacturer);
    const std::u16string strModelName = fnField(device.strModelName);
    if (!strModel.empty() && !strModelName.empty()) strModel += u' ';
    packet.strModel = strModel + strModelName;
    packet.bComplete = 1;
    return UPnPPacketResult::MADE;
}

void CUPnPFinder::HandleDevice(const UPnPDevice& device) {
    MulticastDataPacket packet;
    switch (MakeUPnPPacket(device, packet)) {
        case UPnPPacketResult::NOT_PRINTER:
            return;
        case UPnPPacketResult::NO_ADDRESS:
            TraceMessage(TRACE_ERROR, nullptr, u"UPNP: No ip-address in document URL '%s' of '%s'.",
                         BoundedNetworkText(device.strDocumentUrl, UPNP_MAX_URL_UNITS), packet.strName);
            return;
        case UPnPPacketResult::MADE:
            break;
    }

    LockPackets();
    if (AppendPacket(packet) >= 0) {
        TraceMessage(TRACE_INFO, nullptr, u"UPNP: Printer found: Name='%s' ip-address='%s'", packet.strName,
                     packet.strIpAddress);
    }
    UnlockPackets();
}
