// The mDNS provider against a scripted dns_sd library, and its pure parts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ldns/ldns.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>
#include <thread>

#include "avahi_dbus_reply.h"
#include "fake_dnssd.h"
#include "mdns_direct.h"
#include "mdns_method.h"
#include "mdns_responder_client.h"
#include "trace_capture.h"

using namespace std::chrono_literals;
using fake::Address;
using fake::Found;
using fake::Resolved;
using fake::Txt;

namespace {

std::string Narrow(const std::u16string& s) {
    return Utf16ToUtf8(s);
}

// The 4 bytes of 192.0.2.n.
std::string V4(int n) {
    return std::string{'\xc0', '\x00', '\x02', static_cast<char>(n)};
}

// ---------------------------------------------------------------- pure parts

struct AdminUrlCase {
    const char* pszWhat;
    std::vector<std::string> aTxt;
    const char* pszHost;
    const char* pszUrl;
};

class AdminUrl : public testing::TestWithParam<AdminUrlCase> {};

TEST_P(AdminUrl, FromTxtOrHost) {
    const AdminUrlCase& c = GetParam();
    EXPECT_EQ(Narrow(MdnsAdminUrl(ReadTxtItems(Txt(c.aTxt)), c.pszHost)), c.pszUrl) << c.pszWhat;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdminUrl,
    testing::Values(
        AdminUrlCase{"key in lower case",
                     {"adminurl=http://laser.local/admin"},
                     "h.local.",
                     "http://laser.local/admin"},
        AdminUrlCase{"key in mixed case", {"AdminURL=http://laser/"}, "h.local.", "http://laser/"},
        AdminUrlCase{"leading white space, trailing dot",
                     {"ADMINURL=  http://laser.local."},
                     "h.local.",
                     "http://laser.local"},
        AdminUrlCase{"white space after the dot",
                     {"ADMINURL=  http://laser.local.  "},
                     "h.local.",
                     "http://laser.local"},
        AdminUrlCase{"space before the dot", {"adminurl=http://a ."}, "h.local.", "http://a"},
        AdminUrlCase{"one dot only", {"adminurl=http://laser.."}, "h.local.", "http://laser."},
        AdminUrlCase{"dot before the port",
                     {"adminurl=http://EPSON83498A.local.:80/"},
                     "h.local.",
                     "http://EPSON83498A.local:80/"},
        AdminUrlCase{"dot before path, query and fragment",
                     {"adminurl=https://BRW10B1DFA23670.local./a.b/?x=y.#z."},
                     "h.local.",
                     "https://BRW10B1DFA23670.local/a.b/?x=y.#z."},
        AdminUrlCase{"dot before a query", {"adminurl=http://p.local.?q"}, "h.local.", "http://p.local?q"},
        AdminUrlCase{
            "user info", {"adminurl=http://admin@p.local.:8080/"}, "h.local.", "http://admin@p.local:8080/"},
        AdminUrlCase{
            "IPv6 literal untouched", {"adminurl=http://[fe80::1]./"}, "h.local.", "http://[fe80::1]./"},
        AdminUrlCase{"no scheme", {"adminurl=p.local./x"}, "h.local.", "p.local/x"},
        AdminUrlCase{
            "no key: host keeps .local", {"rp=queue"}, "office-laser.local.", "http://office-laser.local"},
        AdminUrlCase{"empty TXT", {}, "KMBT5E92C6.local.", "http://KMBT5E92C6.local"},
        AdminUrlCase{"a later key wins",
                     {"adminurl=http://first/", "AdminUrl=http://second/"},
                     "h.local.",
                     "http://second/"},
        AdminUrlCase{"key without value falls back", {"adminurl"}, "h.local.", "http://h.local"},
        AdminUrlCase{"empty value falls back", {"adminurl="}, "h.local.", "http://h.local"},
        AdminUrlCase{"similar key is not the key",
                     {"adminurl2=http://x/", "admin=http://y/"},
                     "h.local.",
                     "http://h.local"},
        AdminUrlCase{"every .local stays",
                     {"adminurl=http://a.local.local:631/x.local"},
                     "h.local.",
                     "http://a.local.local:631/x.local"},
        AdminUrlCase{
            "UTF-8 value", {"adminurl=http://b\xc3\xbcro.local/"}, "h.local.", "http://b\xc3\xbcro.local/"},
        AdminUrlCase{
            "invalid UTF-8 becomes U+FFFD", {"adminurl=http://a\xff/"}, "h.local.", "http://a\xef\xbf\xbd/"}),
    [](const testing::TestParamInfo<AdminUrlCase>& info) {
        std::string strName;
        for (const char* p = info.param.pszWhat; *p != 0; ++p) {
            strName += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return strName;
    });

TEST(TxtItems, KeysValuesAndUnreadableItems) {
    const std::string strLongKey(255, 'k');  // fills the key buffer with no room for its end
    auto aItems =
        ReadTxtItems(Txt({"a=1", "flag", "", "empty=", strLongKey, "z=last", std::string(254, 'k')}));
    ASSERT_EQ(aItems.size(), 5u);
    EXPECT_EQ(aItems[0].strKey, "a");
    EXPECT_EQ(aItems[0].strValue, "1");
    EXPECT_EQ(aItems[1].strKey, "flag");
    EXPECT_FALSE(aItems[1].bHasValue);
    EXPECT_EQ(aItems[2].strKey, "empty");
    EXPECT_TRUE(aItems[2].bHasValue);
    EXPECT_EQ(aItems[2].strValue, "");
    EXPECT_EQ(aItems[3].strValue, "last");
    EXPECT_EQ(aItems[4].strKey.size(), 254u);
    // A record whose length byte runs past its end must not be read beyond it.
    std::string strTruncated = Txt({"adminurl=http://x/"});
    strTruncated.resize(5);
    for (const DnsSdTxtItem& item : ReadTxtItems(strTruncated)) {
        EXPECT_LE(item.strKey.size() + item.strValue.size(), 5u);
    }
}

TEST(AddressText, OnlyFourBytesMakeAnAddress) {
    EXPECT_EQ(Narrow(MdnsAddressText(V4(10))), "192.0.2.10");
    EXPECT_EQ(Narrow(MdnsAddressText(std::string{'\xff', '\xff', '\xff', '\x00'})), "255.255.255.0");
    EXPECT_EQ(Narrow(MdnsAddressText(std::string(16, '\x01'))), "");
    EXPECT_EQ(Narrow(MdnsAddressText("")), "");
}

TEST(Model, TyElseProductWithoutParentheses) {
    struct Case {
        std::vector<std::string> aTxt;
        const char* pszModel;
    };
    for (const Case& c : {
             Case{{"product=(HP LaserJet 4000)", "TY=HP LaserJet 4000 Series", "ty=later"},
                  "HP LaserJet 4000 Series"},
             Case{{"ty=", "product= (Laser\x01Jet 5) "}, "Laser Jet 5"},
             Case{{"product=(M\xc3\xbcller)"}, "M\xc3\xbcller"},
             Case{{"product=()"}, ""},
             Case{{"ty=\xff"}, "\xef\xbf\xbd"},
             Case{{"rp=x"}, ""},
         }) {
        EXPECT_EQ(Narrow(MdnsModel(ReadTxtItems(Txt(c.aTxt)))), c.pszModel) << c.aTxt[0];
    }
    EXPECT_EQ(MdnsTypesOf(u" _ipp._tcp,,_ipps._tcp,_ipp._tcp"),
              (std::vector<std::u16string>{u"_ipp._tcp", u"_ipps._tcp"}));
}

// avahi's D-Bus signal bodies as the client converts them.
TEST(AvahiReply, BodiesBecomeTheLibrarysReplies) {
    auto Sink = [](GVariant* p) {
        return std::unique_ptr<GVariant, decltype(&g_variant_unref)>(g_variant_ref_sink(p), g_variant_unref);
    };
    DnsSdBrowseReply browse;
    auto pItem = Sink(g_variant_new("(iisssu)", 2, 0, "Office Laser", "_printer._tcp", "local", 4u));
    ASSERT_TRUE(AvahiBrowseItemToReply(pItem.get(), false, browse));
    EXPECT_EQ(browse.strName, "Office Laser");
    EXPECT_EQ(browse.nFlags, 0u);

    // TXT: avahi sends the last item first; an item over 255 bytes cannot be written.
    GVariantBuilder txt;
    g_variant_builder_init(&txt, G_VARIANT_TYPE("aay"));
    for (const std::string& item : {std::string("adminurl=http://second/"), std::string(256, 'x'),
                                    std::string("adminurl=http://first/")}) {
        g_variant_builder_add_value(
            &txt, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, item.data(), item.size(), 1));
    }
    auto pFound = Sink(g_variant_new("(iissssisqaayu)", 2, 0, "ZC Laser.One\\", "_printer._tcp", "local",
                                     "zc.local", 0, "", static_cast<guint16>(631), &txt, 0u));
    DnsSdResolveReply resolve;
    ASSERT_TRUE(AvahiResolverFoundToReply(pFound.get(), resolve));
    EXPECT_EQ(resolve.strFullName, "ZC\\032Laser\\.One\\\\._printer._tcp.local.");
    EXPECT_EQ(resolve.strHostTarget, "zc.local.");
    EXPECT_EQ(resolve.nPortNetOrder, htons(631));
    EXPECT_EQ(resolve.strTxt, Txt({"adminurl=http://first/", "adminurl=http://second/"}));

    const guint8 aAddress[] = {192, 0, 2, 7};
    auto pRecord =
        Sink(g_variant_new("(iisqq@ayu)", 2, 0, "zc.local", static_cast<guint16>(1), static_cast<guint16>(1),
                           g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, aAddress, 4, 1), 0u));
    DnsSdRecordReply record;
    ASSERT_TRUE(AvahiRecordItemToReply(pRecord.get(), record));
    EXPECT_EQ(Narrow(MdnsAddressText(record.strData)), "192.0.2.7");

