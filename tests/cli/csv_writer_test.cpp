#include "csv_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FieldCase {
    const char* pszWhat;
    std::string strText;
    std::string strField;
};

class CsvFieldCases : public testing::TestWithParam<FieldCase> {};

TEST_P(CsvFieldCases, QuotedAndGuarded) {
    EXPECT_EQ(CsvField(GetParam().strText), GetParam().strField);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CsvFieldCases,
    testing::Values(FieldCase{"plain", "Office Laser", "Office Laser"}, FieldCase{"empty", "", ""},
                    FieldCase{"comma", "a, b", "\"a, b\""},
                    FieldCase{"quotes", "say \"hi\"", "\"say \"\"hi\"\"\""},
                    FieldCase{"crlf", "a\r\nb", "\"a\r\nb\""},
                    FieldCase{"equals", "=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
                    FieldCase{"plus", "+1", "'+1"}, FieldCase{"minus", "-2+3", "'-2+3"},
                    FieldCase{"at", "@SUM(A1)", "'@SUM(A1)"}, FieldCase{"tab", "\tx", "'\tx"},
                    FieldCase{"cr", "\r\nx", "\"'\r\nx\""},
                    FieldCase{"inner_sign_untouched", "Lab 2-3 =", "Lab 2-3 ="}),
    [](const testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.pszWhat); });

TEST(CsvRecord, JoinedAndEndedByCrlf) {
    EXPECT_EQ(CsvRecord({"a", "=b", "c,d"}), "a,'=b,\"c,d\"\r\n");
}

}  // namespace
