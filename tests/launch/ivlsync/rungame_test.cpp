// The run command's pieces that need no running program: the launcher's command line, the
// values that cannot go onto it, the distribution check and the DirectX setup's texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch/ivlsync/distribution.h"
#include "launch/ivlsync/rungamesession.h"

namespace
{
std::string CommandLine(const char* szMission, const char* szPlayer, const char* szWeb, const char* szLanguage,
                        std::vector<const char*> params, int nDirectX = 0)
{
    ZStringArray array(32);
    for (const char* p : params)
        array.Add(p);
    ZStringBuffer<256> s;
    RunGameSession::BuildCommandLine(s, szMission, szPlayer, szWeb, szLanguage, nDirectX, array);
    return s.GetData();
}
}

TEST(RunGameCommandLine, OrdinaryValuesAreWrittenExactly)
{
    EXPECT_EQ(CommandLine("7", "99", "w", "en", {}), "/S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0");
    EXPECT_EQ(CommandLine("7", "99", "w", "en", {"a=1", "b=2"}),
              "/S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0 /R \"a=1\"  /R \"b=2\" ");
    // "/R" values keep blanks and may be empty: they are quoted anyway.
    EXPECT_EQ(CommandLine("7", "99", "w", "en", {"scene=a b", ""}),
              "/S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0 /R \"scene=a b\"  /R \"\" ");
    EXPECT_EQ(CommandLine("1234", "abc", "http://x/y?z=1", "de", {}, 2),
              "/S 1234 /M 1234 /P abc /W http://x/y?z=1 /lang de /NOSERVER  /H 2");
}