    // A body of another type is refused, whichever function gets it.
    EXPECT_FALSE(AvahiBrowseItemToReply(pFound.get(), true, browse));
    EXPECT_FALSE(AvahiResolverFoundToReply(pItem.get(), resolve));
    EXPECT_FALSE(AvahiRecordItemToReply(nullptr, record));
    EXPECT_EQ(AvahiTxtRecord(pItem.get()), "");
}

// ------------------------------------------------------- searches, scripted

constexpr auto SILENCE = 150ms;
constexpr auto BOUND = 200ms;

// A provider that appends fixed packets, standing in for the UPnP one.
class CStubProvider : public CMulticastDataProvider {
public:
    explicit CStubProvider(std::vector<MulticastDataPacket> aPackets)
        : CMulticastDataProvider({u"ssdp:all"}, u"", PROVIDER_KIND_UPNP, u"UPNP"),
          m_aPackets(std::move(aPackets)) {}
    ~CStubProvider() override { StopAndJoin(); }
    int32_t IsAvailable() override { return 1; }

protected:
    void Search() override {
        LockPackets();
        for (const auto& p : m_aPackets) {
            AppendPacket(p);
        }
        UnlockPackets();
    }

private:
    std::vector<MulticastDataPacket> m_aPackets;
};

bool WaitIdle(const CMulticastDataProvider& provider, std::chrono::milliseconds limit) {
    const auto tEnd = std::chrono::steady_clock::now() + limit;
    while (provider.IsSearching()) {
        if (std::chrono::steady_clock::now() > tEnd) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::vector<MulticastDataPacket> Packets() {
    std::vector<MulticastDataPacket> a;
    for (int32_t i = 0; i < CMulticastDataProvider::GetPacketCount(); ++i) {
        MulticastDataPacket p;
        if (CMulticastDataProvider::GetPacket(i, p)) {
            a.push_back(p);
        }
    }
    return a;
}

const MulticastDataPacket* Find(const std::vector<MulticastDataPacket>& a, const std::string& strName) {
    for (const auto& p : a) {
        if (Utf16ToUtf8(p.strName) == strName) {
            return &p;
        }
    }
    return nullptr;
}

class MdnsSearch : public testing::Test {
protected:
    void SetUp() override {
        m_pScript = std::make_shared<fake::Script>();
        m_pProvider = std::make_unique<CMDNSResponderClient>(
            std::vector<std::u16string>{u"_printer._tcp", u"_pdl-datastream._tcp"},
            std::make_unique<fake::Client>(m_pScript), MdnsTimings{SILENCE, BOUND, BOUND});
        m_pProvider->ResetData();
    }
    void TearDown() override {
        m_pProvider.reset();
        EXPECT_EQ(m_pScript->nOpenOperations, 0) << "an operation was not released";
    }

    // A printer announced under a type, resolving to host h with address a.
    void Printer(const std::string& strType, const std::string& strName, const std::string& strHost,
                 std::string strAddress, int nAtMs = 0, std::vector<std::string> aTxt = {}) {
        m_pScript->browse[strType].push_back(Found(strName, nAtMs));
        m_pScript->resolve[{strName, strType}] =
            Resolved(strName + "." + strType + ".local.", strHost, Txt(aTxt));
        m_pScript->records[strHost] = Address(std::move(strAddress));
    }

    std::chrono::milliseconds Scan(std::chrono::milliseconds limit = 5s) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(m_pProvider->StartSearch());
        EXPECT_TRUE(WaitIdle(*m_pProvider, limit)) << "search did not end";
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    }

    std::vector<std::string> ResolvedTypes(const std::string& strName) {
        std::vector<std::string> a;
        for (const auto& c : m_pScript->Calls()) {
            if (c.strWhat == "resolve" && c.strArg1 == strName) {
                a.push_back(c.strArg2);
            }
        }
        return a;
    }

    std::shared_ptr<fake::Script> m_pScript;
    std::unique_ptr<CMDNSResponderClient> m_pProvider;
    CTraceCapture m_trace;
};

TEST_F(MdnsSearch, PassesAppendResolveAndCompleteOncePerName) {
    // Both types: one packet, resolved in the first pass only.
    Printer("_printer._tcp", "Office Laser", "office.local.", V4(10), 0, {"adminurl=http://o.local/"});
    m_pScript->browse["_pdl-datastream._tcp"].push_back(Found("Office Laser"));
    // Only the second type: appended and resolved in the second pass.
    Printer("_pdl-datastream._tcp", "Raw Only", "raw.local.", V4(11), 20);
    // Names differing in case are two printers.
    Printer("_printer._tcp", "Case Printer", "case1.local.", V4(12), 30);
    Printer("_pdl-datastream._tcp", "case printer", "case2.local.", V4(13), 40);
    // A departure of an unknown instance counts as found.
    auto gone = Found("Departed", 50);
    gone.reply.nFlags = 0;
    m_pScript->browse["_printer._tcp"].push_back(gone);
    m_pScript->resolve[{"Departed", "_printer._tcp"}] =
        Resolved("Departed._printer._tcp.local.", "dep.local.");
    m_pScript->records["dep.local."] = Address(V4(14));
    // A 16-byte answer completes the packet with an empty address.
    Printer("_printer._tcp", "Sixteen", "sixteen.local.", std::string(16, '\x01'), 60);
    // An invalid UTF-8 name arrives with U+FFFD (and cannot be resolved under it).
    m_pScript->browse["_printer._tcp"].push_back(Found("Bad\xff", 70));

    Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 7u);
    const auto* pOffice = Find(a, "Office Laser");
    ASSERT_NE(pOffice, nullptr);
    EXPECT_TRUE(pOffice->bComplete);
    EXPECT_EQ(Narrow(pOffice->strIpAddress), "192.0.2.10");
    EXPECT_EQ(Narrow(pOffice->strUrl), "http://o.local/");
    EXPECT_EQ(ResolvedTypes("Office Laser"), std::vector<std::string>{"_printer._tcp"});

    const auto* pRaw = Find(a, "Raw Only");
    ASSERT_NE(pRaw, nullptr);
    EXPECT_TRUE(pRaw->bComplete);
    EXPECT_EQ(Narrow(pRaw->strUrl), "http://raw.local");
    EXPECT_EQ(ResolvedTypes("Raw Only"), std::vector<std::string>{"_pdl-datastream._tcp"});

    ASSERT_NE(Find(a, "Case Printer"), nullptr);
    ASSERT_NE(Find(a, "case printer"), nullptr);
    EXPECT_EQ(Narrow(Find(a, "case printer")->strIpAddress), "192.0.2.13");
    ASSERT_NE(Find(a, "Departed"), nullptr);
    EXPECT_TRUE(Find(a, "Departed")->bComplete);

    const auto* pSixteen = Find(a, "Sixteen");
    ASSERT_NE(pSixteen, nullptr);
    EXPECT_TRUE(pSixteen->bComplete);
    EXPECT_EQ(Narrow(pSixteen->strIpAddress), "");
    const auto* pBad = Find(a, "Bad\xef\xbf\xbd");
    ASSERT_NE(pBad, nullptr);
    EXPECT_FALSE(pBad->bComplete);
    EXPECT_EQ(m_pProvider->GetStatus(), 0);
}

