#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include "publish_key.h"
#include "publish_records.h"

namespace {

const std::string DOMAIN = WireName("floor1.example");

PublishedPrinter Printer(std::string strName, std::vector<std::string> aTxt = {"rp=ipp/print"},
                         std::string strId = "ip:192.0.2.10") {
    return {strId, std::move(strName), "office.local", "_ipp._tcp", 631, {"192.0.2.10"}, std::move(aTxt)};
}

std::vector<std::string> Lines(const std::vector<DnsRecord>& aRecords) {
    std::vector<std::string> aLines;
    std::string strText = ZoneFileText(aRecords);
    for (size_t n; (n = strText.find('\n')) != std::string::npos; strText.erase(0, n + 1))
        aLines.push_back(strText.substr(0, n));
    return aLines;
}

struct RecordCase {
    const char* pszTest;
    std::vector<PublishedPrinter> aPrinters;
    std::vector<std::string> aLines;  // in ZoneFileText's order
};

class PrinterRecordsTest : public testing::TestWithParam<RecordCase> {};

TEST_P(PrinterRecordsTest, ZoneText) {
    EXPECT_EQ(Lines(PrinterRecords(GetParam().aPrinters, DOMAIN, 60)), GetParam().aLines);
    // The same labels whatever order the printers come in.
    std::vector<PublishedPrinter> aReversed(GetParam().aPrinters.rbegin(), GetParam().aPrinters.rend());
    EXPECT_EQ(PrinterRecords(aReversed, DOMAIN, 60), PrinterRecords(GetParam().aPrinters, DOMAIN, 60));
}

const std::string TYPE = "_ipp._tcp.floor1.example.\t60\tIN\t";
const std::string HOST = "office.floor1.example.\t60\tIN\t";

INSTANTIATE_TEST_SUITE_P(
    Printers, PrinterRecordsTest,
    testing::Values(
        RecordCase{
            "OnlyGlobalAndPrivateAddresses",
            {{"ip:a",
              "Office",
              "office.local",
              "_ipp._tcp",
              631,
              {"192.0.2.10", "fe80::1%eth0", "127.0.0.1", "169.254.3.4", "::1", "2001:db8::5", "10.1.2.3"},
              {"rp=ipp/print", "note"}}},
            {TYPE + "PTR\tOffice." + TYPE.substr(0, 25), "Office." + TYPE + "TXT\t\"rp=ipp/print\" \"note\"",
             "Office." + TYPE + "SRV\t0 0 631 office.floor1.example.", HOST + "A\t10.1.2.3",
             HOST + "A\t192.0.2.10", HOST + "AAAA\t2001:db8::5"}},
        RecordCase{
            "DotsBackslashesUtf8Escaped",
            {Printer("Room 1.2 \\ Küche", {})},
            {TYPE + "PTR\tRoom\\0321\\.2\\032\\\\\\032K\\195\\188che." + TYPE.substr(0, 25),
             HOST + "A\t192.0.2.10", "Room\\0321\\.2\\032\\\\\\032K\\195\\188che." + TYPE + "TXT\t\"\"",
             "Room\\0321\\.2\\032\\\\\\032K\\195\\188che." + TYPE + "SRV\t0 0 631 office.floor1.example."}},
        RecordCase{"LongTxtStringCutAt255",
                   {Printer("P", {std::string(300, 'x'), "", "ty=A"})},
                   {"P." + TYPE + "TXT\t\"" + std::string(255, 'x') + "\" \"ty=A\"",
                    "P." + TYPE + "SRV\t0 0 631 office.floor1.example.",
                    TYPE + "PTR\tP." + TYPE.substr(0, 25), HOST + "A\t192.0.2.10"}},
        RecordCase{"SameNameTwoPrintersDistinctLabels",
                   {Printer("Laser", {}, "uuid-a"), Printer("laser", {}, "uuid-b")},
                   {TYPE + "PTR\tLaser." + TYPE.substr(0, 25),
                    TYPE + "PTR\tlaser\\032\\(5f6c\\)." + TYPE.substr(0, 25), "Laser." + TYPE + "TXT\t\"\"",
                    "Laser." + TYPE + "SRV\t0 0 631 office.floor1.example.", HOST + "A\t192.0.2.10",
                    "office-5f6c.floor1.example.\t60\tIN\tA\t192.0.2.10",
                    "laser\\032\\(5f6c\\)." + TYPE + "TXT\t\"\"",
                    "laser\\032\\(5f6c\\)." + TYPE + "SRV\t0 0 631 office-5f6c.floor1.example."}},
        RecordCase{"LinkLocalOnlyPublishesNothing",
                   {{"ip:a", "Office", "office.local", "_ipp._tcp", 631, {"fe80::1%eth0"}, {}}},
                   {}},
        RecordCase{"NotAPrinterType", {{"ip:a", "Web", "w.local", "_http._tcp", 80, {"192.0.2.1"}, {}}}, {}}),
    [](const testing::TestParamInfo<RecordCase>& info) { return info.param.pszTest; });

bool IsHostName(const std::string& strWire) {  // every label letters, digits and inner hyphens
    for (size_t i = 0; i < strWire.size() - 1; i += 1 + static_cast<unsigned char>(strWire[i])) {
        const std::string strLabel = strWire.substr(i + 1, static_cast<unsigned char>(strWire[i]));
        if (strLabel.front() == '-' || strLabel.back() == '-' ||
            !std::all_of(strLabel.begin(), strLabel.end(),
                         [](char c) { return std::isalnum(c) || c == '-'; }))
            return false;
    }
    return true;
}

// Whatever a printer calls itself, every name stays under DOMAIN in labels
// of 1 to 63 bytes, and hosts (A owners, SRV targets) are host names, clash
// suffixes too (BIND's default check-names refuses the whole update else).
TEST(PrinterRecordsTest, HostileNamesStayUnderTheDomain) {
    std::vector<PublishedPrinter> aPrinters;
    for (const std::string& strName :
         {std::string(".."), std::string("\\"), std::string("x.example.com."), std::string(70, 'a'),
          std::string("a\0b", 3), std::string(), std::string("\0", 1),
          std::string("ü") + std::string(62, 'u'), std::string("printsrv (3e96)"), std::string("-_-"),
          std::string(62, 'b') + "-c", std::string("..")}) {
        aPrinters.push_back(Printer(strName, {}, "id:" + std::to_string(aPrinters.size())));
        aPrinters.back().strHost = strName + ".local";
    }
    const std::vector<DnsRecord> aRecords = PrinterRecords(aPrinters, DOMAIN, 60);
    EXPECT_EQ(aRecords.size(), 4 * aPrinters.size());
    for (const DnsRecord& record : aRecords) {
        std::vector<std::string> aNames{record.strOwner};
        if (record.nType == 12) aNames.push_back(record.strRdata);
        if (record.nType == 33) aNames.push_back(record.strRdata.substr(6));
        if (record.nType == 1 || record.nType == 33) {
            EXPECT_TRUE(IsHostName(aNames.back())) << aNames.back();
        }
        for (const std::string& strName : aNames) {
            EXPECT_TRUE(IsWireNameUnder(strName, DOMAIN));
            for (size_t i = 0; i < strName.size() - 1; i += 1 + static_cast<unsigned char>(strName[i])) {
                const size_t nLabel = static_cast<unsigned char>(strName[i]);
                EXPECT_TRUE(nLabel >= 1 && nLabel <= 63);
                EXPECT_EQ(strName.substr(i + 1, nLabel).find('\0'), std::string::npos);
            }
        }
    }
}

// A full name fits 255 bytes: labels are cut under a long DOMAIN, and a
// printer whose name cannot fit at all is named as left out. Names others'
// records hold are not taken: the identity's tag is added.
TEST(PrinterRecordsTest, LongDomainsAndTakenNames) {
    const std::string strLong = WireName(std::string(63, 'd') + "." + std::string(63, 'e') + "." +
                                         std::string(63, 'f') + "." + std::string(20, 'g'));
    std::vector<std::string> aLeftOut;
    for (const DnsRecord& record :
         PrinterRecords({Printer(std::string(63, 'p'))}, strLong, 60, {}, &aLeftOut)) {
        EXPECT_LE(record.strOwner.size(), 255u);
        EXPECT_TRUE(IsWireNameUnder(record.strOwner, strLong));
    }
    EXPECT_TRUE(aLeftOut.empty());
    const std::string strTooLong = WireName(std::string(63, 'd') + "." + std::string(63, 'e') + "." +
                                            std::string(63, 'f') + "." + std::string(50, 'g'));
    EXPECT_TRUE(PrinterRecords({Printer("Laser")}, strTooLong, 60, {}, &aLeftOut).empty());
    EXPECT_EQ(aLeftOut, std::vector<std::string>{"Laser"});

    const std::set<std::string> taken{LowerName(WireNameUnder({"laser", "_ipp", "_tcp"}, DOMAIN)),
                                      LowerName(WireNameUnder({"office"}, DOMAIN))};
    const std::vector<std::string> aLines = Lines(PrinterRecords({Printer("Laser")}, DOMAIN, 60, taken));
    EXPECT_EQ(aLines.front(), TYPE + "PTR\tLaser\\032\\(355a\\)." + TYPE.substr(0, 25));
    EXPECT_EQ(aLines.back(), "Laser\\032\\(355a\\)." + TYPE + "SRV\t0 0 631 office-355a.floor1.example.");
}

struct KeyCase {
    const char* pszTest;
    std::string strText;
    mode_t nMode;
    bool bRead;
    std::string strWhyHas;
};

class KeyFileTest : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyFileTest, ReadOrRefused) {
    const std::string strPath = testing::TempDir() + "/publish-key-" + GetParam().pszTest;
    std::ofstream(strPath) << GetParam().strText;
    chmod(strPath.c_str(), GetParam().nMode);
    TsigKey key;
    std::string strWhy;
    EXPECT_EQ(ReadTsigKeyFile(strPath, key, strWhy), GetParam().bRead) << strWhy;
    EXPECT_NE(strWhy.find(GetParam().strWhyHas), std::string::npos) << strWhy;
    EXPECT_EQ(strWhy.find("c2VjcmV0"), std::string::npos);  // the secret is never told
    if (GetParam().bRead) {
        EXPECT_EQ(key.strName + key.strAlgorithm + key.strSecret, "floor1.hmac-sha256.c2VjcmV0");
    }
    unlink(strPath.c_str());
}

