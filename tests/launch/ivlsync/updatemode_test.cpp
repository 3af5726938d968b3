// The update-mode settings file: key="value" lines, exact keys, values up to an unescaped quote.
#include <gtest/gtest.h>

#include <string>

#include "launch/ivlsync/updatewindow.h"

namespace
{
const char kComplete[] = "unique_file_servers=\"a.example:8080;b.example\"\n"
                         "distribution=\"live\"\n"
                         "vostxdistribution=\"Live\"\n"
                         "uniqueversionfilename=\"root.xml\"\n";

TEST(ParseSettingsTest, Table)
{
    struct Case
    {
        const char* szName;
        std::string sText;
        bool bOk;
        const char* szDistribution;
    };
    const Case cases[] = {
        {"plain", kComplete, true, "live"},
        {"CR LF line ends",
         "distribution=\"crlf\"\r\nunique_file_servers=\"s\"\r\nvostxdistribution=\"v\"\r\n"
         "uniqueversionfilename=\"r\"\r\n",
         true, "crlf"},
        {"blanks around '=' make no key", std::string(kComplete) + "distribution = \"other\"\n", true, "live"},
        {"blank before '=' only",
         "distribution =\"x\"\nunique_file_servers=\"s\"\nvostxdistribution=\"v\"\n"
         "uniqueversionfilename=\"r\"\n",
         false, ""},
        {"escaped quote stays with its backslash",
         "unique_file_servers=\"s\"\ndistribution=\"a\\\"b\" c\"\n"
         "vostxdistribution=\"v\"\nuniqueversionfilename=\"r\"\n",
         true, "a\\\"b"},
        {"missing key", "unique_file_servers=\"s\"\ndistribution=\"d\"\nvostxdistribution=\"v\"\n", false, ""},
        {"no closing quote skips the line",
         "unique_file_servers=\"s\"\ndistribution=\"d\nvostxdistribution=\"v\"\n"
         "uniqueversionfilename=\"r\"\n",
         false, ""},
        {"later line wins", std::string(kComplete) + "distribution=\"test\"\n", true, "test"},
        {"empty", "", false, ""},
        {"javascript form",
         "var x = 1;\nunique_file_servers=\"s\"; // servers\ndistribution=\"d\";\n"
         "vostxdistribution=\"v\";\nuniqueversionfilename=\"r\";\n",
         true, "d"},
    };
    for (const Case& c : cases) {
        UpdateSettings settings;
        EXPECT_EQ(ParseSettings(c.sText.c_str(), settings), c.bOk) << c.szName;
        if (c.bOk) {
            EXPECT_STREQ(settings.m_sDistribution.GetData(), c.szDistribution) << c.szName;
        }
    }
}

TEST(ParseSettingsTest, ServersSplitAtSemicolons)
{
    UpdateSettings settings;
    ASSERT_TRUE(ParseSettings(kComplete, settings));
    ASSERT_EQ(settings.m_Servers.Size(), 2u);
    EXPECT_STREQ(settings.m_Servers[0].GetData(), "a.example:8080");
    EXPECT_STREQ(settings.m_Servers[1].GetData(), "b.example");
    EXPECT_STREQ(settings.m_sRegistrySelector.GetData(), "Live");
    EXPECT_STREQ(settings.m_sRootList.GetData(), "root.xml");
}
}