TEST_F(MdnsSearch, TraceShowsEachPassInOrder) {
    Printer("_printer._tcp", "Office Laser", "office.local.", V4(10));
    Scan();
    const std::vector<std::string> aExpected = {
        "MDNS: NameToQuery='_printer._tcp'",
        "MDNS: Printer found: Office Laser",
        "MDNS: Resolving ip-address and admin-url for Office Laser._printer._tcp.local..",
        "MDNS: Resolved ip-address '192.0.2.10'",
        "MDNS: NameToQuery='_pdl-datastream._tcp'",
    };
    std::vector<std::string> aLines;
    for (const std::string& s : m_trace.With("MDNS: ")) {
        if (s.find("thread") == std::string::npos && s.find("hread successfully") == std::string::npos &&
            s.find("reset data") == std::string::npos) {
            aLines.push_back(s);  // the provider's own lines, not the framework's
        }
    }
    EXPECT_EQ(aLines, aExpected);
}

TEST_F(MdnsSearch, PacketsOfAnotherProviderAreNotAppendedAgain) {
    MulticastDataPacket upnp;
    upnp.strName = u"Shared Name";
    upnp.strIpAddress = u"192.0.2.50";
    upnp.bComplete = 1;
    CStubProvider stub({upnp});
    ASSERT_TRUE(stub.StartSearch());
    ASSERT_TRUE(WaitIdle(stub, 2s));
    Printer("_printer._tcp", "Shared Name", "shared.local.", V4(10));
    Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Narrow(a[0].strIpAddress), "192.0.2.50");
    EXPECT_TRUE(ResolvedTypes("Shared Name").empty()) << "a packet with an address is not resolved";
}

TEST_F(MdnsSearch, SilentResolveOrQueryCostsItsBoundOnly) {
    // "Gone" never answers its resolve, "No V4" never gets an A record;
    // the printer browsed after them is still found.
    m_pScript->browse["_printer._tcp"] = {Found("Gone"), Found("No V4", 5), Found("Later", 10)};
    m_pScript->resolve[{"No V4", "_printer._tcp"}] = Resolved("No\\032V4._printer._tcp.local.", "v6.local.");
    Printer("_printer._tcp", "Later", "later.local.", V4(15), 10);

    const auto elapsed = Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_FALSE(Find(a, "Gone")->bComplete);
    EXPECT_FALSE(Find(a, "No V4")->bComplete);
    EXPECT_EQ(Narrow(Find(a, "No V4")->strUrl), "http://v6.local")
        << "the URL is kept, the packet stays incomplete";
    EXPECT_TRUE(Find(a, "Later")->bComplete);
    // Both unanswered ones are tried again in the second pass, under its type.
    EXPECT_EQ(ResolvedTypes("Gone"), (std::vector<std::string>{"_printer._tcp", "_pdl-datastream._tcp"}));
    // Two silences, and one bound per unanswered wait: "Gone" twice, "No V4"
    // once per pass (address, then the resolve under the second type).
    EXPECT_LT(elapsed, 2 * SILENCE + 4 * BOUND + 300ms);
    EXPECT_EQ(m_pProvider->GetStatus(), 0) << "a silent printer must not hide the others from the window";

    const auto aLines = m_trace.With("MDNS: ");
    auto Has = [&](const std::string& s) {
        return std::find(aLines.begin(), aLines.end(), s) != aLines.end();
    };
    EXPECT_TRUE(Has("[ERROR] MDNS: No reply resolving 'Gone' within 200 ms."));
    EXPECT_TRUE(Has("[ERROR] MDNS: No ip-address for 'No V4' within 200 ms."));
}

