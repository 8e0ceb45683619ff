// What the device finder makes of description documents and SSDP locations:
// the parts that judge what the network sent, without a network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upnp_device_finder.h"

namespace {

const char* const DOC_URL = "http://192.0.2.10:8080/desc.xml";

std::string Device(const std::string& strType, const std::string& strName, const std::string& strUdn,
                   const std::string& strExtra = "") {
    return "<device><deviceType>" + strType + "</deviceType><friendlyName>" + strName +
           "</friendlyName><UDN>" + strUdn + "</UDN>" + strExtra + "</device>";
}

std::string Root(const std::string& strDevice, const std::string& strProlog = "<?xml version=\"1.0\"?>") {
    return strProlog + "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + strDevice + "</root>";
}

std::vector<UPnPDevice> Parse(const std::string& strDoc, bool* pbOk = nullptr) {
    std::vector<UPnPDevice> aDevices;
    const bool bOk = ParseUPnPDescription(strDoc, DOC_URL, aDevices);
    if (pbOk) *pbOk = bOk;
    EXPECT_EQ(bOk, !aDevices.empty());
    return aDevices;
}

TEST(UPnPDescription, RootAndEmbeddedDevicesEachKeepTheirOwnFields) {
    const std::string strDoc =
        Root(Device("urn:example-com:device:Multifunction:1", "MFP", "uuid:root",
                    "<modelURL>http://vendor.example/mfp</modelURL><manufacturer>Acme</manufacturer>"
                    "<modelName> MFP &amp; 9 </modelName><deviceList>" +
                        Device("urn:schemas-upnp-org:device:Printer:1", "MFP printer", "uuid:printer") +
                        Device("urn:schemas-upnp-org:device:Scanner:1", "MFP scanner", "uuid:scanner",
                               "<modelURL>http://vendor.example/scan</modelURL>") +
                        "</deviceList>"));
    const std::vector<UPnPDevice> aDevices = Parse(strDoc);
    ASSERT_EQ(aDevices.size(), 3u);
    EXPECT_EQ(aDevices[0].strType, "urn:example-com:device:Multifunction:1");
    EXPECT_EQ(aDevices[0].strModelUrl, "http://vendor.example/mfp");
    EXPECT_EQ(aDevices[1].strFriendlyName, "MFP printer");
    EXPECT_EQ(aDevices[1].strUdn, "uuid:printer");
    EXPECT_EQ(aDevices[1].strModelUrl, "") << "an embedded device must not inherit the root's model URL";
    EXPECT_EQ(aDevices[0].strManufacturer + "|" + aDevices[0].strModelName, "Acme|MFP & 9");
    EXPECT_EQ(aDevices[1].strManufacturer + aDevices[1].strModelName, "");
    EXPECT_EQ(aDevices[2].strModelUrl, "http://vendor.example/scan");
    for (const UPnPDevice& device : aDevices) EXPECT_EQ(device.strDocumentUrl, DOC_URL);
}

TEST(UPnPDescription, TextIsTrimmedDecodedAndBounded) {
    const std::string strLong(5000, 'n');
    const std::vector<UPnPDevice> aDevices =
        Parse(Root(Device("  urn:schemas-upnp-org:device:Printer:1\n", "Caf&#233; &amp; <![CDATA[<Bar>]]>",
                          "uuid:x", "<modelURL>" + strLong + "</modelURL>"),
                   "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"));
    ASSERT_EQ(aDevices.size(), 1u);
    EXPECT_EQ(aDevices[0].strType, "urn:schemas-upnp-org:device:Printer:1");
    EXPECT_EQ(aDevices[0].strFriendlyName, "Caf\xC3\xA9 & <Bar>");
    EXPECT_EQ(aDevices[0].strModelUrl.size(), UPNP_MAX_FIELD_BYTES);
}

// Documents that must give nothing at all, whatever devices they hold.
TEST(UPnPDescription, RefusedDocuments) {
    const std::string strGood = Device("urn:schemas-upnp-org:device:Printer:1", "P", "uuid:p");
    std::string strBomb = "<?xml version=\"1.0\"?><!DOCTYPE root [<!ENTITY a0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        strBomb += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) strBomb += "&a" + std::to_string(i - 1) + ";";
        strBomb += "\">";
    }
    strBomb += "]>" + Root(Device("urn:schemas-upnp-org:device:Printer:1", "&a9;", "uuid:p"), "");
    const struct {
        const char* pszWhat;
        std::string strDoc;
    } cases[] = {
        {"empty", ""},
        {"not XML", "this is not a description"},
        {"HTML", "<html><body><p>Printer<br></body></html>"},
        {"truncated", Root(strGood).substr(0, 80)},
        {"bare DOCTYPE", Root(strGood, "<?xml version=\"1.0\"?><!DOCTYPE root>")},
        {"entity bomb", strBomb},
        {"external entity",
         "<?xml version=\"1.0\"?><!DOCTYPE root [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>" +
             Root(Device("urn:schemas-upnp-org:device:Printer:1", "&x;", "uuid:p"), "")},
        {"external DTD",
         "<?xml version=\"1.0\"?><!DOCTYPE root SYSTEM \"http://192.0.2.99/x.dtd\">" + Root(strGood, "")},
        {"undeclared entity", Root(Device("urn:schemas-upnp-org:device:Printer:1", "&x;", "uuid:p"))},
        {"other root element", "<?xml version=\"1.0\"?><scpd>" + strGood + "</scpd>"},
        {"no device", Root("<specVersion><major>1</major></specVersion>")},
        {"device without type", Root("<device><UDN>u</UDN><friendlyName>n</friendlyName></device>")},
        {"blank type", Root(Device(" \n ", "n", "u"))},
        {"invalid UTF-8",
         Root(Device("urn:schemas-upnp-org:device:Printer:1", "bad \xC3\x28 text", "uuid:p"))},
        {"bytes the declared encoding cannot convert",
         Root(Device("urn:schemas-upnp-org:device:Printer:1", "bad \x81", "uuid:p"),
              "<?xml version=\"1.0\" encoding=\"SHIFT_JIS\"?>")},
    };
    // Nothing a device sends reaches the program's own output either.
    testing::internal::CaptureStderr();
    for (const auto& c : cases) {
        bool bOk = true;
        EXPECT_TRUE(Parse(c.strDoc, &bOk).empty()) << c.pszWhat;
        EXPECT_FALSE(bOk) << c.pszWhat;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(UPnPDescription, UntypedEmbeddedDeviceIsLeftOutButItsSiblingsStay) {
    const std::vector<UPnPDevice> aDevices =
        Parse(Root(Device("urn:example-com:device:Multifunction:1", "MFP", "uuid:root",
                          "<deviceList><device><friendlyName>untyped</friendlyName><UDN>u</UDN></device>" +
                              Device("urn:schemas-upnp-org:device:Printer:1", "MFP printer", "uuid:printer") +
                              "</deviceList>")));
    ASSERT_EQ(aDevices.size(), 2u);
    EXPECT_EQ(aDevices[1].strUdn, "uuid:printer");
}

// Only a device's type is required: a missing or blank name is empty text,
// and devices without a UDN are told apart by document and position.
TEST(UPnPDescription, NameAndUdnMayBeMissing) {
    const std::string strDoc =
        Root("<device><deviceType>urn:schemas-upnp-org:device:Printer:1</deviceType><deviceList>" +
             Device("urn:schemas-upnp-org:device:Printer:1", " \t\n ", "uuid:blank") +
             "<device><deviceType>urn:schemas-upnp-org:device:Printer:1</deviceType>"
             "<friendlyName>No UDN</friendlyName></device></deviceList></device>");
    const std::vector<UPnPDevice> aDevices = Parse(strDoc);
    ASSERT_EQ(aDevices.size(), 3u);
    EXPECT_EQ(aDevices[0].strFriendlyName, "");
    EXPECT_EQ(aDevices[0].strUdn, "");
    EXPECT_EQ(aDevices[1].strFriendlyName, "");
    EXPECT_EQ(aDevices[2].strFriendlyName, "No UDN");

    EXPECT_EQ(UPnPDeviceKey(aDevices[1], 1), "uuid:blank");
    EXPECT_NE(UPnPDeviceKey(aDevices[0], 0), UPnPDeviceKey(aDevices[2], 2));
    // The same document read again (another interface) gives the same keys;
    // another document's device at the same position is another device.
    const std::vector<UPnPDevice> aAgain = Parse(strDoc);
    EXPECT_EQ(UPnPDeviceKey(aAgain[2], 2), UPnPDeviceKey(aDevices[2], 2));
    UPnPDevice other = aDevices[2];
    other.strDocumentUrl = "http://192.0.2.11/desc.xml";
    EXPECT_NE(UPnPDeviceKey(other, 2), UPnPDeviceKey(aDevices[2], 2));
    other.strUdn = UPnPDeviceKey(aDevices[2], 2).substr(1);
    EXPECT_NE(UPnPDeviceKey(other, 0), UPnPDeviceKey(aDevices[2], 2));
}

TEST(UPnPDescription, NestingAndDeviceCountAreBounded) {
    std::string strInner;
    for (int i = 0; i < 100; ++i) {
        strInner = "<deviceList>" + Device("t", "n", "uuid:" + std::to_string(i), strInner) + "</deviceList>";
    }
    UPnPFinderLimits limits;
    std::vector<UPnPDevice> aDevices;
    ASSERT_TRUE(
        ParseUPnPDescription(Root(Device("t", "root", "uuid:root", strInner)), DOC_URL, aDevices, limits));
    EXPECT_EQ(aDevices.size(), limits.nMaxDepth + 1);

    std::string strMany;
    for (int i = 0; i < 500; ++i) strMany += Device("t", "n", "uuid:" + std::to_string(i));
    aDevices.clear();
    ASSERT_TRUE(ParseUPnPDescription(
        Root(Device("t", "root", "uuid:root", "<deviceList>" + strMany + "</deviceList>")), DOC_URL, aDevices,
        limits));
    EXPECT_EQ(aDevices.size(), limits.nMaxDevicesPerDocument);
}

TEST(UPnPFetchUrl, OnlyEverFetchesFromTheSender) {
    const struct {
        const char* pszLocation;
        const char* pszSender;
        const char* pszUrl;   // "" = refused
        const char* pszHost;  // Host header to send, "" = from the URL
    } cases[] = {
        {"http://192.0.2.10:8080/desc.xml", "192.0.2.10", "http://192.0.2.10:8080/desc.xml", ""},
        {"http://192.0.2.10/a/b.xml?x=1&y=%20", "192.0.2.10", "http://192.0.2.10:80/a/b.xml?x=1&y=%20", ""},
        {"HTTP://192.0.2.10:49152", "192.0.2.10", "http://192.0.2.10:49152/", ""},
        {"http://user:pw@192.0.2.10:1/d", "192.0.2.10", "http://192.0.2.10:1/d", ""},
        {"http://printer.lan:8080/desc.xml", "192.0.2.10", "http://192.0.2.10:8080/desc.xml",
         "printer.lan:8080"},
        {"http://printer/desc.xml", "192.0.2.10", "http://192.0.2.10:80/desc.xml", "printer"},
        {"http://192.0.2.11:8080/desc.xml", "192.0.2.10", "", ""},
        {"http://127.0.0.1:8080/desc.xml", "192.0.2.10", "", ""},
        {"http://[2001:db8::1]:8080/desc.xml", "192.0.2.10", "", ""},
        {"https://192.0.2.10/desc.xml", "192.0.2.10", "", ""},
        {"file:///etc/passwd", "192.0.2.10", "", ""},
        {"http://192.0.2.10:0/desc.xml", "192.0.2.10", "", ""},
        {"http://192.0.2.10:99999/desc.xml", "192.0.2.10", "", ""},
        {"http://bad host/desc.xml", "192.0.2.10", "", ""},
        {"not a url", "192.0.2.10", "", ""},
        {"", "192.0.2.10", "", ""},
        {"http://192.0.2.10/desc.xml", "fe80::1", "", ""},
    };
    for (const auto& c : cases) {
        std::string strHost = "stale";
        EXPECT_EQ(UPnPFetchUrl(c.pszLocation, c.pszSender, strHost), c.pszUrl) << c.pszLocation;
        EXPECT_EQ(strHost, c.pszHost) << c.pszLocation;
    }
    std::string strHost;
    EXPECT_EQ(
        UPnPFetchUrl("http://192.0.2.10/" + std::string(UPNP_MAX_URL_BYTES, 'a'), "192.0.2.10", strHost), "");
}

TEST(BoundUtf8, CutsWithoutSplittingASequence) {
    EXPECT_EQ(BoundUtf8("  \t abc \r\n", 10), "abc");
    EXPECT_EQ(BoundUtf8("abcdef", 3), "abc");
    EXPECT_EQ(BoundUtf8("ab\xC3\xA9", 3), "ab");         // 2-byte sequence at the cut
    EXPECT_EQ(BoundUtf8("a\xF0\x9F\x96\xA8z", 4), "a");  // 4-byte sequence at the cut
    EXPECT_EQ(BoundUtf8("a\xF0\x9F\x96\xA8z", 5), "a\xF0\x9F\x96\xA8");
    EXPECT_EQ(BoundUtf8("", 0), "");
}

// What devices put in CACHE-CONTROL: the watch expires a printer by it.
TEST(SsdpMaxAge, ReadsTheNumberAndRefusesTheRest) {
    EXPECT_EQ(SsdpMaxAge("max-age=1800"), 1800u);
    EXPECT_EQ(SsdpMaxAge("no-cache, MAX-AGE = 120"), 120u);
    EXPECT_EQ(SsdpMaxAge("max-age=99999999999"), 86400u);  // at most a day
    for (const char* psz : {"max-age=-1", "max-age=", "max-age=12x", "no-cache", ""})
        EXPECT_EQ(SsdpMaxAge(psz), 0u) << psz;
    EXPECT_EQ(SsdpMaxAge(nullptr), 0u);
}

}  // namespace
