// GetLastErrorDesc through the host under English, Chinese and Korean user interfaces.
//
// Every code an operation can produce today comes from the system message table (success
// and E_NOTIMPL), whose texts are English in every language; the string-table codes join
// these tests when the operations that raise them are built.
#include "HostHarness.h"

namespace npk::test {
namespace {

class ErrorDescriptionTest : public HostTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(ErrorDescriptionTest, SystemCodesAreDescribedWithTheCodeLine)
{
    HostResult r = Page("print(JSON.stringify(plugin.GetLastErrorDesc()));\n"
                        "attempt(function () { return plugin.SignMessage('m', 'SHA-1'); });\n"
                        "print(JSON.stringify(plugin.GetLastErrorDesc()));\n"
                        "print(JSON.stringify(plugin.GetLastErrorDesc()));\n",
                        {{"LANG", GetParam()}});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    // The system's own text keeps its line break; the code line follows it.
    EXPECT_EQ(lines[0], "\"The operation completed successfully.\\r\\n\\n(0x00000000)\"");
    EXPECT_EQ(lines[1], "\"Not implemented\\r\\n\\n(0x80004001)\"");
    EXPECT_EQ(lines[2], lines[1]) << "describing the error must not change it";
}

INSTANTIATE_TEST_SUITE_P(Languages, ErrorDescriptionTest,
                         ::testing::Values("en_US.UTF-8", "zh_CN.UTF-8", "ko_KR.UTF-8"));

}  // namespace
}  // namespace npk::test