TEST_F(MdnsSearch, ErrorRepliesLeaveThatPrinterIncompleteAndTheOthersGoOn) {
    // What the library delivers when the daemon gives up on one instance or host.
    m_pScript->browse["_printer._tcp"] = {Found("Refused"), Found("No Record", 5), Found("Fine", 10)};
    // A browse reply with an error that still names an instance counts as found.
    auto errant = Found("Errant", 15);
    errant.reply.nError = -65537;
    m_pScript->browse["_printer._tcp"].push_back(errant);
    auto refused = Resolved("Refused._printer._tcp.local.", "refused.local.");
    refused.reply.nError = -65537;
    m_pScript->resolve[{"Refused", "_printer._tcp"}] = refused;
    m_pScript->resolve[{"No Record", "_printer._tcp"}] =
        Resolved("No\\032Record._printer._tcp.local.", "norec.local.");
    auto noRecord = Address("");
    noRecord.reply.nError = -65537;
    m_pScript->records["norec.local."] = noRecord;
    Printer("_printer._tcp", "Fine", "fine.local.", V4(18), 10);

    Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_NE(Find(a, "Errant"), nullptr);
    EXPECT_FALSE(Find(a, "Refused")->bComplete);
    EXPECT_EQ(Narrow(Find(a, "Refused")->strUrl), "");
    EXPECT_FALSE(Find(a, "No Record")->bComplete) << "an error is no address, not an empty one";
    EXPECT_EQ(Narrow(Find(a, "No Record")->strUrl), "http://norec.local");
    EXPECT_TRUE(Find(a, "Fine")->bComplete);
    EXPECT_EQ(m_pProvider->GetStatus(), 0) << "one printer's failure must not hide the others";

    const auto aLines = m_trace.With("MDNS: ");
    auto Count = [&](const std::string& s) { return std::count(aLines.begin(), aLines.end(), s); };
    EXPECT_EQ(Count("[ERROR] MDNS: Could not resolve shortname 'Refused'. (0xFFFEFFFF)"), 1);
    EXPECT_EQ(Count("[ERROR] MDNS: Could not query ip-address of 'No Record'. (0xFFFEFFFF)"), 1);
    EXPECT_EQ(Count("MDNS: Resolved ip-address ''"), 0);
    EXPECT_EQ(Count("MDNS: Printer found: Errant"), 1);
}

TEST_F(MdnsSearch, FailedResolveIsRetriedUnderTheSecondType) {
    m_pScript->browse["_printer._tcp"] = {Found("Twice")};
    m_pScript->browse["_pdl-datastream._tcp"] = {Found("Twice")};
    m_pScript->resolve[{"Twice", "_pdl-datastream._tcp"}] =
        Resolved("Twice._pdl-datastream._tcp.local.", "twice.local.");
    m_pScript->records["twice.local."] = Address(V4(16));
    Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(a[0].bComplete);
    EXPECT_EQ(Narrow(a[0].strIpAddress), "192.0.2.16");
}

TEST_F(MdnsSearch, StopEndsAnyWaitAtOnce) {
    struct Case {
        const char* pszWhat;
        std::chrono::milliseconds wait;  // how long into the search to stop
    };
    // Long bounds so that only the stop can end the waits quickly.
    for (const Case& c : {Case{"browse phase", 50ms}, Case{"resolve", 400ms}, Case{"address", 800ms}}) {
        SCOPED_TRACE(c.pszWhat);
        auto pScript = std::make_shared<fake::Script>();
        pScript->browse["_printer._tcp"] = {Found("Silent"), Found("NoAddress", 1)};
        pScript->resolve[{"NoAddress", "_printer._tcp"}] =
            Resolved("NoAddress._printer._tcp.local.", "na.local.");
        for (int i = 0; i < 20; ++i) {  // resolves in flight behind them
            pScript->browse["_printer._tcp"].push_back(Found("Behind " + std::to_string(i), 2));
        }
        auto pProvider = std::make_unique<CMDNSResponderClient>(
            std::vector<std::u16string>{u"_printer._tcp", u"_pdl-datastream._tcp"},
            std::make_unique<fake::Client>(pScript), MdnsTimings{300ms, 400ms, 5000ms});
        pProvider->ResetData();
        ASSERT_TRUE(pProvider->StartSearch());
        std::this_thread::sleep_for(c.wait);
        const auto t0 = std::chrono::steady_clock::now();
        pProvider->StopSearch();
        EXPECT_FALSE(pProvider->IsSearching());
        pProvider.reset();  // joins the search thread: it must have left its wait
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
        EXPECT_EQ(pScript->nOpenOperations, 0);
        for (const auto& p : Packets()) {
            EXPECT_FALSE(p.bComplete);
        }
    }
}

TEST_F(MdnsSearch, StartFailuresAreReportedAndTheRestStillRuns) {
    m_pScript->browseStartError["_printer._tcp"] = -65537;
    m_pScript->browse["_pdl-datastream._tcp"] = {Found("Unstartable")};
    m_pScript->resolveStartError["Unstartable"] = -65540;
    Printer("_pdl-datastream._tcp", "Raw Only", "raw.local.", V4(11), 5);
    Scan();
    EXPECT_TRUE(Find(Packets(), "Raw Only")->bComplete);
    EXPECT_EQ(m_pProvider->GetStatus(), -65540);
    const auto aLines = m_trace.With("MDNS: ");
    const auto itBrowse =
        std::find(aLines.begin(), aLines.end(), "[ERROR] MDNS: Could not browse services. (0xFFFEFFFF)");
    const auto itResolve = std::find(aLines.begin(), aLines.end(),
                                     "[ERROR] MDNS: Could not resolve shortname 'Unstartable'. (0xFFFEFFFC)");
    const auto itNext =
        std::find(aLines.begin(), aLines.end(),
                  "MDNS: Resolving ip-address and admin-url for Raw Only._pdl-datastream._tcp.local..");
    EXPECT_NE(itBrowse, aLines.end());
    EXPECT_LT(itResolve, itNext) << "the failure is traced in list order";
}

TEST_F(MdnsSearch, ErrorReplyWithoutNameEndsBrowsePhaseWithoutPacket) {
    // What the library delivers when avahi-daemon goes away mid-browse.
    fake::BrowseEvent failure;
    failure.at = 10ms;
    failure.reply.nError = -65537;
    m_pScript->browse["_printer._tcp"] = {Found("Before"), failure};
    m_pScript->resolve[{"Before", "_printer._tcp"}] = Resolved("Before._printer._tcp.local.", "b.local.");
    m_pScript->records["b.local."] = Address(V4(17));
    Scan();
    const auto a = Packets();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(a[0].bComplete) << "what was found before is still resolved";
    EXPECT_EQ(m_pProvider->GetStatus(), -65537);
}