const std::string KEY = "key \"floor1\" {\n\talgorithm hmac-sha256;\n\tsecret \"c2VjcmV0\";\n};\n";

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyFileTest,
    testing::Values(KeyCase{"OwnerOnly", KEY, 0600, true, ""},
                    KeyCase{"GroupReadable", KEY, 0640, false, "chmod 600"},
                    KeyCase{"WorldReadable", KEY, 0604, false, "chmod 600"},
                    KeyCase{"Md5Refused", "key k { algorithm hmac-md5; secret \"c2VjcmV0\"; };", 0600, false,
                            "hmac-sha256 or stronger"},
                    KeyCase{"NoKeyBlock", "secret \"c2VjcmV0\";", 0600, false, "no key block"},
                    KeyCase{"CommentedOutBlocks",
                            "# key \"old\" { algorithm hmac-md5; secret \"b2xk\"; };\n// key \"x\" { };\n"
                            "/* key \"y\" {\n algorithm hmac-sha512; secret \"eQ==\"; }; */\n" +
                                KEY + "// the end\n",
                            0600, true, ""},
                    KeyCase{"CommentedOutOnly", "/* " + KEY + " */", 0600, false, "no key block"}),
    [](const testing::TestParamInfo<KeyCase>& info) { return info.param.pszTest; });

