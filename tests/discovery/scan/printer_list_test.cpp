#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "printer_list.h"

namespace {

int Sign(int n) {
    return (n > 0) - (n < 0);
}

struct CompareCase {
    std::u16string a;
    std::u16string b;
    int nExpected;  // sign of CompareNoCase(a, b)
};

TEST(CompareNoCase, OrdersAsFoldedUnsignedCodeUnits) {
    const std::vector<CompareCase> cases = {
        {u"laserjet", u"LaserJet", 0},
        {u"ABCXYZ", u"abcxyz", 0},
        {u"", u"", 0},
        // digits are characters, not numbers
        {u"10.0.0.10", u"10.0.0.9", -1},
        {u"10.0.0.9", u"10.0.0.10", 1},
        // letters compare as lower case, so '_' (0x5F) and '[' (0x5B) come first
        {u"_x", u"a", -1},
        {u"_x", u"A", -1},
        {u"[", u"Z", -1},
        {u"_x", u"Zebra", -1},
        // a text that ends first is the smaller
        {u"abc", u"ABCD", -1},
        {u"abcd", u"ABC", 1},
        {u"", u"a", -1},
        // nothing outside A..Z is folded
        {u"\u00C4", u"\u00E4", -1},
        {u"\u0130", u"i", 1},
        // code units are unsigned: a high surrogate and U+FFFF sort after ASCII
        {u"\uFFFF", u"z", 1},
        {std::u16string(1, char16_t(0xD800)), u"\u00FF", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a.begin(), c.a.end()) + " vs " + std::string(c.b.begin(), c.b.end()));
        EXPECT_EQ(Sign(CompareNoCase(c.a, c.b)), c.nExpected);
        EXPECT_EQ(Sign(CompareNoCase(c.b, c.a)), -c.nExpected);
    }
}

TEST(CompareNoCase, HashAgreesWithEquality) {
    CNoCaseHash hash;
    EXPECT_EQ(hash(u"LaserJet 4000"), hash(u"laserjet 4000"));
    EXPECT_EQ(hash(u"FE80::A"), hash(u"fe80::a"));
    EXPECT_NE(hash(u"10.0.0.1"), hash(u"10.0.0.2"));
}

TEST(CompareNoCase, SortsAddressesAndNamesAsTextual) {
    std::vector<std::u16string> v = {u"10.0.0.9", u"Zeta", u"10.0.0.10", u"_x", u"alpha", u"Beta"};
    std::stable_sort(v.begin(), v.end(), [](const std::u16string& a, const std::u16string& b) {
        return CompareNoCase(a, b) < 0;
    });
    const std::vector<std::u16string> expected = {u"10.0.0.10", u"10.0.0.9", u"_x",
                                                  u"alpha",     u"Beta",     u"Zeta"};
    EXPECT_EQ(v, expected);
}

TEST(PrinterList, OneEntryPerAddressFirstWins) {
    CPrinterList list;
    EXPECT_TRUE(list.AddPrinter({u"Office", u"192.168.1.5", u"http://a/"}));
    EXPECT_FALSE(list.AddPrinter({u"Other name", u"192.168.1.5", u"http://b/"}));
    EXPECT_TRUE(list.AddPrinter({u"Lab", u"192.168.1.50", u""}));
    // addresses are keys under the case-insensitive comparison
    EXPECT_TRUE(list.AddPrinter({u"v6", u"fe80::a", u""}));
    EXPECT_FALSE(list.AddPrinter({u"v6 again", u"FE80::A", u""}));

    ASSERT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(0).strName, u"Office");
    EXPECT_EQ(list.GetAt(0).strUrl, u"http://a/");
    EXPECT_EQ(list.GetAt(1).strIpAddress, u"192.168.1.50");
    EXPECT_EQ(list.GetAt(2).strName, u"v6");

    const PrinterData* p = list.FindByAddress(u"FE80::A");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->strName, u"v6");
    EXPECT_EQ(list.FindByAddress(u"192.168.1"), nullptr);
}

TEST(PrinterList, EmptyAddressIsListedOnce) {
    CPrinterList list;
    EXPECT_TRUE(list.AddPrinter({u"no address", u"", u""}));
    EXPECT_FALSE(list.AddPrinter({u"no address either", u"", u""}));
    EXPECT_EQ(list.GetCount(), 1);
}

TEST(PrinterList, RemoveAllForgetsTheIndexToo) {
    CPrinterList list;
    for (int i = 0; i < 300; ++i) {
        const std::string ip = "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        ASSERT_TRUE(list.AddPrinter({u"p", std::u16string(ip.begin(), ip.end()), u""}));
    }
    // the index must survive the vector growing
    ASSERT_NE(list.FindByAddress(u"10.1.0.0"), nullptr);
    EXPECT_EQ(list.FindByAddress(u"10.1.0.0")->strIpAddress, u"10.1.0.0");
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.FindByAddress(u"10.1.0.0"), nullptr);
    EXPECT_TRUE(list.AddPrinter({u"again", u"10.1.0.0", u""}));
}

}  // namespace