TEST_F(MdnsSearch, SilenceCountsFromTheLastReplyNotTheLastWake) {
    // Replies at 0 and 100 ms; wakes without replies keep coming until 700 ms.
    m_pScript->browse["_printer._tcp"] = {Found("A"), Found("B", 100)};
    for (int t = 200; t <= 700; t += 100) {
        m_pScript->browse["_printer._tcp"].push_back(fake::Wake(t));
    }
    Scan();
    const auto aCalls = m_pScript->Calls();
    ASSERT_GE(aCalls.size(), 2u);
    ASSERT_EQ(aCalls[0].strWhat, "browse");
    ASSERT_EQ(aCalls[1].strWhat, "resolve");
    const auto browseTime = std::chrono::duration_cast<std::chrono::milliseconds>(aCalls[1].t - aCalls[0].t);
    EXPECT_GE(browseTime, 100ms + SILENCE - 5ms);
    EXPECT_LT(browseTime, 100ms + SILENCE + 120ms) << "wakes without a reply must not extend the browse";
}

TEST_F(MdnsSearch, ResolvesOverlapButAreProcessedInListOrder) {
    // Switched-off printers (never answer) between slow live ones.
    std::vector<std::string> aExpected;
    for (int i = 0; i < 20; ++i) {
        const std::string strName = (i % 3 == 0 ? "Live " : "Off ") + std::to_string(i);
        m_pScript->browse["_printer._tcp"].push_back(Found(strName, i));
        if (i % 3 == 0) {
            const std::string strHost = "live" + std::to_string(i) + ".local.";
            m_pScript->resolve[{strName, "_printer._tcp"}] =
                Resolved(strName + "._printer._tcp.local.", strHost);
            m_pScript->resolve[{strName, "_printer._tcp"}].at = 150ms;
            m_pScript->records[strHost] = Address(V4(100 + i));
            m_pScript->records[strHost].at = 150ms;
            aExpected.push_back("MDNS: Resolving ip-address and admin-url for " + strName +
                                "._printer._tcp.local..");
            aExpected.push_back("MDNS: Resolved ip-address '192.0.2." + std::to_string(100 + i) + "'");
        } else {
            aExpected.push_back("[ERROR] MDNS: No reply resolving '" + strName + "' within 200 ms.");
        }
    }
    const auto elapsed = Scan();
    // One after the other: 13 silent bounds and 7 slow pairs, then the 13
    // again: 7.3 s. Side by side: about 1.1 s (18 in flight at most).
    EXPECT_LT(elapsed, 2500ms);
    EXPECT_LE(m_pScript->nMostOpen, static_cast<int>(MDNS_RESOLVES_AHEAD) + 1 + 7);

    std::vector<std::string> aFirstPass;
    bool bInPass = false;
    for (const std::string& s : m_trace.With("")) {
        if (s.find("NameToQuery") != std::string::npos) {
            bInPass = !bInPass;
        } else if (bInPass && s.find("Printer found") == std::string::npos &&
                   s.find("hread") == std::string::npos) {
            aFirstPass.push_back(s);
        }
    }
    EXPECT_EQ(aFirstPass, aExpected);
}

TEST_F(MdnsSearch, ServiceGoneEndsThePassAtOnceAndKeepsWhatWasListed) {
    Printer("_printer._tcp", "Before", "b.local.", V4(17));
    m_pScript->browse["_printer._tcp"].push_back(Found("Silent", 1));
    m_pScript->lostAt = SILENCE + 50ms;  // during Silent's resolve
    const auto elapsed = Scan();
    EXPECT_LT(elapsed, SILENCE + 150ms);
    const auto a = Packets();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_TRUE(Find(a, "Before")->bComplete);
    EXPECT_EQ(m_pProvider->GetStatus(), DNSSD_ERR_SERVICE_NOT_RUNNING);
    const auto aLines = m_trace.With("");
    auto Has = [&](const std::string& s) {
        return std::find(aLines.begin(), aLines.end(), s) != aLines.end();
    };
    EXPECT_TRUE(Has("[ERROR] MDNS: Could not process result. (0xFFFEFFE5)"));
    EXPECT_TRUE(Has("[ERROR] MDNS: Could not browse services. (0xFFFEFFE5)"))
        << "the next pass fails to start";
    EXPECT_FALSE(Has("[ERROR] MDNS: No reply resolving 'Silent' within 200 ms."));
}

TEST_F(MdnsSearch, TypesOfOneEntryAreBrowsedInOnePass) {
    m_pProvider = std::make_unique<CMDNSResponderClient>(
        std::vector<std::u16string>{u"_ipp._tcp,_ipps._tcp", u"_printer._tcp"},
        std::make_unique<fake::Client>(m_pScript), MdnsTimings{SILENCE, BOUND, BOUND});
    Printer("_ipps._tcp", "Secure", "s.local.", V4(20), 0, {"ty=Secure Model"});
    Printer("_ipp._tcp", "Plain", "p.local.", V4(21), 100, {"product=(Plain Model)"});
    m_pScript->browse["_ipps._tcp"].push_back(Found("Plain", 120));
    m_pScript->browse["_ipp._tcp"].push_back(Found("Later", 130));  // resolves only as _printer._tcp
    Printer("_printer._tcp", "Later", "l.local.", V4(22));
    Scan();
    const auto aCalls = m_pScript->Calls();
    ASSERT_GE(aCalls.size(), 3u);
    EXPECT_EQ(aCalls[1].strWhat + aCalls[1].strArg1, "browse_ipps._tcp") << "both browse before any resolve";
    const auto a = Packets();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(Narrow(Find(a, "Secure")->strType), "_ipps._tcp");
    EXPECT_EQ(Narrow(Find(a, "Secure")->strModel), "Secure Model");
    EXPECT_EQ(Narrow(Find(a, "Plain")->strType), "_ipp._tcp");
    EXPECT_EQ(Narrow(Find(a, "Plain")->strModel), "Plain Model");
    EXPECT_TRUE(Find(a, "Later")->bComplete);
    EXPECT_EQ(ResolvedTypes("Secure"), std::vector<std::string>{"_ipps._tcp"});
    EXPECT_EQ(ResolvedTypes("Plain"), std::vector<std::string>{"_ipp._tcp"});
    EXPECT_EQ(ResolvedTypes("Later"), (std::vector<std::string>{"_ipp._tcp", "_printer._tcp"}));
    const auto aLines = m_trace.With("MDNS: NameToQuery");
    EXPECT_EQ(aLines,
              (std::vector<std::string>{"MDNS: NameToQuery='_ipp._tcp'", "MDNS: NameToQuery='_ipps._tcp'",
                                        "MDNS: NameToQuery='_printer._tcp'"}));
}

// ------------------------------------------------------------- live scan

struct LiveRows : CLiveRowSink {
    std::vector<std::string> aRows;  // "name address", as listed
    FindingHandle Report(const FindingKey&, ScanRow row) override {
        aRows.push_back(Narrow(row.strName) + " " + Narrow(row.strIpAddress));
        return aRows.size();
    }
    void SetAddresses(FindingHandle, std::vector<std::u16string>) override {}
};