// Every algorithm the reader accepts signs through ldns, and the signature
// verifies; the others (hmac-sha384: ldns 1.8.3 misnames it) are refused.
TEST(KeyFileTest, AcceptedAlgorithmsSign) {
    for (const auto& [strAlgorithm, bAccepted] : std::vector<std::pair<std::string, bool>>{
             {"hmac-sha256", true}, {"HMAC-SHA512.", true}, {"hmac-sha384", false}, {"hmac-sha1", false}}) {
        TsigKey key;
        std::string strWhy;
        const std::string strText = "key k { algorithm " + strAlgorithm + "; secret \"c2VjcmV0\"; };";
        ASSERT_EQ(ParseTsigKey(strText, "k.key", key, strWhy), bAccepted) << strAlgorithm << strWhy;
        if (!bAccepted) {
            EXPECT_NE(strWhy.find(strAlgorithm == "hmac-sha384" ? "cannot sign" : "stronger"),
                      std::string::npos);
            continue;
        }
        ldns_pkt* pQuery = ldns_pkt_query_new(ldns_dname_new_frm_str("floor1.example."), LDNS_RR_TYPE_SOA,
                                              LDNS_RR_CLASS_IN, 0);
        ASSERT_EQ(ldns_pkt_tsig_sign(pQuery, key.strName.c_str(), key.strSecret.c_str(), 300,
                                     key.strAlgorithm.c_str(), nullptr),
                  LDNS_STATUS_OK)
            << strAlgorithm;
        uint8_t* pWire = nullptr;
        size_t nWire = 0;
        ASSERT_EQ(ldns_pkt2wire(&pWire, pQuery, &nWire), LDNS_STATUS_OK);
        ldns_pkt* pRead = nullptr;
        ASSERT_EQ(ldns_wire2pkt(&pRead, pWire, nWire), LDNS_STATUS_OK);
        EXPECT_TRUE(
            ldns_pkt_tsig_verify(pRead, pWire, nWire, key.strName.c_str(), key.strSecret.c_str(), nullptr))
            << strAlgorithm;
        free(pWire);
        ldns_pkt_free(pRead);
        ldns_pkt_free(pQuery);
    }
}

}  // namespace