TEST(RunGameCommandLine, ValuesTheLauncherWouldMisreadAreQuoted)
{
    // Unquoted, an empty value takes the next switch as its value and a blank cuts a value,
    // leaving its rest to be read as a switch; a leading single quote runs to the next one.
    struct Case
    {
        const char* szValue;
        const char* szWritten;
    };
    const Case cases[] = {
        {"", "\"\""}, {"a b", "\"a b\""}, {"a /R x", "\"a /R x\""}, {"a\tb", "\"a\tb\""}, {"'x", "\"'x\""},
        {"x'", "x'"}, {"/x", "\"/x\""}, {"/D", "\"/D\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szValue);
        std::string w = c.szWritten;
        EXPECT_EQ(CommandLine(c.szValue, "p", "w", "en", {}),
                  "/S " + w + " /M " + w + " /P p /W w /lang en /NOSERVER  /H 0");
        EXPECT_EQ(CommandLine("m", c.szValue, "w", "en", {}), "/S m /M m /P " + w + " /W w /lang en /NOSERVER  /H 0");
        EXPECT_EQ(CommandLine("m", "p", c.szValue, "en", {}), "/S m /M m /P p /W " + w + " /lang en /NOSERVER  /H 0");
        EXPECT_EQ(CommandLine("m", "p", "w", c.szValue, {}), "/S m /M m /P p /W w /lang " + w + " /NOSERVER  /H 0");
    }
}

namespace
{
// What the launcher makes of the switches the run command writes: a value starts after the
// letter and its blanks, runs to a blank or tab, or between a pair of the quote it starts with;
// a token that is no switch is read as a value and dropped, and so is the rest of an unknown
// switch's token.
struct LauncherView
{
    std::string sSession, sScene, sPlayer, sWeb;
    bool bDedicated = false, bLocalServer = true, bLoadFromServer = false, bLogFile = false;
};

LauncherView ReadAsTheLauncher(const std::string& s)
{
    LauncherView v;
    size_t i = 0;
    const size_t n = s.size();
    auto SkipBlanks = [&] {
        while (i < n && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    };
    auto Value = [&] {
        SkipBlanks();
        size_t nStart = i;
        if (i < n && (s[i] == '"' || s[i] == '\'')) {
            size_t nEnd = s.find(s[i], i + 1);
            nEnd = nEnd == std::string::npos ? n : nEnd;
            i = nEnd < n ? nEnd + 1 : n;
            return s.substr(nStart + 1, nEnd - nStart - 1);
        }
        while (i < n && s[i] != ' ' && s[i] != '\t')
            ++i;
        return s.substr(nStart, i - nStart);
    };
    for (;;) {
        SkipBlanks();
        if (i >= n)
            return v;
        if (s[i] != '/') {
            Value();
            continue;
        }
        if (++i >= n)
            return v;
        switch (s[i++]) {
        case 'D': v.bDedicated = true; break;
        case 'L': v.bLogFile = true; Value(); break;
        case 'M': v.sScene = Value(); v.bLoadFromServer = true; break;
        case 'N':
            if (s.compare(i, 7, "OSERVER") == 0) {
                v.bLocalServer = false;
                i += 7;
            }
            break;
        case 'P': v.sPlayer = Value(); break;
        case 'R': v.sScene = Value(); break;
        case 'S': v.sSession = Value(); break;
        case 'W': v.sWeb = Value(); break;
        default:
            while (i < n && s[i] != ' ' && s[i] != '\t')
                ++i;
        }
    }
}
}

TEST(RunGameCommandLine, NoValueBecomesALauncherSwitch)
{
    // Each value in every place: the launcher must see the run command's own switches only.
    const char* const values[] = {"/D", "/D 7778", "/R", "/Mx", "/NOSERVER", "/L log.txt", "/S", "a /D",
                                  "a\t/D",  "'/D",     "",   "x'", "/",         "//W",        "en"};
    for (const char* szValue : values) {
        for (int nPlace = 0; nPlace < 5; ++nPlace) {
            SCOPED_TRACE(std::string(szValue) + " in place " + std::to_string(nPlace));
            const char* aValues[4] = {"7", "99", "w", "en"};
            std::vector<const char*> params;
            if (nPlace < 4)
                aValues[nPlace] = szValue;
            else
                params = {"a=1", szValue};
            LauncherView v = ReadAsTheLauncher(CommandLine(aValues[0], aValues[1], aValues[2], aValues[3], params));
            EXPECT_EQ(v.sSession, aValues[0]);
            EXPECT_EQ(v.sScene, params.empty() ? aValues[0] : params.back());
            EXPECT_EQ(v.sPlayer, aValues[1]);
            EXPECT_EQ(v.sWeb, aValues[2]);
            EXPECT_FALSE(v.bDedicated);
            EXPECT_FALSE(v.bLocalServer);
            EXPECT_TRUE(v.bLoadFromServer);
            EXPECT_FALSE(v.bLogFile);
        }
    }
}

TEST(RunGameCommandLine, DoubleQuotesCannotBeWritten)
{
    const struct
    {
        const char* szValue;
        bool bValid;
    } cases[] = {
        {"", true}, {"a b", true}, {"'", true}, {"\"", false}, {"a\"b", false}, {"x=\"y\"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunGameSession::IsValidValue(c.szValue), c.bValid) << c.szValue;
}

TEST(Distribution, OnlyFoldersUnderTheRootPass)
{
    const struct
    {
        const char* szDistribution;
        bool bUnder;
    } cases[] = {
        {"live", true},
        {"", true},
        {"live\\beta", true},
        {"live/beta", true},
        {"a..b", true},
        {"..live", true},
        {"live\\", true},
        {"..", false},
        {"..\\..\\x", false},
        {"live\\..\\..\\x", false},
        {"live/../../x", false},
        {"live\\..", false},
        {".", false},
        {".. ", false},
        {"...", false},
        {"live\\. .\\x", false},
        {"\\x", false},
        {"/x", false},
        {"\\\\server\\share", false},
        {"C:\\Windows", false},
        {"C:x", false},
        {"live:stream", false},
        // the state folder of the distribution above, a device, a short-name alias
        {"synccache", false},
        {"dl\\nest\\synccache", false},
        {"dl/SyncCache. /x", false},
        {"NUL", false},
        {"dl\\COM1", false},
        {"dl\\LPT1\\x", false},
        {"dl\\aux.txt", false},
        {"dl\\SYNCCA~1", false},
        {"synccache2\\live", true},
        {"dl\\my~old~copy", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDistributionUnderRoot(c.szDistribution), c.bUnder) << c.szDistribution;
    EXPECT_FALSE(IsDistributionUnderRoot(nullptr));
}

TEST(DirectXSetup, ExitCodeTexts)
{
    const struct
    {
        int nCode;
        const char* szText;
    } cases[] = {
        {-21, "The cabinet (.cab) file is not signed. "},
        {-15,
         "The current user does not have administrative privileges. The user may need "
         "administrative privileges for some setup operations."},
        {-9, "An internal error occurred."},
        {-1, "Microsoft DirectX does not support the version of Microsoft Windows on the computer."},
        {0, "Setup was successful, and no restart is required."},
        {1, "Setup was successful, and a restart is required."},
        // codes between and beyond the documented ones
        {-22, "Unknown error"},
        {-18, "Unknown error"},
        {-3, "Unknown error"},
        {2, "Unknown error"},
        {259, "Unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(RunGameSession::GetDirectXSetupErrorText(c.nCode), c.szText) << c.nCode;
}