// "Dual" has an IPv6 address, its IPv4 resolve queued behind a silent one,
// when the scan is stopped or the daemon goes: it is listed all the same.
class LiveMdnsEnd : public testing::TestWithParam<bool> {};

TEST_P(LiveMdnsEnd, PrinterWithAnAddressIsListed) {
    if (std::string_view(MdnsBackendName()) == "dnssd") GTEST_SKIP() << "no live scan on dns_sd";
    auto pScript = std::make_shared<fake::Script>();
    for (auto [pszName, nProtocol] :
         {std::pair{"Dual", DNSSD_PROTO_INET6}, {"Off", DNSSD_PROTO_INET}, {"Dual", DNSSD_PROTO_INET}}) {
        pScript->browse["_printer._tcp"].push_back(Found(pszName));
        pScript->browse["_printer._tcp"].back().reply.nProtocol = nProtocol;
    }
    pScript->resolve[{"Dual", "_printer._tcp@1"}].reply.strAddress = "2001:db8::7";
    if (!GetParam()) pScript->lostAt = 300ms;
    LiveScanSettings settings;
    settings.nMaxResolves = 1;
    auto pSource = CreateLiveMdnsSource(settings, std::make_unique<fake::Client>(pScript));
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        if (GetParam()) pSource->Stop();
    });
    LiveRows rows;
    EXPECT_EQ(pSource->Run(rows), 0);
    stopper.join();
    EXPECT_EQ(rows.aRows, std::vector<std::string>{"Dual 2001:db8::7"});
}

INSTANTIATE_TEST_SUITE_P(Ends, LiveMdnsEnd, testing::Bool(),
                         [](const auto& info) { return info.param ? "Stopped" : "DaemonGone"; });

// Silent printers' resolves end together with others still queued behind
// them; a resolve the daemon refuses is asked again: all listed, soon.
TEST(LiveMdns, QueuedAndRefusedResolvesAreAllAnswered) {
    if (std::string_view(MdnsBackendName()) == "dnssd") GTEST_SKIP() << "no live scan on dns_sd";
    auto pScript = std::make_shared<fake::Script>();
    for (const char* pszName : {"Off 1", "Off 2", "Off 3", "Off 4", "Refused", "Live"}) {
        pScript->browse["_printer._tcp"].push_back(Found(pszName));
    }
    for (auto [pszName, pszAddress] : {std::pair{"Refused", "192.0.2.7"}, {"Live", "192.0.2.8"}}) {
        pScript->resolve[{pszName, "_printer._tcp@-1"}].reply.strAddress = pszAddress;
    }
    pScript->resolveStartError["Refused"] = DNSSD_ERR_UNKNOWN;
    pScript->bRefuseOnce = true;
    LiveScanSettings settings;
    settings.resolveBound = 200ms;
    settings.nMaxResolves = settings.nFewestResolves = 2;
    auto pSource = CreateLiveMdnsSource(settings, std::make_unique<fake::Client>(pScript));
    LiveRows rows;
    auto run = std::async(std::launch::async, [&] { return pSource->Run(rows); });
    EXPECT_EQ(run.wait_for(1s), std::future_status::ready) << "the scan waits for nothing";
    pSource->Stop();
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(rows.aRows, (std::vector<std::string>{"Live 192.0.2.8", "Refused 192.0.2.7"}));
}

struct BrowseCase {
    const char* pszName;
    int nStartDelayMs;  // each browse's start, one after another
    int nFoundAtMs;
    std::chrono::milliseconds resolveBound;
};

class LiveMdnsBrowse : public testing::TestWithParam<BrowseCase> {};

// Browses slow to start lose nothing (silence counts once all run and what
// came was read); an instance just before AllForNow ends the scan its
// 250 ms later, not at the silence bound.
TEST_P(LiveMdnsBrowse, InstanceListedAndDoneItsQuietLater) {
    if (std::string_view(MdnsBackendName()) == "dnssd") GTEST_SKIP() << "no live scan on dns_sd";
    const BrowseCase& c = GetParam();
    auto pScript = std::make_shared<fake::Script>();
    pScript->browseStartDelay = std::chrono::milliseconds(c.nStartDelayMs);
    for (const char* pszType : {"_printer._tcp", "_pdl-datastream._tcp"}) {
        fake::BrowseEvent allForNow;
        allForNow.at = 20ms;
        allForNow.reply.nFlags = DNSSD_BROWSE_ALL_FOR_NOW;
        pScript->browse[pszType].push_back(allForNow);
    }
    pScript->browse["_printer._tcp"].push_back(Found("Late", c.nFoundAtMs));
    pScript->resolve[{"Late", "_printer._tcp@-1"}].reply.strAddress = "192.0.2.9";
    LiveScanSettings settings;
    settings.resolveBound = c.resolveBound;
    auto pSource = CreateLiveMdnsSource(settings, std::make_unique<fake::Client>(pScript));
    LiveRows rows;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pSource->Run(rows), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2 * c.nStartDelayMs * 1ms + c.nFoundAtMs * 1ms + 600ms);
    EXPECT_EQ(rows.aRows, std::vector<std::string>{"Late 192.0.2.9"});
}

