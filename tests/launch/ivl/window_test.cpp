// Pieces of the main window and the status page that need no running engine, and the choice of
// crash-report filter.
#include <gtest/gtest.h>
#include "launch/ivl/ivlwindow.h"
#include "launch/ivl/selfdebugmodes.h"
#include <string>
#include <vector>

namespace
{
// A graph with fewer than two samples has no line; the last sample is never drawn.
TEST(StatusPage, GraphPoints)
{
    struct Case
    {
        std::vector<float> m_Samples;
        int m_nCount;  // count given (may be outside the sample array's size)
        std::vector<POINT> m_Expected;
    };
    const std::vector<float> three = {0.0f, 0.5f, 2.0f};
    const Case cases[] = {
        {{}, 0, {}},
        {{0.5f}, 1, {}},
        {{}, -5, {}},
        {three, 3, {{253 + 4, 150}, {253 - 1 + 4, 125}}},
        {{-1.0f, 1.5f, 0.0f}, 3, {{253 + 4, 150}, {253 - 1 + 4, 100}}},  // values clamped to 0..1
    };
    for (const Case& c : cases) {
        POINT aPoints[256];
        float aSamples[256] = {};
        for (size_t i = 0; i < c.m_Samples.size(); ++i)
            aSamples[i] = c.m_Samples[i];
        int n = GraphPoints(aSamples, c.m_nCount, 253, 200, aPoints);
        ASSERT_EQ(static_cast<int>(c.m_Expected.size()), n) << "count " << c.m_nCount;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(c.m_Expected[i].x, aPoints[i].x) << "count " << c.m_nCount << " point " << i;
            EXPECT_EQ(c.m_Expected[i].y, aPoints[i].y) << "count " << c.m_nCount << " point " << i;
        }
    }
    // An engine that reports more samples than the record holds gets at most 255 points.
    static float s_aMany[256];
    static POINT s_aPoints[256];
    EXPECT_EQ(255, GraphPoints(s_aMany, 100000, 400, 300, s_aPoints));
}

TEST(StatusPage, SceneName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"scenes\\arena.xml", "arena"}, {"arena.xml", "arena"},
        {"data\\v1.2\\arena", "arena"},  // a dot in a folder name is no extension
        {"data\\maps\\", ""},           {"", ""},
        {"a\\b.c.xml", "b.c"},
    };
    for (const auto& c : cases) {
        char szOut[64];
        StatusSceneName(c.first, szOut, sizeof(szOut));
        EXPECT_STREQ(c.second, szOut) << c.first;
    }
    std::string sLong(100, 'x');
    char szOut[64];
    StatusSceneName(("dir\\" + sLong).c_str(), szOut, sizeof(szOut));
    EXPECT_EQ(std::string(59, 'x'), szOut);  // the path is cut to 63 characters first
}

LRESULT CALLBACK PlainProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, nMessage, wParam, lParam);
}

TEST(MainWindow, ClassNameSkipsNamesInUse)
{
    HINSTANCE hInstance = GetModuleHandleW(NULL);
    wchar_t szName[16];
    ASSERT_TRUE(FindFreeClassName(szName, hInstance));
    EXPECT_STREQ(L"IvLWindow000", szName);
    std::vector<std::wstring> registered;
    for (int i = 0; i < 2; ++i) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = PlainProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = szName;
        ASSERT_NE(0, RegisterClassExW(&wc));
        registered.push_back(szName);
        ASSERT_TRUE(FindFreeClassName(szName, hInstance));
    }
    EXPECT_STREQ(L"IvLWindow002", szName);
    for (const std::wstring& name : registered)
        UnregisterClassW(name.c_str(), hInstance);
}

TEST(CrashModes, FilterOfEachMode)
{
    LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = SetUnhandledExceptionFilter(nullptr);
    std::vector<LPTOP_LEVEL_EXCEPTION_FILTER> filters;
    for (int nMode = 1; nMode <= 5; ++nMode) {
        SetCrashReportMode(nMode);
        ASSERT_NE(nullptr, GetCrashReportFilter()) << nMode;
        EXPECT_EQ(GetCrashReportFilter(), SetUnhandledExceptionFilter(GetCrashReportFilter())) << nMode;
        for (auto pfn : filters)
            EXPECT_NE(pfn, GetCrashReportFilter()) << nMode;
        filters.push_back(GetCrashReportFilter());
    }
    // A value outside 0 to 5 changes nothing; 0 gives the system's handling back.
    SetCrashReportMode(6);
    SetCrashReportMode(-1);
    EXPECT_EQ(filters.back(), SetUnhandledExceptionFilter(filters.back()));
    SetCrashReportMode(0);
    EXPECT_EQ(nullptr, SetUnhandledExceptionFilter(nullptr));
    SetUnhandledExceptionFilter(pfnBefore);
}
}  // namespace
