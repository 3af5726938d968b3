// Language table: loading the XML file and looking texts up by key.
#include <gtest/gtest.h>
#include "testhelpers.h"
#include <cstring>
#include <string>
#include "common/containers/zstringarray.h"
#include "common/stream/streams.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/process.h"
#include "launch/ivlsync/languagetable.h"

namespace
{
void LoadText(LanguageTable& table, const char* szXml)
{
    ZMemoryReader reader(szXml, static_cast<uint32_t>(strlen(szXml)));
    table.LoadFromStream(&reader);
}

const char kSample[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                       "<!-- texts -->\n"
                       "<root language=\"en\">\n"
                       "  <entry name=\"ready\"><value>Ready to go</value></entry>\n"
                       "  <entry name=\"twice\"><value>first</value></entry>\n"
                       "  <entry name=\"twice\"><value>second</value></entry>\n"
                       "  <other name=\"odd\"><value>odd element</value></other>\n"
                       "  <entry name=\"deep\"><group><value>too deep</value></group></entry>\n"
                       "  <entry><value>no name</value></entry>\n"
                       "  <entry name=\"novalue\">text only</entry>\n"
                       "  <entry name=\"amp\"><value>A &amp; B</value></entry>\n"
                       "  <entry name=\"accent\"><value>caf\xC3\xA9</value></entry>\n"
                       "  <entry name=\"menu/exit\"><value>Exit</value></entry>\n"
                       "  <entry name=\"ErrorMessages/ActionGame/7\"><value>Seven</value></entry>\n"
                       "</root>\n";

TEST(LanguageTable, EmptyTableReturnsTheKeyItself)
{
    LanguageTable table;
    const char* szKey = "ready";
    EXPECT_EQ(table.GetText(szKey), szKey);
    EXPECT_STREQ(table.GetLanguage(), "");
    EXPECT_EQ(table.GetCount(), 0);
}

TEST(LanguageTable, Lookups)
{
    LanguageTable table;
    LoadText(table, kSample);
    EXPECT_STREQ(table.GetLanguage(), "en");
    struct Case
    {
        const char* m_szKey;
        const char* m_szText;  // null: the key itself
    } cases[] = {
        {"ready", "Ready to go"}, {"Ready", nullptr},  // keys are case-sensitive
        {"twice", "second"},                           // the last entry wins
        {"odd", "odd element"},                        // any element name counts
        {"deep", nullptr},                             // a value one level deeper is not looked at
        {"novalue", nullptr},     {"amp", "A & B"},   {"accent", "caf\xC3\xA9"}, {"missing", nullptr}, {"", nullptr},
    };
    for (const Case& c : cases) {
        const char* szText = table.GetText(c.m_szKey);
        if (c.m_szText)
            EXPECT_STREQ(szText, c.m_szText) << c.m_szKey;
        else
            EXPECT_EQ(szText, c.m_szKey) << c.m_szKey;
    }
    EXPECT_EQ(table.GetCount(), 7);
}

TEST(LanguageTable, WideTextIsUtf16)
{
    LanguageTable table;
    LoadText(table, kSample);
    ZWideText text = table.GetTextWide("accent");
    EXPECT_STREQ(text.c_str(), L"caf\u00e9");
    ZWideText key = table.GetTextWide("missing");
    EXPECT_STREQ(key.c_str(), L"missing");
}

TEST(LanguageTable, Prefix)
{
    LanguageTable table;
    LoadText(table, kSample);
    table.SetPrefix("menu");
    EXPECT_STREQ(table.GetText("exit"), "Exit");
    const char* szKey = "ready";
    EXPECT_EQ(table.GetText(szKey), szKey);  // the prefix applies to every lookup
    table.SetPrefix("menu/");
    EXPECT_STREQ(table.GetText("exit"), "Exit");
    table.SetPrefix("");
    EXPECT_STREQ(table.GetText("ready"), "Ready to go");
}

TEST(LanguageTable, ErrorMessages)
{
    LanguageTable table;
    LoadText(table, kSample);
    EXPECT_STREQ(table.GetErrorMessage(7), "Seven");
    const char* szMissing = table.GetErrorMessage(8);
    EXPECT_STREQ(szMissing, "ErrorMessages/ActionGame/8");
    // The text outlives the call and stays the same.
    table.GetErrorMessage(9);
    EXPECT_STREQ(szMissing, "ErrorMessages/ActionGame/8");
    EXPECT_EQ(table.GetErrorMessage(8), szMissing);
}

TEST(LanguageTable, DocumentsWithoutUsableRoot)
{
    struct Case
    {
        const char* m_szXml;
        int m_nCount;
        const char* m_szLanguage;
    } cases[] = {
        {"", 0, ""},
        {"<texts language=\"en\"><e name=\"a\"><value>b</value></e></texts>", 0, ""},
        {"<root><e name=\"a\"><value>b</value></e></root>", 1, ""},
    };
    for (const Case& c : cases) {
        LanguageTable table;
        LoadText(table, c.m_szXml);
        EXPECT_EQ(table.GetCount(), c.m_nCount) << c.m_szXml;
        EXPECT_STREQ(table.GetLanguage(), c.m_szLanguage) << c.m_szXml;
    }
}

TEST(LanguageTable, LoadFile)
{
    ivltest::TempFolder folder;
    ZStringBuffer<256> sPath(folder.At("ivlsync_langtest.xml").c_str());
    ASSERT_TRUE(WriteBufferToFile(sPath.GetData(), kSample, strlen(kSample)));
    LanguageTable table;
    table.LoadFile(sPath.GetData());
    EXPECT_STREQ(table.GetText("ready"), "Ready to go");
    File::Delete(sPath.GetData());

    LanguageTable missing;
    missing.LoadFile(sPath.GetData());
    EXPECT_EQ(missing.GetCount(), 0);
}

// The shipped English file has a text for every key the program uses, with the printf
// arguments the program passes.
TEST(LanguageTable, ShippedEnglishFile)
{
    ZStringArray args = Process::Current().CommandLine();
    std::string sFolder;
    for (int i = 0; i < args.GetArgCount(); ++i)
        if (strncmp(args.GetArgText(i), "--locale=", 9) == 0)
            sFolder = args.GetArgText(i) + 9;
    if (sFolder.empty())
        GTEST_SKIP() << "no --locale= folder given";
    if (sFolder[0] == '/')
        sFolder = "Z:" + sFolder;
    LanguageTable table;
    table.LoadFile((sFolder + "/ivlsync_en.xml").c_str());
    EXPECT_STREQ(table.GetLanguage(), "en");

    struct Key
    {
        const char* m_szKey;
        const char* m_szConversions;  // the printf conversions, in order
    } keys[] = {
        {"setpriority_failed", "d"},
        {"connected_policy", ""},
        {"ready", ""},
        {"connected", ""},
        {"Closed", ""},
        {"closing", ""},
        {"testing_access", "s"},
        {"create_failed", "d"},
        {"write_failed", "d"},
        {"access_ok", ""},
        {"access_failed", "s"},
        {"no_localsettings", ""},
        {"no_localsettings_long", ""},
        {"menu_file", ""},
        {"menu_verify_files", ""},
        {"menu_edit_localsettings", ""},
        {"menu_find_install_dir", ""},
        {"menu_exit", ""},
        {"cancel", ""},
        {"cancelled", ""},
        {"checking_status", ""},
        {"close", ""},
        {"contacting_server", ""},
        {"downloading_header", ""},
        {"downloading_x_of_x", "dd"},
        {"downloading_x_of_x_mb", "ff"},
        {"error", ""},
        {"error_load_settings", ""},
        {"errors_during_download", ""},
        {"finished", ""},
        {"hide_details", ""},
        {"show_details", ""},
        {"step_x_of_x", "dd"},
        {"stopping", ""},
        {"write_error_elevate", ""},
        {"loading_settings", "s"},
        {"dns_error", "s"},
        {"connect_error", "sd"},
        {"http_error", "d"},
    };
    for (const Key& key : keys) {
        const char* szText = table.GetText(key.m_szKey);
        EXPECT_NE(szText, key.m_szKey) << key.m_szKey << " has no text";
        std::string sConversions;
        for (const char* p = szText; *p; ++p) {
            if (*p != '%')
                continue;
            ++p;
            if (*p == '%')
                continue;
            while (*p && strchr("0123456789.-+ #", *p))
                ++p;
            if (*p)
                sConversions += *p;
        }
        EXPECT_EQ(sConversions, key.m_szConversions) << key.m_szKey << ": " << szText;
    }
}
}  // namespace