INSTANTIATE_TEST_SUITE_P(Timings, LiveMdnsBrowse,
                         testing::Values(BrowseCase{"SlowStart", 400, 0, 600ms},
                                         BrowseCase{"InstanceJustBeforeAllForNow", 0, 15, 2000ms}),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Under watch an instance no resolve answered in time (a daemon busy with a
// large link) is asked again, later each time, until listed; one removed
// meanwhile is not.
TEST(LiveMdns, WatchAsksAgainForInstancesStillThere) {
    if (std::string_view(MdnsBackendName()) == "dnssd") GTEST_SKIP() << "no live scan on dns_sd";
    auto pScript = std::make_shared<fake::Script>();
    for (const char* pszName : {"Busy", "Gone"}) pScript->browse["_printer._tcp"].push_back(Found(pszName));
    pScript->browse["_printer._tcp"].push_back(Found("Gone", 150));
    pScript->browse["_printer._tcp"].back().reply.nFlags = 0;  // removed
    pScript->resolve[{"Busy", "_printer._tcp@-1"}].reply.strAddress = "192.0.2.10";
    pScript->resolveSilentFor = {{"Busy", 2}, {"Gone", 1}};
    LiveScanSettings settings;
    settings.bWatch = true;
    settings.resolveBound = 100ms;
    auto pSource = CreateLiveMdnsSource(settings, std::make_unique<fake::Client>(pScript));
    LiveRows rows;
    auto run = std::async(std::launch::async, [&] { return pSource->Run(rows); });
    std::map<std::string, int> asks;
    const auto tEnd = std::chrono::steady_clock::now() + 2s;
    while (asks["Busy"] < 3 && std::chrono::steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(20ms);
        asks.clear();
        for (const fake::Call& call : pScript->Calls()) asks[call.strArg1] += call.strWhat == "resolve";
    }
    std::this_thread::sleep_for(100ms);
    pSource->Stop();
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(rows.aRows, std::vector<std::string>{"Busy 192.0.2.10"});
    EXPECT_EQ(asks["Busy"], 3);
    EXPECT_EQ(asks["Gone"], 1);
}

// Under watch 10,000 printers come and go: only what is there now is kept.
TEST(LiveMdns, WatchKeepsOnlyTheInstancesThereNow) {
    if (std::string_view(MdnsBackendName()) == "dnssd") GTEST_SKIP() << "no live scan on dns_sd";
    auto pScript = std::make_shared<fake::Script>();
    for (int i = 0; i < 10000; ++i) {
        const std::string strName = "P " + std::to_string(i);
        pScript->browse["_printer._tcp"].push_back(Found(strName, i / 10));
        pScript->browse["_printer._tcp"].push_back(Found(strName, i / 10 + 1));
        pScript->browse["_printer._tcp"].back().reply.nFlags = 0;  // removed
    }
    LiveScanSettings settings;
    settings.bWatch = true;
    settings.resolveBound = 50ms;
    auto pSource = CreateLiveMdnsSource(settings, std::make_unique<fake::Client>(pScript));
    size_t nKept = 0;
    pScript->onWait = [&] { nKept = pSource->GetMdnsInstances(); };
    std::thread stopper([&] {
        // Every printer resolved, then time for the last resolves' bound.
        const auto tEnd = std::chrono::steady_clock::now() + 20s;
        while (pScript->Calls().size() < 2 + 10000 && std::chrono::steady_clock::now() < tEnd) {
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(300ms);
        pSource->Stop();
    });
    LiveRows rows;
    EXPECT_EQ(pSource->Run(rows), 0);
    stopper.join();
    EXPECT_EQ(nKept, 0u);
}

// ------------------------------------------------------------- availability

TEST(MdnsAvailability, AskedOnceAndFailureTracedOnce) {
    CTraceCapture trace;
    for (int32_t nResult : {0, -65537}) {
        auto pScript = std::make_shared<fake::Script>();
        pScript->nCheckResult = nResult;
        CMDNSResponderClient provider({u"_printer._tcp"}, std::make_unique<fake::Client>(pScript),
                                      MdnsTimings{});
        const int32_t nExpected = nResult == 0 ? 1 : 0;
        EXPECT_EQ(provider.IsAvailable(), nExpected);
        pScript->nCheckResult = nResult == 0 ? -65537 : 0;  // a later change is not noticed
        EXPECT_EQ(provider.IsAvailable(), nExpected);
        EXPECT_EQ(pScript->nChecks, 1);
    }
    EXPECT_EQ(trace.With("MDNS: "),
              std::vector<std::string>{"[ERROR] MDNS: Printer Locator Service is not available."});
}

// The real library with no daemon behind its bus address: a quick "no",
// and nothing on the terminal. Run in a fresh process of this program, as
// the library warns only once per process.
TEST(MdnsAvailability, SystemLibraryWithoutDaemonAnswersQuicklyAndQuietly) {
    if (getenv("HVL_MDNS_CHILD") != nullptr) {
        // The child: no bus behind the address, no warning switch set.
        ReadTxtItems(Txt({"a=1"}));  // the TXT functions warn too
        CMDNSResponderClient provider({u"_printer._tcp"});
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(provider.IsAvailable(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
        return;
    }
    int aPipe[2];
    ASSERT_EQ(pipe(aPipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(aPipe[1], STDERR_FILENO);
        dup2(aPipe[1], STDOUT_FILENO);
        setenv("HVL_MDNS_CHILD", "1", 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/hvl-test/bus.sock", 1);
        unsetenv("AVAHI_COMPAT_NOWARN");
        execl("/proc/self/exe", "mdns_unit_tests",
              "--gtest_filter=MdnsAvailability.SystemLibraryWithoutDaemonAnswersQuicklyAndQuietly",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(aPipe[1]);
    std::string strOutput;
    char buf[4096];
    ssize_t n;
    while ((n = read(aPipe[0], buf, sizeof(buf))) > 0) {
        strOutput.append(buf, static_cast<size_t>(n));
    }
    close(aPipe[0]);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strOutput;
    EXPECT_EQ(strOutput.find("WARNING"), std::string::npos) << strOutput;
}

// A response packet of the records given as zone text, on the wire.
std::vector<uint8_t> Response(const std::vector<std::string>& aRecords) {
    ldns_pkt* pPacket = ldns_pkt_new();
    ldns_pkt_set_qr(pPacket, true);
    for (const std::string& strRecord : aRecords) {
        ldns_rr* pRecord = nullptr;
        EXPECT_EQ(ldns_rr_new_frm_str(&pRecord, strRecord.c_str(), 0, nullptr, nullptr), LDNS_STATUS_OK)
            << strRecord;
        ldns_pkt_push_rr(pPacket, LDNS_SECTION_ANSWER, pRecord);
    }
    uint8_t* pWire = nullptr;
    size_t nSize = 0;
    ldns_pkt2wire(&pWire, pPacket, &nSize);
    std::vector<uint8_t> aWire(pWire, pWire + nSize);
    free(pWire);
    ldns_pkt_free(pPacket);
    return aWire;
}

bool Read(CMdnsDirectStore& store, const std::vector<std::string>& aRecords) {
    const std::vector<uint8_t> aWire = Response(aRecords);
    return store.Read(aWire.data(), aWire.size(), 7);
}

TEST(MdnsDirectStore, OnePacketInAnyOrderListsTheInstanceOnceThenAsAKnownAnswer) {
    CMdnsDirectStore store({"_ipp._tcp"}, {});
    ASSERT_TRUE(Read(
        store, {"h1.local. 120 IN A 192.0.2.9", "h1.local. 120 IN AAAA fe80::1",
                "h1.local. 120 IN A 192.0.2.8", "Office\\032A._ipp._tcp.local. 120 IN TXT \"ty=M\" \"x\"",
                "Office\\032A._ipp._tcp.local. 120 IN SRV 0 0 631 H1.local.",
                "_ipp._tcp.local. 4500 IN PTR Office\\032A._ipp._tcp.local."}));
    std::vector<MdnsDirectService> aDone = store.TakeComplete();
    ASSERT_EQ(aDone.size(), 1u);
    EXPECT_EQ(aDone[0].strInstance, "Office A");
    EXPECT_EQ(aDone[0].strType, "_ipp._tcp");
    EXPECT_EQ(aDone[0].strHostTarget, "H1.local.");
    EXPECT_EQ(aDone[0].nPort, 631);
    EXPECT_EQ(aDone[0].strTxt, std::string("\x04ty=M\x01x"));
    EXPECT_EQ(aDone[0].aAddresses, (std::vector<std::string>{"192.0.2.9", "192.0.2.8", "fe80::1"}));
    EXPECT_EQ(aDone[0].nInterface, 7u);
    EXPECT_TRUE(store.TakeComplete().empty());
    // Repeats carry it as a known answer; nothing is missing.
    const auto aQueries = store.Queries("_ipp._tcp", 3);
    ASSERT_EQ(aQueries.size(), 1u);
    ldns_pkt* pQuery = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&pQuery, aQueries[0].data(), aQueries[0].size()), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_pkt_qdcount(pQuery), 1);
    EXPECT_EQ(ldns_pkt_ancount(pQuery), 1);
    // Not avahi-daemon's first query for the type to a responder that drops repeats.
    EXPECT_NE(ldns_pkt_id(pQuery), 0);
    ldns_pkt_free(pQuery);
    EXPECT_TRUE(store.Missing(7, 2, 2).empty());
    // avahi-daemon's answer over IPv6 (AAAA only) waits for its IPv4 one, or the run's end.
    ASSERT_TRUE(Read(store, {"h2.local. 120 IN AAAA fe80::2", "B._ipp._tcp.local. 120 IN TXT \"\"",
                             "B._ipp._tcp.local. 120 IN SRV 0 0 631 h2.local.",
                             "_ipp._tcp.local. 4500 IN PTR B._ipp._tcp.local."}));
    EXPECT_TRUE(store.TakeComplete().empty());
    ASSERT_TRUE(Read(store, {"h2.local. 120 IN A 192.0.2.2"}));
    aDone = store.TakeComplete();
    ASSERT_EQ(aDone.size(), 1u);
    EXPECT_EQ(aDone[0].aAddresses, (std::vector<std::string>{"192.0.2.2", "fe80::2"}));
    ASSERT_TRUE(Read(store, {"h3.local. 120 IN AAAA fe80::3", "C._ipp._tcp.local. 120 IN TXT \"\"",
                             "C._ipp._tcp.local. 120 IN SRV 0 0 631 h3.local.",
                             "_ipp._tcp.local. 4500 IN PTR C._ipp._tcp.local."}));
    EXPECT_TRUE(store.TakeComplete().empty());
    EXPECT_EQ(store.TakeComplete(true).size(), 1u);
}

TEST(MdnsDirectStore, AnswersNotOfTheTypeAskedGoodbyesAndGarbageAreLeftOut) {
    CMdnsDirectStore store({"_printer._tcp"}, {});
    EXPECT_FALSE(store.Read(reinterpret_cast<const uint8_t*>("\x00\x01\x80"), 3, 1));
    // TSIG records, of which ldns_wire2pkt would keep one and lose the rest
    // (the leak sanitizer's to see): two in the additional section, then
    // two more behind an SRV whose rdata runs past its target's name.
    const uint8_t aTwoTsigs[] = {
        0x2d, 0x40, 0xdc, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x5f, 0x69, 0x50, 0x70, 0x00, 0x00, 0xfa, 0x00,
        0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x5f, 0x69, 0x50, 0x70, 0x00, 0x00, 0xfa, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5b, 0x5b, 0x00, 0x00, 0x07, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5b, 0x5b, 0x00, 0x00, 0x07, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x60,
    };
    const uint8_t aTsigsBehindSrv[] = {
        0x00, 0x00, 0x84, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x04, 0x5f, 0x74, 0x63,
        0x70, 0x05, 0x6c, 0x6f, 0x63, 0x61, 0x6c, 0x00, 0x00, 0x21, 0x80, 0x32, 0x00, 0x00, 0x00, 0x78,
        0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x02, 0x77, 0x07, 0x6f, 0x66, 0x66, 0x69, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0xfa, 0xff, 0xff, 0xff, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xfa, 0x8a,
        0x8a, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x06, 0x00, 0x84, 0x00, 0xf8, 0x00, 0x00, 0x00, 0x01, 0x00,
    };
    store.Read(aTwoTsigs, sizeof aTwoTsigs, 1);
    store.Read(aTsigsBehindSrv, sizeof aTsigsBehindSrv, 1);
    EXPECT_TRUE(
        Read(store, {"_printer._tcp.local. 120 IN PTR X._ipp._tcp.local.",        // another type's instance
                     "_printer._tcp.local. 120 IN PTR A.B._printer._tcp.local.",  // two labels deep
                     "_printer._tcp.local. 0 IN PTR Gone._printer._tcp.local.",   // goodbye
                     "Other._printer._tcp.local. 120 IN SRV 0 0 515 h.local.",    // never named by a PTR
                     "h.local. 120 IN A 192.0.2.1"}));
    EXPECT_EQ(store.GetInstanceCount(), 0u);
    EXPECT_TRUE(store.TakeComplete().empty());
}

TEST(MdnsDirectStore, WhatAnAnswerLacksIsAskedByNameBoundedTimes) {
    CMdnsDirectStore store({"_printer._tcp"}, {});
    ASSERT_TRUE(Read(store, {"_printer._tcp.local. 120 IN PTR P._printer._tcp.local."}));
    auto aAsk = store.Missing(7, 2, 1);
    ASSERT_EQ(aAsk.size(), 1u);
    ldns_pkt* pAsk = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&pAsk, aAsk[0].data(), aAsk[0].size()), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_pkt_qdcount(pAsk), 2);  // SRV and TXT
    ldns_pkt_free(pAsk);
    EXPECT_TRUE(store.Missing(7, 2, 1).empty());  // asked once already
    EXPECT_TRUE(store.Missing(8, 2, 5).empty());  // heard on another interface
    ASSERT_TRUE(Read(store, {"P._printer._tcp.local. 120 IN SRV 0 0 515 p.local.",
                             "P._printer._tcp.local. 120 IN TXT \"\""}));
    EXPECT_EQ(store.Missing(7, 2, 1).size(), 1u);  // A and AAAA of its host
    ASSERT_TRUE(Read(store, {"p.local. 120 IN AAAA 2001:db8::5"}));
    EXPECT_EQ(store.TakeComplete(true).size(), 1u);  // IPv6 only: at the run's end
}

TEST(MdnsDirectStore, ManyKnownAnswersSpreadOverBoundedPacketsWithTc) {
    CMdnsDirectStore store({"_printer._tcp"}, {});
    for (int i = 0; i < 300; ++i) {
        const std::string strName = "Printer-number-" + std::to_string(i) + "._printer._tcp.local.";
        ASSERT_TRUE(Read(
            store, {"_printer._tcp.local. 120 IN PTR " + strName, strName + " 120 IN SRV 0 0 515 h.local.",
                    strName + " 120 IN TXT \"a=b\"", "h.local. 120 IN A 192.0.2.3"}));
    }
    EXPECT_EQ(store.TakeComplete().size(), 300u);
    const auto aQueries = store.Queries("_printer._tcp", 3);
    ASSERT_EQ(aQueries.size(), 3u);
    for (size_t i = 0; i < aQueries.size(); ++i) {
        EXPECT_LE(aQueries[i].size(), 1400u);
        EXPECT_EQ((aQueries[i][2] & 0x02) != 0, i + 1 < aQueries.size()) << i;  // TC on all but the last
    }
}

}  // namespace
