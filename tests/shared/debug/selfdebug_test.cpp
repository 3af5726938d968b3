// The crash reporter's text building, without crashing anything.
#include <gtest/gtest.h>
#include "shared/debug/selfdebug.h"
#include <string>

namespace
{
std::string Escaped(const char* sz)
{
    PrivateHeapBuffer out;
    ZSelfDebug::EscapeXml(sz, out);
    return std::string(out.GetData(), out.GetSize());
}

std::string NameOf(DWORD nCode, std::string* pDetails, DWORD nOp = 0, uintptr_t nAddress = 0)
{
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = nCode;
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = nOp;
    record.ExceptionInformation[1] = nAddress;
    const char* szDetails = nullptr;
    std::string name = ZSelfDebug::GetExceptionName(&record, &szDetails);
    *pDetails = szDetails;
    return name;
}

std::string Pointer(uintptr_t n)
{
    char sz[32];
    _snprintf(sz, sizeof(sz), "%p", (void*)n);
    return sz;
}
}  // namespace

TEST(CrashReport, XmlEscaping)
{
    struct Case
    {
        const char* in;
        const char* out;
    } cases[] = {
        {"<&>\"'", "&lt;&amp;&gt;&quot;&apos;"},
        {"\xE9", "&#233;"},
        {"a\tb", "a&#9;b"},
        {"plain 127\x7f", "plain 127\x7f"},
        {"\x1f\x80\xff", "&#31;&#128;&#255;"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.out, Escaped(c.in)) << c.in;
}

TEST(CrashReport, ExceptionNamesAndDetails)
{
    std::string details;
    EXPECT_EQ("ACCESS_VIOLATION", NameOf(0xC0000005, &details, 1, 0x10));
    EXPECT_EQ("(write to " + Pointer(0x10) + ")", details);
    NameOf(0xC0000005, &details, 0, 0x20);
    EXPECT_EQ("(read from " + Pointer(0x20) + ")", details);
    NameOf(0xC0000005, &details, 8, 0x30);
    EXPECT_EQ("(DEP violation at " + Pointer(0x30) + ")", details);
    NameOf(0xC0000005, &details, 5, 0x40);
    EXPECT_EQ("(access " + Pointer(0x40) + ")", details);

    struct Case
    {
        DWORD code;
        const char* name;
    } cases[] = {
        {0x80000001, "GUARD_PAGE_VIOLATION"},  {0x80000003, "BREAKPOINT"},
        {0x40000005, "SEGMENT_NOTIFICATION"},  {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
        {0xC00000FD, "STACK_OVERFLOW"},        {0xC000013A, "CONTROL_C_EXIT"},
        {0xC00002C0, "ILLEGAL_VLM_REFERENCE"}, {0xC0000090, "FLOAT_INVALID_OPERATION"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.name, NameOf(c.code, &details)) << std::hex << c.code;
        EXPECT_EQ("", details);
    }
    EXPECT_EQ("Unknown exception", NameOf(0xE0000123, &details));
    EXPECT_EQ("code " + Pointer(0xE0000123), details);
}

TEST(CrashReport, IgnoredExceptions)
{
    for (DWORD code : {1722u, 1753u, 1780u, 0x40010006u, 0xE06D7363u, 0x406D1388u})
        EXPECT_TRUE(ZSelfDebug::IsIgnoredException(code)) << code;
    for (DWORD code : {0xC0000005u, 0xC00000FDu, 0u, 1721u})
        EXPECT_FALSE(ZSelfDebug::IsIgnoredException(code)) << code;
}

TEST(CrashReport, PrivateHeapBufferGrowsByDoublingAndKeepsATerminator)
{
    PrivateHeapBuffer buffer;
    EXPECT_EQ(32u, buffer.GetCapacity());
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        buffer.Append("abc", 3);
        expected += "abc";
        ASSERT_GT(buffer.GetCapacity(), buffer.GetSize());
        ASSERT_EQ(0, buffer.GetData()[buffer.GetSize()]);
    }
    EXPECT_EQ(expected, buffer.GetData());
    EXPECT_EQ(128u, buffer.GetCapacity());  // 120 bytes: 32 -> 64 -> 128
    buffer.Truncate(5);
    EXPECT_STREQ("abcab", buffer.GetData());
    EXPECT_EQ(0, buffer.GetData()[6]);
}

TEST(CrashReport, PlainSinkSectionHeading)
{
    struct Capture : ReportSink
    {
        void Finish() override {}
    } sink;
    sink.BeginSection("File info");
    EXPECT_EQ("----- File info " + std::string(55, '-'), sink.GetText().GetData());
    Capture longName;
    longName.BeginSection(std::string(70, 'x').c_str());
    EXPECT_EQ("----- " + std::string(70, 'x') + " -", longName.GetText().GetData());
    Capture lines;
    lines.PrintLine("n=%d", 5);
    lines.WriteValue("ignored", 1);
    lines.WriteTextValue("ignored", "x");
    lines.WriteLine("raw %d");
    EXPECT_STREQ("n=5\nraw %d", lines.GetText().GetData());
}

TEST(CrashReport, ReportWriterSectionsAndValues)
{
    CrashReportWriter writer(nullptr, 0, 0);
    writer.BeginSection("Exception");
    writer.WriteValue("ExceptionAddress", -5);
    writer.WriteTextValue("Description", "a<b");
    writer.PrintLine("outer %d", 1);
    writer.BeginSection("Stack trace");
    writer.PrintLine("frame");
    writer.EndSection("Stack trace");
    writer.BeginSection("File info");  // nothing added: no human-readable block beyond the heading
    writer.EndSection("File info");
    writer.EndSection("Exception");
    std::string text = writer.GetText().GetData();
    std::string dashes55(55, '-'), dashes53(53, '-');
    EXPECT_EQ("<Exception><ExceptionAddress>-5</ExceptionAddress>\n"
              "<Description>a&lt;b</Description>\n"
              "<Stack_trace><HumanReadable><![CDATA[----- Stack trace " +
                  dashes53 +
                  "\n\nframe\n]]></HumanReadable>\n"
                  "</Stack_trace>\n"
                  "<File_info><HumanReadable><![CDATA[----- File info " +
                  dashes55 +
                  "\n\n]]></HumanReadable>\n"
                  "</File_info>\n"
                  "<HumanReadable><![CDATA[----- Exception " +
                  dashes55 +
                  "\n\nouter 1\n]]></HumanReadable>\n"
                  "</Exception>\n",
              text);
    EXPECT_EQ(0u, writer.GetHumanReadable().GetSize());
    writer.DestroyHeaps();
}

TEST(CrashReport, ReporterCommandLineAndClipboardText)
{
    char sz[512];
    CrashReportWriter::BuildReporterCommandLine(sz, sizeof(sz), "C:\\t\\xml1.tmp", "C:\\t\\mdm1.tmp", 0);
    EXPECT_STREQ("faultscribe.exe \"C:\\t\\xml1.tmp\" \"C:\\t\\mdm1.tmp\" -silent", sz);
    CrashReportWriter::BuildReporterCommandLine(sz, sizeof(sz), "x", "d", 1);
    EXPECT_STREQ("faultscribe.exe \"x\" \"d\" ", sz);

    struct Case
    {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\nb", "a\r\nb"}, {"a\r\nb", "a\r\nb"}, {"\nx\n", "\nx\r\n"}, {"\n\n", "\n\r\n"}, {"", ""},
    };
    for (const Case& c : cases) {
        PrivateHeapBuffer out;
        MessageBoxReportWriter::AddCarriageReturns(c.in, out);
        EXPECT_STREQ(c.out, out.GetData()) << c.in;
    }
}
