// The UPnP provider on top of a device finder the test plays: which devices
// become packets, what the packets and the trace say, how failures end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_provider.h"
#include "upnp_finder.h"

namespace {

using namespace std::chrono_literals;

class CFakeFinder : public CUPnPFinder {
public:
    uint32_t m_nCreate = 0;
    uint32_t m_nFind = 0;
    std::vector<UPnPDevice> m_aDevices;
    std::vector<std::u16string> m_aTargets;

    explicit CFakeFinder(std::vector<std::u16string> aNames = {u"ssdp:all"})
        : CUPnPFinder(std::move(aNames)) {}
    ~CFakeFinder() override { StopAndJoin(); }

    // Runs one search to its end.
    void Run() {
        ResetData();
        ASSERT_TRUE(StartSearch());
        ASSERT_TRUE(WaitUntil([this] { return !IsSearching(); }, 5s));
    }

protected:
    uint32_t CreateFinder() override { return m_nCreate; }
    uint32_t FindByType(const std::u16string& strTarget, std::vector<UPnPDevice>& aDevices) override {
        m_aTargets.push_back(strTarget);
        aDevices = m_aDevices;
        return m_nFind;
    }
};

UPnPDevice Dev(std::string strType, std::string strName, std::string strUrl, std::string strModel = "") {
    return {std::move(strType), std::move(strName), "uuid:" + strName, std::move(strModel),
            std::move(strUrl)};
}

// The provider's own lines: the framework's thread and reset lines left out.
std::vector<std::string> OwnLines(const CTraceCapture& trace) {
    std::vector<std::string> aLines;
    for (const std::string& strLine : trace.Texts()) {
        if (strLine.find("hread") == std::string::npos && strLine.find("reset data") == std::string::npos) {
            aLines.push_back(strLine);
        }
    }
    return aLines;
}

std::vector<MulticastDataPacket> Packets() {
    std::vector<MulticastDataPacket> aPackets;
    for (int32_t i = 0; i < CMulticastDataProvider::GetPacketCount(); ++i) {
        MulticastDataPacket packet;
        if (CMulticastDataProvider::GetPacket(i, packet)) aPackets.push_back(packet);
    }
    return aPackets;
}

TEST(UPnPFinderType, PrinterTypes) {
    const struct {
        const char16_t* pszType;
        bool bPrinter;
    } cases[] = {
        {u"urn:schemas-upnp-org:device:Printer:1", true},
        {u"urn:schemas-upnp-org:device:Printer:2", true},
        {u"urn:schemas-upnp-org:device:Printer:10", true},
        {u"urn:example-com:device:upnp:printer:1", true},
        {u"upnp:printer", true},
        {u"urn:schemas-upnp-org:device:Printer:", false},
        {u"urn:schemas-upnp-org:device:Printer:1x", false},
        {u"urn:schemas-upnp-org:device:Printer", false},
        {u"urn:schemas-upnp-org:device:printer:1", false},
        {u"urn:schemas-upnp-org:device:PrinterBasic:1", false},
        {u"urn:schemas-upnp-org:service:PrintBasic:1", false},
        {u"urn:schemas-upnp-org:device:Scanner:1", false},
        {u"UPNP:PRINTER", false},
        {u"x-urn:schemas-upnp-org:device:Printer:1", false},
        {u"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CUPnPFinder::IsPrinterType(c.pszType), c.bPrinter) << Utf16ToUtf8(c.pszType);
    }
}

TEST(UPnPFinder, PrintersBecomeOneCompletePacketEach) {
    CTraceCapture trace;
    CFakeFinder finder;
    finder.m_aDevices = {
        Dev("urn:schemas-upnp-org:device:Printer:1", "Standard", "http://192.168.1.20:49152/desc.xml",
            "http://vendor.example/std"),
        Dev("urn:example-com:device:upnp:printer:1", "Tagged", "http://10.0.0.7/d.xml"),
        Dev("urn:schemas-upnp-org:device:DimmableLight:1", "Light", "http://10.0.0.8/d.xml"),
        Dev("urn:schemas-upnp-org:device:Printer:1", "By name", "http://printer.lan:80/d.xml"),
        Dev("urn:schemas-upnp-org:device:Printer:1", "Twin", "http://10.0.0.9:1/a.xml"),
        Dev("urn:schemas-upnp-org:device:Printer:1", "Twin", "http://10.0.0.9:1/a.xml"),
    };
    // make and model: joined, trimmed, either may be missing
    finder.m_aDevices[0].strManufacturer = "Acme\t";
    finder.m_aDevices[0].strModelName = "Laser 5";
    finder.m_aDevices[1].strModelName = "\x01Solo";
    finder.Run();
    EXPECT_EQ(finder.GetStatus(), 0);
    EXPECT_EQ(finder.m_aTargets, std::vector<std::u16string>{u"ssdp:all"});

    const std::vector<MulticastDataPacket> aPackets = Packets();
    ASSERT_EQ(aPackets.size(), 4u);
    EXPECT_EQ(aPackets[0].strName, u"Standard");
    EXPECT_EQ(aPackets[0].strIpAddress, u"192.168.1.20");
    EXPECT_EQ(aPackets[0].strUrl, u"http://vendor.example/std");
    EXPECT_EQ(aPackets[1].strIpAddress, u"10.0.0.7");
    EXPECT_EQ(aPackets[1].strUrl, u"");
    EXPECT_EQ(aPackets[0].strModel, u"Acme Laser 5");
    EXPECT_EQ(aPackets[1].strModel, u"Solo");
    EXPECT_EQ(aPackets[2].strModel, u"");
    EXPECT_EQ(aPackets[2].strName, u"Twin");  // no duplicate check in the provider
    EXPECT_EQ(aPackets[3].strName, u"Twin");
    for (const MulticastDataPacket& packet : aPackets) EXPECT_EQ(packet.bComplete, 1);

    EXPECT_EQ(OwnLines(trace), (std::vector<std::string>{
                                   "UPNP: UPnPDeviceFinder instance created.",
                                   "UPNP: NameToQuery='ssdp:all'",
                                   "UPNP: Start search...",
                                   "UPNP: Search finished.",
                                   "UPNP: Printer found: Name='Standard' ip-address='192.168.1.20'",
                                   "UPNP: Printer found: Name='Tagged' ip-address='10.0.0.7'",
                                   "[ERROR] UPNP: No ip-address in document URL "
                                   "'http://printer.lan:80/d.xml' of 'By name'.",
                                   "UPNP: Printer found: Name='Twin' ip-address='10.0.0.9'",
                                   "UPNP: Printer found: Name='Twin' ip-address='10.0.0.9'",
                               }));
}

// The window's address comes from the document URL, the live scan's from
// the device that sent it; either way only a valid dotted IPv4 address.
TEST(UPnPPacket, AddressFromTheUrlOrTheSender) {
    const struct {
        const char* pszUrl;
        const char* pszSender;
        const char16_t* pszWindow;  // null: NO_ADDRESS
        const char16_t* pszLive;
    } cases[] = {
        {"http://192.0.2.7:80/d.xml", "192.0.2.7", u"192.0.2.7", u"192.0.2.7"},
        {"http://299.1.1.1/d.xml", "192.0.2.7", nullptr, u"192.0.2.7"},
        {"http://192.168.001.020/d.xml", "192.0.2.7", nullptr, u"192.0.2.7"},
        {"http://printer.lan/d.xml", "192.0.2.8", nullptr, u"192.0.2.8"},
        {"http://192.168.1.20.x/d.xml", "192.168.1.66", u"192.168.1.20", u"192.168.1.66"},
    };
    for (const auto& c : cases) {
        UPnPDevice device = Dev("urn:schemas-upnp-org:device:Printer:1", "P", c.pszUrl);
        device.strSender = c.pszSender;
        for (const auto nFrom : {UPnPAddressFrom::DOCUMENT_URL, UPnPAddressFrom::SENDER}) {
            const char16_t* pszExpected = nFrom == UPnPAddressFrom::SENDER ? c.pszLive : c.pszWindow;
            MulticastDataPacket packet;
            EXPECT_EQ(MakeUPnPPacket(device, packet, nFrom),
                      pszExpected ? UPnPPacketResult::MADE : UPnPPacketResult::NO_ADDRESS)
                << c.pszUrl;
            EXPECT_EQ(packet.strIpAddress, pszExpected ? pszExpected : u"") << c.pszUrl;
        }
    }
}

TEST(UPnPFinder, HostileTextReachesPacketAndTraceBoundedAndOnOneLine) {
    CTraceCapture trace;
    CFakeFinder finder;
    finder.m_aDevices = {Dev("urn:schemas-upnp-org:device:Printer:1",
                             "Evil\r\n[ERROR] forged line \xFF" + std::string(5000, 'x'),
                             "http://192.0.2.10/" + std::string(10000, 'p'), std::string(10000, 'm'))};
    finder.Run();
    const std::vector<MulticastDataPacket> aPackets = Packets();
    ASSERT_EQ(aPackets.size(), 1u);
    EXPECT_EQ(aPackets[0].strName.size(), UPNP_MAX_NAME_UNITS);
    EXPECT_EQ(aPackets[0].strName.substr(0, 27), u"Evil  [ERROR] forged line \uFFFD");
    EXPECT_EQ(aPackets[0].strUrl.size(), UPNP_MAX_URL_UNITS);
    EXPECT_EQ(aPackets[0].strIpAddress, u"192.0.2.10");
    // The name's line break did not split the trace line.
    const std::vector<std::string> aFound = trace.Texts("UPNP: Printer found");
    ASSERT_EQ(aFound.size(), 1u);
    EXPECT_EQ(aFound[0].rfind("UPNP: Printer found: Name='Evil  [ERROR] forged line \xEF\xBF\xBDxxx", 0), 0u);
    EXPECT_EQ(aFound[0].substr(aFound[0].size() - 28), "xxx' ip-address='192.0.2.10'");
}

TEST(UPnPFinder, Failures) {
    {
        CTraceCapture trace;
        CFakeFinder finder;
        finder.m_nCreate = UPNP_E_NO_INTERFACE;
        finder.m_aDevices = {Dev("urn:schemas-upnp-org:device:Printer:1", "P", "http://10.0.0.1/")};
        finder.Run();
        EXPECT_EQ(static_cast<uint32_t>(finder.GetStatus()), UPNP_E_NO_INTERFACE);
        EXPECT_TRUE(finder.m_aTargets.empty());
        EXPECT_EQ(Packets().size(), 0u);
        EXPECT_EQ(OwnLines(trace),
                  std::vector<std::string>{"[ERROR] Could not initialize UPnPDeviceFinder (0x800704CF)"});
        EXPECT_EQ(finder.IsAvailable(), 0);
        EXPECT_EQ(OwnLines(trace).back(), "[ERROR] UPNP: Service is not available. (0x800704CF)");
        finder.m_nCreate = 0;
        EXPECT_EQ(finder.IsAvailable(), 1) << "asked anew at every call";
    }
    {
        // A failed search skips its name and leaves the status alone.
        CTraceCapture trace;
        CFakeFinder finder({u"ssdp:all", u"upnp:rootdevice"});
        finder.m_nFind = UPNP_E_NO_CLIENT;
        finder.Run();
        EXPECT_EQ(finder.GetStatus(), 0);
        EXPECT_EQ(finder.m_aTargets.size(), 2u);
        EXPECT_EQ(OwnLines(trace), (std::vector<std::string>{
                                       "UPNP: UPnPDeviceFinder instance created.",
                                       "UPNP: NameToQuery='ssdp:all'",
                                       "UPNP: Start search...",
                                       "[ERROR] UPNP: FindByType failed. (0x80004005)",
                                       "UPNP: NameToQuery='upnp:rootdevice'",
                                       "UPNP: Start search...",
                                       "[ERROR] UPNP: FindByType failed. (0x80004005)",
                                   }));
    }
}

}  // namespace
